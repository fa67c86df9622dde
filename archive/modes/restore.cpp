#include "archive/modes/restore.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "archive/format/format.h"
#include "archive/modes/entry_reader.h"
#include "archive/modes/gallery.h"
#include "archive/modes/mods.h"
#include "archive/modes/open_archive.h"
#include "archive/modes/work_tree.h"
#include "archive/safety/archive_writer.h"
#include "archive/safety/checked_reads.h"
#include "archive/safety/journal.h"
#include "archive/safety/mods_record.h"
#include "archive/safety/originals.h"
#include "archive/safety/originals_check.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/whole_file.h"

namespace linkdata {
namespace {

struct RestoreRun {
  explicit RestoreRun(std::wstring name) : archive_name(std::move(name)) {}
  std::wstring archive_name;
  // The whole archive, or only the saves of entries first..last.
  bool whole = true;
  int32_t first = 0, last = 0;
  std::wstring letter;             // whose gallery learns of the changes; none when empty
  std::vector<uint32_t> restored;  // the entries whose saves went back
  platform::File archive;
  Originals originals;
  // Last: it waits for its group in flight before the rest goes.
  ArchiveWriter writer{archive, originals, archive_name, OriginalsUse::put_back};
};

// The saves to put back, entry by entry, through the journal: a restore cut
// short at any write is finished by running it again. Each save goes in
// pieces of a block, checked whole before its first piece is written, and a
// large entry in as many commits as it fills, so memory stays bounded; its
// line comes with the last of them.
bool put_back(RestoreRun& run, const std::vector<SavedBytes>& saves) {
  for (size_t i = 0; i < saves.size();) {
    const uint32_t entry = saves[i].entry;
    const auto part = [&run, entry]() -> Group& {
      Group& g = run.writer.pending();
      g.entries.push_back({g.writes.size(), {}, entry});
      return g;
    };
    Group* g = &part();
    for (; i < saves.size() && saves[i].entry == entry; ++i) {
      const SavedBytes& s = saves[i];
      bool intact = s.size <= kSideFileBlock || run.originals.saved_intact(s);
      for (uint64_t done = 0; intact && done < s.size;) {
        if (group_full(*g)) {
          if (!show(run.writer.start())) return false;
          g = &part();
        }
        PendingWrite w{s.position + done, {}};
        const size_t piece = size_t(std::min<uint64_t>(s.size - done, kSideFileBlock));
        intact = run.originals.read_saved(s, done, piece, &w.bytes);
        done += piece;
        g->bytes += w.bytes.size();
        g->writes.push_back(std::move(w));
      }
      if (!intact) {
        // Read back whole when the run began: the file changed under the lock.
        return show(run.writer.commit_all()) &&
               fail(msg::originals_unreadable(run.originals.path()));
      }
    }
    if (!run.whole) g->entries.back().lines.push_back(msg::restored_entry(run.archive_name, entry));
    if (!show(run.writer.start_if_full())) return false;
  }
  return show(run.writer.commit_all());
}

// The saves of the entries to restore, entry by entry: all of them, or those
// of the range as export clamps it.
std::vector<SavedBytes> saves_to_put_back(const RestoreRun& run, uint32_t entry_count) {
  std::vector<SavedBytes> saves = run.originals.saves();
  if (!run.whole) {
    const EntryRange range = clamp_range(uint32_t(run.first), uint32_t(run.last), entry_count);
    saves.erase(std::remove_if(saves.begin(), saves.end(),
                               [&](const SavedBytes& s) {
                                 return s.entry < range.start || s.entry >= range.end;
                               }),
                saves.end());
  }
  std::stable_sort(saves.begin(), saves.end(),
                   [](const SavedBytes& a, const SavedBytes& b) { return a.entry < b.entry; });
  return saves;
}

// After the saves are back: what this tool appended goes too, and once the
// archive reads back as the original, the file of originals.
bool finish_whole(RestoreRun& run) {
  if (!run.writer.cut_to(run.originals.original().original_length) ||
      !archive_is_original(run.originals, run.archive)) {
    return fail(msg::kArchiveWriteFailed);
  }
  // Should the removal not reach the disk, the file found again describes
  // the original archive, and a restore from it changes nothing.
  if (!run.originals.remove()) return fail(msg::kOriginalsWriteFailed);
  // Every mod is out with the rest: its record goes too.
  if (!remove_mods_record(run.archive_name)) return fail(msg::kModsRecordWriteFailed);
  say(msg::restored_archive(run.archive_name));
  return true;
}

// After the saves of a range are back: they leave the file of originals only
// once the archive reads back as they say.
bool finish_range(RestoreRun& run, const std::vector<SavedBytes>& saves) {
  if (!saves_read_back(run.archive, saves)) return fail(msg::kArchiveWriteFailed);
  std::vector<uint32_t> entries;
  for (const SavedBytes& s : saves) {
    if (entries.empty() || entries.back() != s.entry) entries.push_back(s.entry);
  }
  if (!run.originals.drop(entries) || !run.originals.seal(run.archive, entries)) {
    return fail(msg::kOriginalsWriteFailed);
  }
  return true;
}

bool restore(RestoreRun& run) {
  // Held exclusively for the whole run, as import holds it: the file of
  // originals is read and written only under it.
  LockedArchive locked;
  if (!open_archive_to_write(run.archive_name, &locked)) return false;
  run.archive = std::move(locked.file);
  // A range restore puts entries back that a change of mods cut short may
  // still rewrite: that change is settled first. A whole restore takes every
  // layer out and removes the pending list with the record, so nothing is
  // left to rewrite its entries, and it must stay the way back to the
  // original even when the record no longer reads.
  if (!run.whole && !settle_pending_mods(run.archive_name, run.archive, locked.writable)) {
    return false;
  }
  const std::wstring nothing = msg::nothing_to_restore(run.archive_name);
  switch (run.originals.load(run.archive_name, run.archive)) {
    case OriginalsLoad::none:
      say(nothing);
      return true;
    case OriginalsLoad::unreadable:
      return fail(msg::originals_unreadable(run.originals.path()));
    case OriginalsLoad::damaged:
      return fail(msg::originals_damaged_nothing_restored(run.originals.path(), run.archive_name,
                                                          run.originals.damaged_at()));
    case OriginalsLoad::ok:
      break;
  }
  ArchiveHeader header;
  if (!read_header_reporting(run.archive, &header)) return false;
  if (!locked.writable) return fail(msg::kArchiveNotWritable);
  if (!originals_match(run.originals, run.archive)) {
    if (!archive_is_original(run.originals, run.archive)) {
      return fail(msg::archive_replaced_cannot_restore(run.archive_name));
    }
    // Copied back or repaired: the file holds nothing the archive lacks.
    if (!run.originals.remove()) return fail(msg::kOriginalsWriteFailed);
    say(nothing);
    return true;
  }
  if (!run.originals.open_to_write()) return fail(msg::kOriginalsWriteFailed);

  const std::vector<SavedBytes> saves = saves_to_put_back(run, header.entry_count);
  // A whole restore goes on without saves: range restores may have left
  // appended bytes, and the file of originals goes too.
  if (saves.empty() && !run.whole) {
    say(nothing);
    return true;
  }
  if (!run.writer.begin()) return fail(msg::kOriginalsWriteFailed);
  for (const SavedBytes& s : saves) run.restored.push_back(s.entry);
  if (!put_back(run, saves)) return false;
  run.writer.close_journal();
  return run.whole ? finish_whole(run) : finish_range(run, saves);
}

// The gallery of the letter's exported pictures, where there is one, learns
// which entries the run put back. False after a message.
bool refresh_exported_pictures(RestoreRun& run) {
  if (run.letter.empty() || run.restored.empty()) return true;
  ArchiveHeader header;
  if (read_archive_header(run.archive, &header) != IndexReadStatus::ok) return true;
  return refresh_gallery_after_run(run.letter, run.archive, header.offset_unit, run.restored);
}

bool restore_and_clean_up(RestoreRun& run) {
  bool ok = restore(run);
  run.writer.close_journal();
  if (!refresh_exported_pictures(run)) ok = false;
  return ok;
}

}  // namespace

bool run_restore_whole(const std::wstring& archive_name, const std::wstring& letter) {
  RestoreRun run(archive_name);
  run.letter = letter;
  return restore_and_clean_up(run);
}

bool run_restore_range(const std::wstring& archive_name, int32_t first, int32_t last,
                       const std::wstring& letter) {
  RestoreRun run(archive_name);
  run.letter = letter;
  run.whole = false;
  run.first = first;
  run.last = last;
  return restore_and_clean_up(run);
}

}  // namespace linkdata
