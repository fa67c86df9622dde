#include "archive/safety/originals.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <utility>

#include "archive/format/format.h"
#include "archive/safety/checked_reads.h"
#include "platform/little_endian.h"
#include "platform/working_paths.h"

namespace linkdata {
namespace {

constexpr char kOriginalsMagic[8] = {'L', 'D', 'O', 'R', 'I', 'G', '0', '1'};
constexpr size_t kOriginalsHeaderSize = 32;
constexpr size_t kRecordHeadSize = 32;

enum Kind : uint32_t { kSave = 1, kOpen = 2, kSeal = 3, kDrop = 4 };

struct Head {
  uint32_t kind = 0, entry = 0;
  uint64_t position = 0, length = 0;
  uint32_t body_crc = 0;
};

bool decode_head(const uint8_t* b, Head* h) {
  if (load_u32le(b + 28) != crc_of(0, b, 28)) return false;
  h->kind = load_u32le(b);
  h->entry = load_u32le(b + 4);
  h->position = load_u64le(b + 8);
  h->length = load_u64le(b + 16);
  h->body_crc = load_u32le(b + 24);
  return h->kind >= kSave && h->kind <= kDrop;
}

void cover(Originals& o, uint64_t start, uint64_t end) {
  auto it = o.covered.upper_bound(start);
  if (it != o.covered.begin() && std::prev(it)->second >= start) {
    --it;
    start = it->first;
  }
  while (it != o.covered.end() && it->first <= end) {
    end = std::max(end, it->second);
    it = o.covered.erase(it);
  }
  o.covered[start] = end;
}

void apply_drop(Originals& o, const std::set<uint32_t>& dropped) {
  o.saves.erase(std::remove_if(o.saves.begin(), o.saves.end(),
                               [&](const SavedBytes& s) { return dropped.count(s.entry) != 0; }),
                o.saves.end());
  o.covered.clear();
  for (const SavedBytes& s : o.saves) cover(o, s.position, s.position + s.size);
  for (uint32_t e : dropped) o.payload_crcs.erase(e);
}

// The u32 fields of [at, at + n) of a file, block by block.
bool for_each_u32(platform::File& file, uint64_t at, uint64_t n,
                  const std::function<void(uint32_t)>& take) {
  return for_each_block(file, at, n, [&take](const uint8_t* p, size_t k) {
    for (size_t i = 0; i + 4 <= k; i += 4) take(load_u32le(p + i));
  });
}

// Takes one record in, every byte of it checked; false when it is not whole.
bool read_record(Originals& o, uint64_t at, uint64_t* next, uint32_t* kind_read) {
  uint8_t bytes[kRecordHeadSize];
  Head h;
  if (o.file_length - at < kRecordHeadSize || !read_exactly(o.file, at, bytes, sizeof bytes) ||
      !decode_head(bytes, &h)) {
    return false;
  }
  const uint64_t body_at = at + kRecordHeadSize;
  if (h.length > o.file_length - body_at) return false;
  uint32_t crc = 0;
  if (!crc_of_file_range(o.file, body_at, h.length, &crc) || crc != h.body_crc) return false;
  switch (h.kind) {
    case kSave:
      o.saves.push_back({h.entry, h.position, h.length, body_at, h.body_crc});
      cover(o, h.position, h.position + h.length);
      break;
    case kOpen:
      o.sealed = false;
      break;
    case kSeal: {
      if (h.length < 4 || h.length % 8 != 4) return false;
      uint8_t index_crc[4];
      if (!read_exactly(o.file, body_at, index_crc, 4)) return false;
      std::map<uint32_t, uint32_t> crcs;
      uint32_t entry = 0;
      bool second = false;
      // The body reads in blocks of a multiple of 8: pairs never straddle two.
      if (!for_each_u32(o.file, body_at + 4, h.length - 4, [&](uint32_t v) {
            if (second) crcs[entry] = v;
            entry = v;
            second = !second;
          })) {
        return false;
      }
      o.sealed = true;
      o.sealed_length = h.position;
      o.sealed_index_crc = load_u32le(index_crc);
      o.payload_crcs = std::move(crcs);
      break;
    }
    case kDrop: {
      std::set<uint32_t> dropped;
      if (!for_each_u32(o.file, body_at, h.length, [&](uint32_t e) { dropped.insert(e); })) {
        return false;
      }
      apply_drop(o, dropped);
      break;
    }
  }
  *next = body_at + h.length;
  *kind_read = h.kind;
  return true;
}

// Whether the records from `at` on, which fail their checks, can only be the
// torn tail of a run that a crash cut short. Such a run wrote nothing of the
// archive that they save, and began no later run: every whole record head
// found from `at` on must be a save whose archive bytes are still the saved
// ones. An open, seal or drop past `at` (each goes to disk alone, or first in
// its flush), or a save whose bytes the archive no longer holds, was written
// after `at` had reached the disk.
bool torn_tail(Originals& o, platform::File& archive, uint64_t at) {
  constexpr size_t kOverlap = kRecordHeadSize - 1;
  std::vector<uint8_t> block;
  for (uint64_t base = at; base + kRecordHeadSize <= o.file_length;) {
    const size_t n = size_t(std::min<uint64_t>(o.file_length - base, kSideFileBlock + kOverlap));
    block.resize(n);
    if (!read_exactly(o.file, base, block.data(), n)) return false;
    for (size_t i = 0; i + kRecordHeadSize <= n; ++i) {
      // A kind is 1 to 4: a cheap test before the checksum.
      if (block[i] < kSave || block[i] > kDrop || block[i + 1] || block[i + 2] || block[i + 3]) {
        continue;
      }
      Head h;
      if (!decode_head(block.data() + i, &h)) continue;
      if (h.kind != kSave) {
        if (base + i == at) continue;  // the torn record itself: its body did not reach the disk
        return false;
      }
      uint32_t crc = 0;
      if (!crc_of_file_range(archive, h.position, h.length, &crc) || crc != h.body_crc)
        return false;
    }
    if (n < kSideFileBlock + kOverlap) break;
    base += kSideFileBlock;
  }
  return true;
}

// The crc32 of the archive's header and index, read in bounded blocks, with
// the saved bytes of `put_back` in place of the archive's where they lie in
// it. False when the index does not lie inside the file.
bool index_checksum(platform::File& archive, Originals* put_back, uint32_t* crc,
                    uint32_t* entry_count = nullptr) {
  uint64_t length = 0;
  uint8_t header[kArchiveHeaderSize];
  if (!archive.size(&length) || length < kArchiveHeaderSize ||
      !read_exactly(archive, 0, header, sizeof header)) {
    return false;
  }
  const uint32_t count = load_u32le(header + 4);
  const uint64_t end = record_position(count);
  if (end > length) return false;
  if (entry_count) *entry_count = count;
  std::vector<const SavedBytes*> overlay;
  if (put_back) {
    for (const SavedBytes& s : put_back->saves) {
      if (s.position < end) overlay.push_back(&s);
    }
    std::sort(overlay.begin(), overlay.end(),
              [](const SavedBytes* a, const SavedBytes* b) { return a->position < b->position; });
  }
  std::vector<uint8_t> block, saved;
  *crc = 0;
  size_t next = 0;  // the first overlay save that may reach into this block
  for (uint64_t at = 0; at < end;) {
    const size_t n = size_t(std::min<uint64_t>(end - at, kSideFileBlock));
    block.resize(n);
    if (!read_exactly(archive, at, block.data(), n)) return false;
    while (next < overlay.size() && overlay[next]->position + overlay[next]->size <= at) ++next;
    for (size_t i = next; i < overlay.size() && overlay[i]->position < at + n; ++i) {
      const SavedBytes& s = *overlay[i];
      const uint64_t from = std::max(s.position, at), to = std::min(s.position + s.size, at + n);
      if (from >= to) continue;
      if (to - from != s.size && !saved_intact(*put_back, s)) return false;
      if (!read_saved(*put_back, s, from - s.position, size_t(to - from), &saved)) return false;
      std::memcpy(block.data() + (from - at), saved.data(), saved.size());
    }
    *crc = crc_of(*crc, block.data(), n);
    at += n;
  }
  return true;
}

bool entry_payload_crc(platform::File& archive, uint64_t length, uint32_t entry, uint32_t* crc) {
  std::vector<IndexRecord> records;
  if (!read_index_records(archive, entry, 1, &records)) return false;
  const uint64_t position = byte_position(records[0], kWriteUnit);
  *crc = 0;
  if (position >= length) return true;
  const uint64_t size = std::min<uint64_t>(records[0].stored_size, length - position);
  return crc_of_file_range(archive, position, size, crc);
}

bool write_header(Originals& o) {
  uint8_t header[kOriginalsHeaderSize] = {};
  std::memcpy(header, kOriginalsMagic, sizeof kOriginalsMagic);
  store_u64le(header + 8, o.original_length);
  store_u32le(header + 16, o.entry_count);
  store_u32le(header + 20, o.original_index_crc);
  store_u32le(header + 24, o.records_on_disk);
  store_u32le(header + 28, crc_of(0, header, 28));
  return o.file.write_at(0, header, sizeof header);
}

std::wstring new_file_path(const Originals& o) { return o.path + L".new"; }

bool append_record(Originals& o, uint32_t kind, uint32_t entry, uint64_t position,
                   const uint8_t* body, size_t length) {
  uint8_t head[kRecordHeadSize];
  store_u32le(head, kind);
  store_u32le(head + 4, entry);
  store_u64le(head + 8, position);
  store_u64le(head + 16, length);
  store_u32le(head + 24, crc_of(0, body, length));
  store_u32le(head + 28, crc_of(0, head, 28));
  if (!o.file.write_at(o.end, head, sizeof head)) return false;
  if (length > 0 && !o.file.write_at(o.end + kRecordHeadSize, body, length)) return false;
  o.end += kRecordHeadSize + length;
  o.file_length = std::max(o.file_length, o.end);
  o.unflushed = true;
  ++o.records;
  return true;
}

// A new file: its header and first records go to disk under a temporary
// name, which then takes the file's own, so that no file of originals is ever
// seen without them.
bool create_file(Originals& o, platform::File& archive, const std::function<bool()>& first) {
  uint64_t length = 0;
  uint32_t count = 0, crc = 0;
  if (!archive.size(&length) || !index_checksum(archive, nullptr, &crc, &count)) return false;
  const std::wstring temporary = new_file_path(o);
  o.file = platform::File::create_always(temporary);
  if (!o.file.is_open()) return false;
  o.original_length = length;
  o.entry_count = count;
  o.original_index_crc = crc;
  o.records_on_disk = o.records = 0;
  if (!write_header(o)) return false;
  o.present = true;
  o.end = o.file_length = kOriginalsHeaderSize;
  if (!first() || !originals_flush(o) || !o.file.close()) return false;
  if (!platform::rename_file(temporary, o.path)) return false;
  o.file = platform::File::open_read_write_existing(o.path);
  o.name_unflushed = true;
  return o.file.is_open();
}

std::set<uint32_t> changed_set(const Originals& o) {
  std::set<uint32_t> entries;
  for (const SavedBytes& s : o.saves) entries.insert(s.entry);
  return entries;
}

}  // namespace

std::wstring originals_path(const std::wstring& archive_name) {
  return archive_name + L"-original";
}

OriginalsLoad load_originals(const std::wstring& archive_name, platform::File& archive,
                             Originals* o) {
  *o = Originals{};
  o->path = originals_path(archive_name);
  if (!path_exists(o->path)) return OriginalsLoad::none;
  o->file = platform::File::open_read(o->path);
  if (!o->file.is_open() || !o->file.size(&o->file_length)) return OriginalsLoad::unreadable;
  uint8_t header[kOriginalsHeaderSize] = {};
  size_t got = 0;
  if (!o->file.read_at(0, header, sizeof header, &got)) return OriginalsLoad::unreadable;
  // Created whole under another name: a header that does not read back is
  // damage, even in an empty file.
  if (got != sizeof header || std::memcmp(header, kOriginalsMagic, sizeof kOriginalsMagic) != 0 ||
      load_u32le(header + 28) != crc_of(0, header, 28)) {
    o->damaged_at = 0;
    return OriginalsLoad::damaged;
  }
  o->present = true;
  o->original_length = load_u64le(header + 8);
  o->entry_count = load_u32le(header + 16);
  o->original_index_crc = load_u32le(header + 20);
  o->records_on_disk = load_u32le(header + 24);
  uint64_t at = kOriginalsHeaderSize;
  uint32_t kind = 0;
  while (at < o->file_length && read_record(*o, at, &at, &kind)) ++o->records;
  o->end = at;
  o->crcs_current = o->sealed;
  // The counted records were on disk before the count was, and the archive
  // is written only after it: a file that fails or ends before them, even
  // between two records, is damaged.
  if (o->records < o->records_on_disk || (at < o->file_length && !torn_tail(*o, archive, at))) {
    o->damaged_at = at;
    return OriginalsLoad::damaged;
  }
  return OriginalsLoad::ok;
}

bool originals_open_to_write(Originals& o) {
  // Closed first: Windows refuses a second handle that would write beside a
  // reading one that shares no writing.
  o.file.close();
  o.file = platform::File::open_read_write_existing(o.path);
  return o.file.is_open();
}

bool originals_match(Originals& o, platform::File& archive) {
  uint64_t length = 0;
  uint32_t crc = 0;
  if (!archive.size(&length)) return false;
  if (o.sealed) {
    if (length != o.sealed_length || !index_checksum(archive, nullptr, &crc) ||
        crc != o.sealed_index_crc) {
      return false;
    }
    for (const auto& [entry, sealed_crc] : o.payload_crcs) {
      uint32_t now = 0;
      if (!entry_payload_crc(archive, length, entry, &now) || now != sealed_crc) return false;
    }
    return true;
  }
  uint32_t count = 0;
  return length >= o.original_length && index_checksum(archive, &o, &crc, &count) &&
         count == o.entry_count && crc == o.original_index_crc;
}

bool archive_is_original(Originals& o, platform::File& archive) {
  uint64_t length = 0;
  uint32_t crc = 0;
  return archive.size(&length) && length == o.original_length &&
         index_checksum(archive, nullptr, &crc) && crc == o.original_index_crc &&
         saves_read_back(archive, o.saves);
}

bool saves_read_back(platform::File& archive, const std::vector<SavedBytes>& saves) {
  for (const SavedBytes& s : saves) {
    uint32_t crc = 0;
    if (!crc_of_file_range(archive, s.position, s.size, &crc) || crc != s.crc) return false;
  }
  return true;
}

std::wstring set_originals_aside(Originals& o) {
  o.file.close();
  for (unsigned n = 1; n < 1000; ++n) {
    const std::wstring name = o.path + L"." + std::to_wstring(n);
    if (path_exists(name)) continue;
    if (!platform::rename_file(o.path, name) || !platform::flush_folder(folder_of(o.path))) break;
    const std::wstring path = o.path;
    o = Originals{};
    o.path = path;
    return name;
  }
  return L"";
}

bool remove_originals(Originals& o) {
  o.file.close();
  if (!platform::remove_file(o.path)) return false;
  const std::wstring path = o.path;
  o = Originals{};
  o.path = path;
  return true;
}

bool originals_begin_run(Originals& o, platform::File& archive,
                         const std::vector<uint32_t>& entries) {
  const auto first_records = [&] {
    if (!append_record(o, kOpen, 0, 0, nullptr, 0)) return false;
    o.sealed = false;
    for (uint32_t entry : entries) {
      if (!originals_save(o, archive, entry, record_position(entry), kRecordSize)) return false;
    }
    return true;
  };
  if (!o.present) {
    if (!create_file(o, archive, first_records)) return false;
  } else {
    if (o.file_length > o.end) {
      // Records written after the torn tail would be read past it; the cut
      // must be on disk before they are.
      if (!o.file.extend_to(o.end) || !o.file.flush_to_disk()) return false;
      o.file_length = o.end;
    }
    if (!first_records() || !originals_flush(o)) return false;
  }
  // Its name, too, must be on disk before the archive changes.
  if (o.name_unflushed && !platform::flush_folder(folder_of(o.path))) return false;
  o.name_unflushed = false;
  return true;
}

bool originals_save(Originals& o, platform::File& archive, uint32_t entry, uint64_t position,
                    uint64_t size) {
  uint64_t at = position;
  const uint64_t end = std::min(position + size, o.original_length);
  std::vector<uint8_t> bytes;
  while (at < end) {
    // The next stretch that is not saved yet, a block at most.
    auto it = o.covered.upper_bound(at);
    if (it != o.covered.begin() && std::prev(it)->second > at) {
      at = std::prev(it)->second;
      continue;
    }
    const uint64_t stop =
        std::min({it == o.covered.end() ? end : std::min(end, it->first), at + kSideFileBlock});
    bytes.resize(size_t(stop - at));
    if (!read_exactly(archive, at, bytes.data(), bytes.size())) return false;
    const uint64_t saved_at = o.end + kRecordHeadSize;
    if (!append_record(o, kSave, entry, at, bytes.data(), bytes.size())) return false;
    o.saves.push_back({entry, at, stop - at, saved_at, crc_of(0, bytes.data(), bytes.size())});
    cover(o, at, stop);
    at = stop;
  }
  return true;
}

bool originals_flush(Originals& o) {
  if (!o.unflushed) return true;
  if (!o.file.flush_to_disk()) return false;
  o.unflushed = false;
  // Counted only once they are on disk, and on disk before the archive
  // bytes they save are written.
  o.records_on_disk = o.records;
  return write_header(o) && o.file.flush_to_disk();
}

bool originals_drop(Originals& o, const std::vector<uint32_t>& entries) {
  std::vector<uint8_t> body(entries.size() * 4);
  for (size_t i = 0; i < entries.size(); ++i) store_u32le(body.data() + 4 * i, entries[i]);
  // On disk before the seal: a seal found whole past a record that is not
  // tells damage from a torn tail.
  if (!append_record(o, kDrop, 0, 0, body.data(), body.size()) || !originals_flush(o)) {
    return false;
  }
  apply_drop(o, std::set<uint32_t>(entries.begin(), entries.end()));
  return true;
}

uint32_t payload_checksum(const uint8_t* data, size_t size) { return crc_of(0, data, size); }

bool originals_seal(Originals& o, platform::File& archive, const std::vector<uint32_t>& written,
                    const std::map<uint32_t, uint32_t>& known) {
  uint64_t length = 0;
  uint32_t index_crc = 0;
  if (!archive.size(&length) || !index_checksum(archive, nullptr, &index_crc)) return false;
  const std::set<uint32_t> fresh(written.begin(), written.end());
  std::map<uint32_t, uint32_t> crcs;
  for (uint32_t entry : changed_set(o)) {
    auto sealed = o.payload_crcs.find(entry);
    auto in_hand = known.find(entry);
    if (in_hand != known.end()) {
      crcs[entry] = in_hand->second;
    } else if (o.crcs_current && fresh.count(entry) == 0 && sealed != o.payload_crcs.end()) {
      crcs[entry] = sealed->second;
    } else if (!entry_payload_crc(archive, length, entry, &crcs[entry])) {
      return false;
    }
  }
  std::vector<uint8_t> body(4 + 8 * crcs.size());
  store_u32le(body.data(), index_crc);
  size_t at = 4;
  for (const auto& [entry, crc] : crcs) {
    store_u32le(body.data() + at, entry);
    store_u32le(body.data() + at + 4, crc);
    at += 8;
  }
  if (!append_record(o, kSeal, 0, length, body.data(), body.size()) || !originals_flush(o)) {
    return false;
  }
  o.sealed = o.crcs_current = true;
  o.sealed_length = length;
  o.sealed_index_crc = index_crc;
  o.payload_crcs = std::move(crcs);
  return true;
}

bool saved_intact(Originals& o, const SavedBytes& s) {
  uint32_t crc = 0;
  return crc_of_file_range(o.file, s.saved_at, s.size, &crc) && crc == s.crc;
}

bool read_saved(Originals& o, const SavedBytes& s, uint64_t offset, size_t n,
                std::vector<uint8_t>* bytes) {
  if (offset > s.size || n > s.size - offset) return false;
  bytes->resize(n);
  if (!read_exactly(o.file, s.saved_at + offset, bytes->data(), n)) return false;
  return n != s.size || crc_of(0, bytes->data(), n) == s.crc;
}

OriginalsLoad changed_entries(const std::wstring& archive_name, platform::File& archive,
                              uint32_t entry_count, std::vector<bool>* changed,
                              uint64_t* damaged_at) {
  changed->assign(entry_count, false);
  Originals o;
  const OriginalsLoad load = load_originals(archive_name, archive, &o);
  *damaged_at = o.damaged_at;
  if (load != OriginalsLoad::ok) return load;
  // A run saves the records of every entry it is about to write; one whose
  // write never came keeps its record, and is unchanged.
  std::set<uint32_t> record_only;
  for (const SavedBytes& s : o.saves) {
    if (s.entry >= entry_count) continue;
    if (s.position == record_position(s.entry) && s.size == kRecordSize) {
      if (!(*changed)[s.entry]) record_only.insert(s.entry);
    } else {
      (*changed)[s.entry] = true;
      record_only.erase(s.entry);
    }
  }
  std::vector<uint8_t> saved;
  for (const SavedBytes& s : o.saves) {
    if (record_only.count(s.entry) == 0 || s.position != record_position(s.entry)) continue;
    uint8_t now[kRecordSize];
    (*changed)[s.entry] = !read_exactly(archive, s.position, now, sizeof now) ||
                          !read_saved(o, s, 0, sizeof now, &saved) ||
                          std::memcmp(now, saved.data(), sizeof now) != 0;
  }
  return OriginalsLoad::ok;
}

}  // namespace linkdata
