// Writing the entries a change of mods touches (mode m): each made anew from
// its original bytes and the layers over it, or given its original bytes back,
// through the archive's writer as import writes.
#include <algorithm>
#include <map>
#include <vector>

#include "archive/format/codec.h"
#include "archive/format/format.h"
#include "archive/modes/gallery.h"
#include "archive/modes/mods_session.h"
#include "archive/modes/open_archive.h"
#include "archive/safety/archive_writer.h"
#include "archive/safety/checked_reads.h"
#include "archive/safety/originals_check.h"
#include "platform/console.h"
#include "platform/messages.h"

namespace linkdata::mods_detail {

// A loose file's bytes; the failure's message, or empty.
std::wstring read_loose(const std::wstring& path, std::vector<uint8_t>* content) {
  platform::File f = platform::File::open_read(path);
  uint64_t size = 0;
  if (!f.is_open()) return msg::file_open_failed(path);
  if (!f.size(&size)) return msg::file_read_failed(path);
  if (size > UINT32_MAX) return msg::file_too_large(path);
  content->resize(size_t(size));
  if (!read_exactly(f, 0, content->data(), content->size())) return msg::file_read_failed(path);
  return std::wstring();
}

namespace {

// As import decides it: a slot is rewritten in place only where it lies in
// the payload area of the archive as it was when the run began.
bool slot_usable(const Session& s, uint64_t position, uint64_t size) {
  if (size == 0) return true;
  return position >= record_position(s.entry_count) && position <= s.length_at_start &&
         size <= s.length_at_start - position;
}

struct Rebuild {
  Session& s;
  ArchiveWriter& writer;
  WorkerPool& pool;
  std::vector<uint32_t> written;
  std::map<uint32_t, uint32_t> crcs;
  std::vector<SavedBytes> put_back;
};

// The entry's content written as import writes a loose file of that size:
// compressed into its slot, plain into it, or appended plain.
bool write_content(Rebuild& r, uint32_t n, std::vector<uint8_t> content) {
  if (content.size() > UINT32_MAX) return fail(msg::kArchiveWriteFailed);
  std::vector<IndexRecord> records;
  if (!read_index_records(r.s.archive, n, 1, &records)) return fail(msg::kArchiveReadFailed);
  const IndexRecord& rec = records[0];
  const uint64_t position = byte_position(rec, kWriteUnit);
  const uint64_t slot = slot_size(rec.stored_size);
  const uint32_t size = uint32_t(content.size());
  content.resize(size_t(slot_size(size)), 0);
  PendingWrite record{record_position(n), std::vector<uint8_t>(kRecordSize)};
  r.written.push_back(n);
  // An empty content has no compressed form: it is an empty plain entry.
  if (rec.unpacked_size != 0 && size > 0) {
    EncodeResult encoded = compress_payload_within(content.data(), size, slot, &r.pool);
    if (encoded.status == EncodeStatus::failed) return fail(msg::kArchiveWriteFailed);
    if (encoded.status == EncodeStatus::ok && slot_usable(r.s, position, encoded.payload.size())) {
      const uint32_t stored = uint32_t(encoded.payload.size());
      encode_record(IndexRecord{rec.payload_offset, stored, size}, record.bytes.data());
      r.crcs[n] = payload_checksum(encoded.payload.data(), stored);
      r.writer.write_in_place(n, std::move(record), {position, std::move(encoded.payload)}, {});
      return show(r.writer.start_if_full());
    }
  } else if (size <= slot && slot_usable(r.s, position, size)) {
    encode_record(IndexRecord{rec.payload_offset, size, 0}, record.bytes.data());
    r.crcs[n] = payload_checksum(content.data(), size);
    content.resize(size);
    r.writer.write_in_place(n, std::move(record), {position, std::move(content)}, {});
    return show(r.writer.start_if_full());
  }
  r.crcs[n] = payload_checksum(content.data(), size);
  if (!show(r.writer.finish())) return false;
  if (!r.writer.append_plain(n, content, size, {})) {
    return show(r.writer.commit_all()) && fail(msg::kArchiveWriteFailed);
  }
  return show(r.writer.start_if_full());
}

// An entry whose top layer replaces it whole is that layer's content, which
// the record keeps compressed as the archive keeps an entry: where the
// entry is compressed and that payload fits its slot, it goes in as it is,
// with no decoding and no compressing. Otherwise *written stays false.
bool write_kept_payload(Rebuild& r, uint32_t n, bool* written) {
  *written = false;
  const ModEntry* top = nullptr;
  for (const ModLayer& layer : r.s.record.layers) {
    if (const ModEntry* e = find_entry(layer, n)) top = e;
  }
  if (top == nullptr || !top->whole || top->plain || top->content_size == 0 ||
      !top->textures.empty()) {
    return true;
  }
  std::vector<IndexRecord> records;
  if (!read_index_records(r.s.archive, n, 1, &records)) return fail(msg::kArchiveReadFailed);
  const IndexRecord& rec = records[0];
  const uint64_t position = byte_position(rec, kWriteUnit);
  const uint64_t stored = top->content.size();
  if (rec.unpacked_size == 0 || stored > slot_size(rec.stored_size) ||
      !slot_usable(r.s, position, stored)) {
    return true;
  }
  PendingWrite record{record_position(n), std::vector<uint8_t>(kRecordSize)};
  encode_record(IndexRecord{rec.payload_offset, uint32_t(stored), top->content_size},
                record.bytes.data());
  r.written.push_back(n);
  r.crcs[n] = payload_checksum(top->content.data(), size_t(stored));
  r.writer.write_in_place(n, std::move(record), {position, top->content}, {});
  *written = true;
  return show(r.writer.start_if_full());
}

// An entry that no layer changes any more gets its original bytes back, as
// a range restore puts them back: its saves, through the journal.
bool put_back(Rebuild& r, uint32_t n) {
  std::vector<SavedBytes> saves;
  for (const SavedBytes& b : r.s.saves) {
    if (b.entry == n) saves.push_back(b);
  }
  if (saves.empty()) return true;
  const auto part = [&r, n]() -> Group& {
    Group& g = r.writer.pending();
    g.entries.push_back({g.writes.size(), {}, n});
    return g;
  };
  Group* g = &part();
  for (const SavedBytes& b : saves) {
    if (b.size > kSideFileBlock && !r.s.originals.saved_intact(b)) {
      return show(r.writer.commit_all()) && fail(msg::originals_unreadable(r.s.originals.path()));
    }
    for (uint64_t done = 0; done < b.size;) {
      if (group_full(*g)) {
        if (!show(r.writer.start())) return false;
        g = &part();
      }
      PendingWrite w{b.position + done, {}};
      const size_t piece = size_t(std::min<uint64_t>(b.size - done, kSideFileBlock));
      if (!r.s.originals.read_saved(b, done, piece, &w.bytes)) {
        return show(r.writer.commit_all()) && fail(msg::originals_unreadable(r.s.originals.path()));
      }
      done += piece;
      g->bytes += w.bytes.size();
      g->writes.push_back(std::move(w));
    }
    r.put_back.push_back(b);
  }
  return show(r.writer.start_if_full());
}

// After the writes: the entries put back leave the file of originals once
// they read back, the fingerprint is sealed, and an archive that no layer
// changes any more is cut back to its original length, after which its side
// files go, as after a whole restore.
bool finish_rebuild(Rebuild& r, const std::vector<uint32_t>& touched) {
  Session& s = r.s;
  r.writer.close_journal();
  std::vector<uint32_t> dropped;
  for (const SavedBytes& b : r.put_back) {
    if (dropped.empty() || dropped.back() != b.entry) dropped.push_back(b.entry);
  }
  if (!dropped.empty()) {
    if (!saves_read_back(s.archive, r.put_back)) return fail(msg::kArchiveWriteFailed);
    if (!s.originals.drop(dropped)) return fail(msg::kOriginalsWriteFailed);
  }
  if (!r.writer.seal(touched, r.crcs)) return fail(msg::kOriginalsWriteFailed);
  if (s.record.layers.empty() && s.originals.saves().empty() && r.writer.begun()) {
    if (!r.writer.cut_to(s.originals.original().original_length) ||
        !archive_is_original(s.originals, s.archive)) {
      return fail(msg::kArchiveWriteFailed);
    }
    if (!s.originals.remove()) return fail(msg::kOriginalsWriteFailed);
    s.has_originals = false;
  }
  for (uint32_t n : touched) {
    if (!layered(s.record.layers, n)) {
      drop_state(s.record, n);
      continue;
    }
    // The payload's checksum was taken as it was handed to the writer.
    EntryState state;
    state.entry = n;
    const auto crc = r.crcs.find(n);
    if (crc == r.crcs.end()
            ? !current_state(s, n, &state, false)
            : !read_exactly(s.archive, record_position(n), state.record, kRecordSize)) {
      return fail(msg::kArchiveReadFailed);
    }
    if (crc != r.crcs.end()) state.payload_crc = crc->second;
    set_state(s.record, state);
  }
  return commit_mods_record(s.archive_name, s.record) || fail(msg::kModsRecordWriteFailed);
}

// A deferred loose file read and compressed into the entry its layer keeps.
// A file that no longer reads stops the change half-way, as a crash would,
// and the next run settles it.
std::wstring read_deferred(Session& s, uint32_t n) {
  const auto path = s.deferred.find(n);
  if (path == s.deferred.end()) return std::wstring();
  const auto layer = std::find_if(s.record.layers.begin(), s.record.layers.end(),
                                  [&s](const ModLayer& l) { return l.name == s.deferred_layer; });
  ModEntry* e = layer == s.record.layers.end() ? nullptr : find_entry(*layer, n);
  if (e == nullptr) return std::wstring();
  std::vector<uint8_t> content;
  std::wstring failure = read_loose(path->second, &content);
  // Changed since it was planned (an editor still saving it): not taken
  // half-way, and never empty for a compressed entry.
  if (failure.empty() && content.size() != e->content_size) {
    failure = msg::file_read_failed(path->second);
  }
  if (!failure.empty()) return failure;
  pack(s, n, std::move(content), e);
  s.deferred.erase(path);
  return std::wstring();
}

}  // namespace

// Every touched entry made anew from its original bytes and the stack in
// the session's record, after the list of them is pending on disk: a crash
// at any point is settled by doing this again under the record then in
// place.
bool rebuild_entries(Session& s, const std::vector<uint32_t>& touched) {
  ModsRecord pending;
  pending.identity = s.record.identity;
  pending.touched = touched;
  if (!write_mods_pending(s.archive_name, pending)) return fail(msg::kModsRecordWriteFailed);
  ArchiveWriter writer{s.archive, s.originals, s.archive_name, OriginalsUse::save_first_touches};
  Rebuild r{s, writer, s.encoders, {}, {}, {}};
  std::vector<uint32_t> in_range;
  for (uint32_t n : touched) {
    if (n < s.entry_count) in_range.push_back(n);
  }
  writer.set_first_records(in_range);
  if (!in_range.empty() && !writer.begin()) return fail(msg::kOriginalsWriteFailed);
  s.saves = s.originals.saves();
  for (uint32_t n : in_range) {
    if (!layered(s.record.layers, n)) {
      if (!put_back(r, n)) return false;
      continue;
    }
    const std::wstring unread = read_deferred(s, n);
    if (!unread.empty()) return show(writer.commit_all()) && fail(unread);
    bool written = false;
    if (!write_kept_payload(r, n, &written)) return false;
    if (written) continue;
    std::vector<uint8_t> content;
    const std::wstring failure = layered_content(s, s.record.layers, n, &content);
    if (!failure.empty()) return show(writer.commit_all()) && fail(failure);
    if (!write_content(r, n, std::move(content))) return false;
  }
  if (!show(writer.commit_all())) return false;
  // The gallery of exported pictures, where there is one, learns which
  // entries changed, as after an import.
  return finish_rebuild(r, in_range) &&
         refresh_gallery_after_run(s.letter, s.archive, kWriteUnit, in_range);
}

}  // namespace linkdata::mods_detail
