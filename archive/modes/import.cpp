#include "archive/modes/import.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "archive/format/codec.h"
#include "archive/format/entry_content.h"
#include "archive/format/format.h"
#include "archive/modes/gallery.h"
#include "archive/modes/import_names.h"
#include "archive/modes/mods.h"
#include "archive/modes/open_archive.h"
#include "archive/modes/run_summary.h"
#include "archive/modes/texture_patch.h"
#include "archive/modes/work_tree.h"
#include "archive/safety/archive_writer.h"
#include "archive/safety/journal.h"
#include "archive/safety/originals.h"
#include "archive/safety/originals_check.h"
#include "platform/console.h"
#include "platform/deferred_interrupts.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/whole_file.h"
#include "platform/worker_pool.h"
#include "platform/working_paths.h"

namespace linkdata {
namespace {

// A listed loose file that passed the name test, with the record of its entry
// as the archive held it when the run began.
struct Candidate {
  std::wstring name;
  int32_t entry = 0;
  bool in_range = false;
  IndexRecord record;
  std::vector<TextureFile> textures;  // edited textures to patch into its content
  // No loose file: the content to patch is the entry's own, from the archive.
  bool from_archive = false;
};

// The file that messages about a candidate name.
const std::wstring& shown_name(const Candidate& c) {
  return c.from_archive ? c.textures.front().path : c.name;
}

// With edited textures present, entries go in ascending entry number (loose
// files for one entry keep their name order). An entry's textures patch its
// last loose file, the one whose content stays, or else the entry's own
// content, read from the archive when its turn comes.
void add_texture_files(const std::vector<TextureFile>& files, uint32_t entry_count,
                       std::vector<Candidate>* candidates) {
  auto by_entry = [](const Candidate& a, const Candidate& b) { return a.entry < b.entry; };
  std::stable_sort(candidates->begin(), candidates->end(), by_entry);
  for (size_t i = 0, j = 0; i < files.size(); i = j) {
    while (j < files.size() && files[j].entry == files[i].entry) ++j;
    std::vector<TextureFile> group(files.begin() + long(i), files.begin() + long(j));
    const uint64_t n = files[i].entry;
    auto last = std::find_if(candidates->rbegin(), candidates->rend(), [n](const Candidate& c) {
      return c.entry >= 0 && uint64_t(c.entry) == n;
    });
    if (last != candidates->rend()) {
      last->textures = std::move(group);
      continue;
    }
    Candidate c;
    c.entry = int32_t(std::min<uint64_t>(n, INT32_MAX));
    c.in_range = n < entry_count;
    c.textures = std::move(group);
    c.from_archive = true;
    candidates->push_back(std::move(c));
  }
  std::stable_sort(candidates->begin(), candidates->end(), by_entry);
}

struct ImportRun {
  ImportRun(std::wstring name, const std::wstring& letter)
      : archive_name(std::move(name)), import_dir(work_tree_for(letter).import_dir) {}
  std::wstring archive_name;
  std::wstring import_dir;
  platform::File archive;
  uint32_t entry_count = 0;
  uint64_t length_at_start = 0;  // of the archive file, before the run's first write
  Originals originals;
  std::vector<uint32_t> written;  // entries handed to the archive
  // The crc32 of the payloads written, for the fingerprint at the end: it
  // need not read them back.
  std::map<uint32_t, uint32_t> payload_crcs;
  // Compresses the blocks of every entry of the run: its threads, and the
  // compressor each keeps, serve all entries.
  WorkerPool encoders{helper_threads()};
  bool entries_refused = false;  // some entries were not written, the others were
  bool skipped_any = false;      // a name skipped with a message: status 1 at the end
  RunTally tally;                // for the summary line on a console
  // Entries handed to the archive, and those of them appended: an entry
  // named by several loose files counts once.
  std::set<uint32_t> rewritten, appended;
  // Last: it waits for its group in flight before the rest goes.
  ArchiveWriter writer{archive, originals, archive_name, OriginalsUse::save_first_touches};
};

// The file of originals must describe the archive as this tool left it, its
// payloads included. One that does not is set aside, never deleted, and a new
// one starts from the archive as it is now; one whose archive is the original
// again holds nothing the archive lacks, and goes. A damaged one stops the
// run before anything is written.
bool take_originals(ImportRun& run) {
  switch (run.originals.load(run.archive_name, run.archive)) {
    case OriginalsLoad::none:
      return true;
    case OriginalsLoad::unreadable:
      return fail(msg::originals_unreadable(run.originals.path()));
    case OriginalsLoad::damaged:
      return fail(msg::originals_damaged(run.originals.path(), run.archive_name,
                                         run.originals.damaged_at()));
    case OriginalsLoad::ok:
      break;
  }
  if (originals_match(run.originals, run.archive)) {
    return run.originals.open_to_write() || fail(msg::kOriginalsWriteFailed);
  }
  if (archive_is_original(run.originals, run.archive)) {
    return run.originals.remove() || fail(msg::kOriginalsWriteFailed);
  }
  const std::wstring aside = run.originals.set_aside();
  if (aside.empty()) return fail(msg::kOriginalsWriteFailed);
  say(msg::archive_replaced_originals_set_aside(run.archive_name, aside));
  return true;
}

// A failure message comes after the lines of everything before it.
bool fail_after_group(ImportRun& run, const std::wstring& message) {
  return show(run.writer.commit_all()) && fail(message);
}

// In place: the record, then the data in the entry's own slot (the slot's
// bytes behind the new data keep what they held), both through the journal.
bool add_in_place(ImportRun& run, uint32_t n, uint64_t position, std::vector<uint8_t> data,
                  uint32_t size, uint32_t unpacked_size, std::vector<std::wstring> lines) {
  PendingWrite record{record_position(n), std::vector<uint8_t>(kRecordSize)};
  encode_record(IndexRecord{position / kWriteUnit, size, unpacked_size}, record.bytes.data());
  data.resize(size);
  run.writer.write_in_place(n, std::move(record), {position, std::move(data)}, std::move(lines));
  return show(run.writer.start_if_full());
}

// A slot is rewritten in place only where it lies in the payload area of the
// file as it was when the run began: a record pointing into the header or the
// index (a payload offset of 0, or one whose byte position wraps there), or
// past that end, where this run's own appends land, gets its entry appended
// instead. So no record can make import overwrite the index or an entry it
// has just appended, and only appends ever grow the file.
bool slot_usable(const ImportRun& run, uint64_t position, uint64_t size) {
  if (size == 0) return true;  // nothing is written there
  return position >= record_position(run.entry_count) && position <= run.length_at_start &&
         size <= run.length_at_start - position;
}

// How an entry's bytes go into the archive.
enum class WriteMethod { compressed_in_place, plain_in_place, plain_append };

// Why a file cannot go in: the run ends with this message, or goes on
// without that entry.
struct Failure {
  std::wstring message;
  // Only this entry is refused: the run goes on with the others, and ends
  // with status 1.
  bool entry_only = false;
};

// A file larger than a look-ahead takes on, left for its turn.
struct LeftForItsTurn {};

// The content to write, padded with zeros to a whole slot.
struct Content {
  std::vector<uint8_t> bytes;
  uint32_t size = 0;  // bytes before the padding
  // For each of the candidate's textures, the lines after its success line.
  std::vector<std::wstring> texture_notes;
};

using Loaded = std::variant<Content, Failure, LeftForItsTurn>;

// What is written for a file: the bytes and where they go.
struct EntryWrite {
  WriteMethod method = WriteMethod::plain_append;
  std::vector<uint8_t> data;  // the payload, or the content padded to a whole slot
  uint32_t size = 0;          // bytes of data that the record counts
  uint32_t unpacked_size = 0;
  std::vector<std::wstring> texture_notes;  // as Content has them
};

// What a file comes to before anything is written for it. It rests only on
// the file and on the index as read at the start, so the next file can be
// prepared while the current one is written.
using Prepared = std::variant<EntryWrite, Failure>;

Loaded read_loose_file(const std::wstring& import_dir, const Candidate& c, uint64_t size_limit) {
  platform::File loose = platform::File::open_input(join_path(import_dir, c.name));
  if (!loose.is_open()) return Failure{msg::file_open_failed(c.name)};
  uint64_t file_size = 0;
  if (!loose.size(&file_size)) return Failure{msg::file_read_failed(c.name)};
  // Index records hold 32-bit sizes.
  if (file_size > UINT32_MAX) return Failure{msg::file_too_large(c.name)};
  if (file_size > size_limit) return LeftForItsTurn{};
  Content content;
  content.size = uint32_t(file_size);
  content.bytes.assign(size_t(slot_size(content.size)), 0);
  size_t got = 0;
  // A file that shrank since its size was taken (an editor still saving it)
  // would otherwise go in zero-padded to its old size.
  if (!loose.read_at(0, content.bytes.data(), content.size, &got) || got != content.size) {
    return Failure{msg::file_read_failed(c.name)};
  }
  return Loaded(std::move(content));
}

Loaded read_own_content(ImportRun& run, const Candidate& c) {
  Content content;
  const std::wstring failure = read_entry_content(run.archive, run.length_at_start, kWriteUnit,
                                                  uint32_t(c.entry), c.record, &content.bytes);
  if (!failure.empty()) return Failure{failure};
  content.size = uint32_t(content.bytes.size());
  content.bytes.resize(size_t(slot_size(content.size)), 0);
  return Loaded(std::move(content));
}

// The loose file's content, or the entry's own, with the candidate's
// textures patched in.
Loaded load_content(ImportRun& run, const Candidate& c, uint64_t size_limit) {
  Loaded loaded =
      c.from_archive ? read_own_content(run, c) : read_loose_file(run.import_dir, c, size_limit);
  Content* content = std::get_if<Content>(&loaded);
  if (content == nullptr || c.textures.empty()) return loaded;
  std::wstring failure =
      patch_textures(content->bytes.data(), content->size, c.textures, &content->texture_notes);
  if (!failure.empty()) return Failure{std::move(failure)};
  return loaded;
}

// Where the content goes: compressed into its slot, plain into it, or
// appended plain.
Prepared plan_write(ImportRun& run, const Candidate& c, Content content) {
  const uint64_t position = byte_position(c.record, kWriteUnit);
  const uint64_t slot = slot_size(c.record.stored_size);
  EntryWrite w;
  w.size = content.size;
  w.texture_notes = std::move(content.texture_notes);
  if (c.record.unpacked_size != 0) {
    // A payload larger than the slot is never written, so its compression
    // stops as soon as that is certain: a file that grows is appended plain.
    EncodeResult encoded =
        compress_payload_within(content.bytes.data(), content.size, slot, &run.encoders);
    if (encoded.status == EncodeStatus::failed) return Failure{msg::compress_failed(shown_name(c))};
    if (encoded.status == EncodeStatus::ok && slot_usable(run, position, encoded.payload.size())) {
      w.method = WriteMethod::compressed_in_place;
      w.size = uint32_t(encoded.payload.size());
      w.unpacked_size = content.size;
      w.data = std::move(encoded.payload);
      return Prepared(std::move(w));
    }
  } else if (content.size <= slot && slot_usable(run, position, content.size)) {
    w.method = WriteMethod::plain_in_place;
  }
  w.data = std::move(content.bytes);
  return Prepared(std::move(w));
}

// None: the file is larger than size_limit, left for its turn.
std::optional<Prepared> prepare_within(ImportRun& run, const Candidate& c, uint64_t size_limit) {
  if (!c.in_range) {
    // A texture folder whose number no entry has.
    if (c.from_archive) return Failure{msg::texture_not_in_entry(shown_name(c))};
    return Failure{msg::entry_number_out_of_range(c.name)};
  }
  // Before anything is read: the files are refused together whatever they hold.
  std::wstring doubled = textures_given_twice(c.textures);
  if (!doubled.empty()) return Failure{std::move(doubled), true};
  Loaded loaded = load_content(run, c, size_limit);
  if (Failure* failure = std::get_if<Failure>(&loaded)) return std::move(*failure);
  if (std::holds_alternative<LeftForItsTurn>(loaded)) return std::nullopt;
  return plan_write(run, c, std::move(std::get<Content>(loaded)));
}

// A file in its turn, with no size limit: every file gets prepared.
Prepared prepare(ImportRun& run, const Candidate& c) {
  try {
    return *prepare_within(run, c, UINT64_MAX);
  } catch (const PictureOutOfMemory&) {
    return Failure{msg::kOutOfMemory};
  } catch (const std::bad_alloc&) {
    return Failure{msg::file_too_large(shown_name(c))};
  }
}

// A look-ahead: none for a file it leaves for its turn, larger than it
// takes on, or out of memory beside the previous file.
std::optional<Prepared> look_ahead(ImportRun& run, const Candidate& c, uint64_t size_limit) {
  try {
    return prepare_within(run, c, size_limit);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::vector<std::wstring> success_lines(const ImportRun& run, const Candidate& c,
                                        const EntryWrite& w) {
  const WriteMethod method = w.method;
  std::vector<std::wstring> lines;
  // An entry that had no loose file reports only its textures.
  if (!c.from_archive) {
    const std::wstring& a = run.archive_name;
    lines.push_back(method == WriteMethod::compressed_in_place ? msg::imported_compressed(a, c.name)
                    : method == WriteMethod::plain_in_place    ? msg::imported_plain(a, c.name)
                                                               : msg::appended_plain(a, c.name));
  }
  for (size_t i = 0; i < c.textures.size(); ++i) {
    lines.push_back(msg::imported_texture(run.archive_name, c.textures[i].path));
    if (i < w.texture_notes.size() && !w.texture_notes[i].empty()) {
      lines.push_back(w.texture_notes[i]);
    }
  }
  return lines;
}

// Takes a prepared file into the archive; its lines come once it is durable.
bool commit(ImportRun& run, const Candidate& c, Prepared prepared) {
  if (const Failure* failure = std::get_if<Failure>(&prepared)) {
    if (!failure->entry_only) return fail_after_group(run, failure->message);
    // After the lines of everything before it, as a failure that ends the run.
    if (!show(run.writer.commit_all())) return false;
    say(failure->message);
    run.entries_refused = true;
    return true;
  }
  EntryWrite& w = std::get<EntryWrite>(prepared);
  std::vector<std::wstring> lines = success_lines(run, c, w);
  run.tally.textures_written += c.textures.size();
  const uint32_t n = uint32_t(c.entry);
  run.written.push_back(n);
  run.rewritten.insert(n);
  // Taken here, on the thread that owns the map, not by the group's writer.
  run.payload_crcs[n] = payload_checksum(w.data.data(), w.size);
  if (w.method == WriteMethod::plain_append) {
    run.appended.insert(n);
    // No group in flight while the archive grows, and the originals begun
    // before its first change.
    if (!show(run.writer.finish())) return false;
    if (!run.writer.begin()) return fail(msg::kOriginalsWriteFailed);
    // An entry that only its textures made outgrow its slot has no line of
    // its own that says it moved: the player learns it here, and what it
    // cost the archive (the padding to the write unit, then the slot).
    if (c.from_archive) {
      uint64_t length = 0;
      if (!run.archive.size(&length)) return fail_after_group(run, msg::kArchiveWriteFailed);
      const uint64_t growth = round_up_to_write_unit(length) - length + w.data.size();
      lines.insert(lines.begin(), msg::texture_entry_appended(run.archive_name, n, growth));
    }
    if (!run.writer.append_plain(n, w.data, w.size, std::move(lines))) {
      return fail_after_group(run, msg::kArchiveWriteFailed);
    }
    return show(run.writer.start_if_full());
  }
  return add_in_place(run, n, byte_position(c.record, kWriteUnit), std::move(w.data), w.size,
                      w.unpacked_size, std::move(lines));
}

// Prepares the next files beside the current one, as tasks of the run's
// encoder pool, where there is more than one CPU to run on: most files are a
// few blocks, too few to keep every CPU busy alone, and an append waits for
// the disk. Whoever waits for a look-ahead helps with the pool's queued
// blocks meanwhile, and the next look-aheads are already queued, so no CPU
// idles at the end of a file. Messages and writes stay in listing order, so
// a run's output is that of a one-file-at-a-time run. Larger files wait for
// their turn, where their own blocks keep the CPUs busy: that bounds both the
// memory of the files held at once and how long an interrupted run waits for
// look-aheads whose results it drops.
class Prefetch {
 public:
  static constexpr size_t kDepth = 16;  // files prepared ahead of the current one
  // The first two look-aheads take files of up to 32 MiB; the rest, which
  // are there for runs of small files, up to 1 MiB.
  static constexpr size_t kLargeLookAheads = 2;
  static constexpr uint64_t kLargeLimit = uint64_t(32) << 20;
  static constexpr uint64_t kSmallLimit = uint64_t(1) << 20;

  explicit Prefetch(WorkerPool& pool) : pool_(pool) {}
  // Look-aheads still queued or running use their candidates and the run. A
  // run that ends early (an interruption, a failure) drops their results, so
  // those not yet begun are skipped.
  ~Prefetch() {
    dropping_ = true;
    while (!ahead_.empty()) settle_front();
  }
  Prefetch(const Prefetch&) = delete;
  Prefetch& operator=(const Prefetch&) = delete;

  // Starts the look-aheads of the kDepth candidates from `next` on. An
  // entry's own content is read from the archive in its turn, after every
  // write before it, as a one-file-at-a-time run reads it.
  void run_ahead(ImportRun& run, const std::vector<Candidate>& candidates, size_t next) {
    if (pool_.helper_count() == 0) return;
    started_ = std::max(started_, next);
    for (; started_ < std::min(candidates.size(), next + kDepth); ++started_) {
      const Candidate& c = candidates[started_];
      if (c.from_archive) continue;
      const uint64_t limit = ahead_.size() < kLargeLookAheads ? kLargeLimit : kSmallLimit;
      Ahead& a = *ahead_.emplace_back(std::make_unique<Ahead>());
      a.candidate = &c;
      pool_.submit(a.group, [this, &a, &run, &c, limit] {
        if (!dropping_) a.result = look_ahead(run, c, limit);
      });
    }
  }

  Prepared take(ImportRun& run, const Candidate& c) {
    if (ahead_.empty() || ahead_.front()->candidate != &c) return prepare(run, c);
    std::optional<Prepared> result = settle_front();
    return result ? std::move(*result) : prepare(run, c);
  }

 private:
  struct Ahead {
    const Candidate* candidate = nullptr;
    TaskGroup group;  // stays in place: the pool points at it
    std::optional<Prepared> result;
  };

  std::optional<Prepared> settle_front() {
    const std::unique_ptr<Ahead> a = std::move(ahead_.front());
    ahead_.pop_front();
    try {
      pool_.wait(a->group);
    } catch (...) {
      return std::nullopt;  // prepared again in its turn
    }
    return std::move(a->result);
  }

  WorkerPool& pool_;
  std::deque<std::unique_ptr<Ahead>> ahead_;
  std::atomic<bool> dropping_{false};
  size_t started_ = 0;  // candidates before it have had their chance of a look-ahead
};

// The archive opened under its lock, with an index that import can write
// records into: in 2048-byte units, and inside the file.
bool open_archive_for_import(ImportRun& run, LockedArchive* locked) {
  if (!open_archive_to_write(run.archive_name, locked)) return false;
  // Read as well as written: the journal saves the bytes a write replaces,
  // and entries without a loose file take their content from here.
  run.archive = std::move(locked->file);
  // Before the length and the records that every decision of the run rests
  // on are read: settling may rewrite entries and grow or cut the archive.
  if (!settle_pending_mods(run.archive_name, run.archive, locked->writable)) return false;
  ArchiveHeader header;
  if (!read_header_reporting(run.archive, &header)) return false;
  // Offsets written here are in 2048-byte units; another unit would make every
  // record we write point at the wrong place.
  if (header.offset_unit != kWriteUnit) {
    return fail(msg::kOffsetUnitNot2048);
  }
  run.entry_count = header.entry_count;
  // An index that claims more records than the file holds shares its tail
  // with whatever import appends: those records would then read the appended
  // bytes and point at garbage. Such an archive is left alone.
  uint64_t archive_length = 0;
  if (!run.archive.size(&archive_length)) return fail(msg::kArchiveReadFailed);
  if (record_position(run.entry_count) > archive_length) {
    return fail(msg::kIndexPastEnd);
  }
  run.length_at_start = archive_length;
  return true;
}

// Only regular files are read, a link's too: a FIFO would hold the run in
// its open for ever, with the archive locked. Anything else there of a name
// import would take is named and left out, and the run goes on; a name that
// leads nowhere fails its open as ever.
bool regular_or_said(ImportRun& run, const std::wstring& path, const std::wstring& shown) {
  const platform::NameKind kind = platform::target_kind(path);
  if (kind == platform::NameKind::file || kind == platform::NameKind::none) return true;
  say(msg::not_regular_file(shown));
  run.skipped_any = true;
  return false;
}

// The loose files whose names pass the name test and the edited textures of
// the import folder, in the order they go in. False when there is neither.
bool gather_candidates(ImportRun& run, std::vector<Candidate>* candidates) {
  std::vector<platform::ListedName> listing;
  platform::list_directory(run.import_dir, &listing);
  const std::vector<platform::ListedName> matches = loose_files_in_import_order(listing);
  std::vector<TextureFile> texture_files = texture_files_in_import_order(run.import_dir);
  texture_files.erase(std::remove_if(texture_files.begin(), texture_files.end(),
                                     [&run](const TextureFile& t) {
                                       return !regular_or_said(run, t.path, t.path);
                                     }),
                      texture_files.end());
  if (matches.empty() && texture_files.empty()) return fail(msg::kNothingToImport);
  for (const platform::ListedName& listed : matches) {
    std::optional<int32_t> entry = entry_number_of(listed);
    if (!entry) continue;
    if (!regular_or_said(run, join_path(run.import_dir, listed.name), listed.name)) {
      continue;
    }
    Candidate c;
    c.name = listed.name;
    c.entry = *entry;
    c.in_range = *entry >= 0 && uint32_t(*entry) < run.entry_count;
    candidates->push_back(std::move(c));
  }
  if (!texture_files.empty()) add_texture_files(texture_files, run.entry_count, candidates);
  return true;
}

// Every decision of the run rests on the records as they were before the
// first write, read here once for the files that will be handled.
bool read_candidate_records(ImportRun& run, std::vector<Candidate>* candidates) {
  std::vector<IndexRecord> index_records;
  for (Candidate& c : *candidates) {
    if (!c.in_range) continue;
    if (!read_index_records(run.archive, uint32_t(c.entry), 1, &index_records)) {
      return fail(msg::kArchiveReadFailed);
    }
    c.record = index_records[0];
  }
  return true;
}

// The journal and the file of originals made ready, and each group's
// originals saved before the group is written. A run that can write nothing
// leaves every side file as it is.
bool prepare_side_files(ImportRun& run, bool writable, const std::vector<Candidate>& candidates) {
  if (!writable) return fail(msg::kArchiveNotWritable);
  // Every record the run may write is saved at its first write, one flush
  // for all of them, where saving each before its append would cost one more
  // per entry; a run that writes nothing leaves no file.
  std::vector<uint32_t> records;
  for (const Candidate& c : candidates) {
    if (c.in_range) records.push_back(uint32_t(c.entry));
  }
  if (!records.empty() && !take_originals(run)) return false;
  run.writer.set_first_records(std::move(records));
  return true;
}

// Each candidate prepared, and committed in its turn.
bool commit_candidates(ImportRun& run, const std::vector<Candidate>& candidates) {
  // An interruption lets the entry being written finish, so that no entry is
  // left half-written, and then ends the run.
  const platform::InterruptsDeferred deferred;
  // Every allocation for a file comes before its first write, so a file that
  // cannot be held leaves the archive as it was before that file.
  Prefetch prefetch{run.encoders};
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (platform::interrupt_requested()) return fail_after_group(run, msg::kImportInterrupted);
    // Content read from the archive must see every write before it.
    if (candidates[i].from_archive && !show(run.writer.commit_writes())) return false;
    prefetch.run_ahead(run, candidates, i + 1);
    Prepared prepared = prefetch.take(run, candidates[i]);
    if (!commit(run, candidates[i], std::move(prepared))) return false;
  }
  if (!show(run.writer.commit_all())) return false;
  if (platform::interrupt_requested()) return fail(msg::kImportInterrupted);
  return !run.entries_refused;
}

bool import_files(ImportRun& run) {
  if (!path_exists(run.import_dir)) return fail(msg::kImportFolderMissing);
  LockedArchive locked;
  if (!open_archive_for_import(run, &locked)) return false;
  std::vector<Candidate> candidates;
  return gather_candidates(run, &candidates) && read_candidate_records(run, &candidates) &&
         prepare_side_files(run, locked.writable, candidates) && commit_candidates(run, candidates);
}

}  // namespace

bool run_import(const std::wstring& prefix, const std::wstring& letter) {
  ImportRun run(prefix + letter, letter);
  bool ok = import_files(run);
  run.writer.close_journal();
  // After a failure, what the archive holds of the run is read back.
  if (!run.writer.seal(run.written, ok ? run.payload_crcs : std::map<uint32_t, uint32_t>{})) {
    ok = fail(msg::kOriginalsWriteFailed);
  }
  if (!refresh_gallery_after_run(letter, run.archive, kWriteUnit, run.written)) ok = false;
  run.tally.entries_rewritten = run.rewritten.size();
  run.tally.entries_appended = run.appended.size();
  report_import_on_console(run.tally);
  return ok && !run.skipped_any;
}

}  // namespace linkdata
