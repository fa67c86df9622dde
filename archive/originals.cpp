#include "archive/originals.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "archive/format.h"
#include "archive/side_files.h"
#include "platform/little_endian.h"
#include "platform/working_paths.h"

namespace linkdata {
namespace {

constexpr char kOriginalsMagic[8] = {'L', 'D', 'O', 'R', 'I', 'G', '0', '1'};
constexpr size_t kOriginalsHeaderSize = 32;
constexpr size_t kRecordHeadSize = 32;

enum Kind : uint32_t { kSave = 1, kOpen = 2, kSeal = 3, kDrop = 4 };

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

// Takes one record in; false at the first that is not whole. The saved bytes
// are checked only where `check_saves`: a save followed by a whole seal was
// forced to disk before that seal was written.
bool read_record(Originals& o, uint64_t at, bool check_saves, uint64_t* next,
                 uint32_t* kind_read = nullptr) {
  uint8_t head[kRecordHeadSize];
  if (o.file_length - at < kRecordHeadSize || !read_exactly(o.file, at, head, sizeof head)) {
    return false;
  }
  if (load_u32le(head + 28) != crc_of(0, head, 28)) return false;
  const uint32_t kind = load_u32le(head), entry = load_u32le(head + 4);
  const uint64_t position = load_u64le(head + 8), length = load_u64le(head + 16);
  const uint64_t body_at = at + kRecordHeadSize;
  if (length > o.file_length - body_at) return false;
  std::vector<uint8_t> body;
  uint32_t crc = 0;
  if (kind == kSave && !check_saves) {
    crc = load_u32le(head + 24);
  } else if (kind == kSave) {
    std::vector<uint8_t> block(size_t(std::min<uint64_t>(length, kSideFileBlock)));
    for (uint64_t done = 0; done < length;) {
      const size_t piece = size_t(std::min<uint64_t>(length - done, kSideFileBlock));
      if (!read_exactly(o.file, body_at + done, block.data(), piece)) return false;
      crc = crc_of(crc, block.data(), piece);
      done += piece;
    }
  } else {
    if (length > (uint64_t(1) << 32)) return false;
    body.resize(size_t(length));
    if (!read_exactly(o.file, body_at, body.data(), body.size())) return false;
    crc = crc_of(0, body.data(), body.size());
  }
  if (crc != load_u32le(head + 24)) return false;
  switch (kind) {
    case kSave:
      o.saves.push_back({entry, position, length, body_at});
      cover(o, position, position + length);
      break;
    case kOpen:
      o.sealed = false;
      break;
    case kSeal:
      if (body.size() < 4 || body.size() % 8 != 4) return false;
      o.sealed = true;
      o.sealed_length = position;
      o.sealed_index_crc = load_u32le(body.data());
      o.payload_crcs.clear();
      for (size_t i = 4; i < body.size(); i += 8) {
        o.payload_crcs[load_u32le(body.data() + i)] = load_u32le(body.data() + i + 4);
      }
      break;
    case kDrop: {
      std::set<uint32_t> dropped;
      for (size_t i = 0; i + 4 <= body.size(); i += 4) dropped.insert(load_u32le(body.data() + i));
      apply_drop(o, dropped);
      break;
    }
    default:
      return false;
  }
  *next = body_at + length;
  if (kind_read) *kind_read = kind;
  return true;
}

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
  return true;
}

// The archive's header and index, as one block.
bool read_index_block(platform::File& archive, uint64_t length, std::vector<uint8_t>* out) {
  uint8_t header[kArchiveHeaderSize];
  if (length < kArchiveHeaderSize || !read_exactly(archive, 0, header, sizeof header)) return false;
  const uint64_t end = record_position(load_u32le(header + 4));
  if (end > length) return false;
  out->resize(size_t(end));
  return read_exactly(archive, 0, out->data(), out->size());
}

uint32_t payload_crc(platform::File& archive, uint64_t length, const uint8_t* record_bytes) {
  const IndexRecord r = decode_record(record_bytes);
  const uint64_t position = byte_position(r, kWriteUnit);
  if (position >= length) return 0;
  const uint64_t size = std::min<uint64_t>(r.stored_size, length - position);
  std::vector<uint8_t> block(size_t(std::min<uint64_t>(size, kSideFileBlock)));
  uint32_t crc = 0;
  for (uint64_t done = 0; done < size;) {
    const size_t piece = size_t(std::min<uint64_t>(size - done, kSideFileBlock));
    if (!read_exactly(archive, position + done, block.data(), piece)) return ~crc;
    crc = crc_of(crc, block.data(), piece);
    done += piece;
  }
  return crc;
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

OriginalsLoad load_originals(const std::wstring& archive_name, bool for_writing, Originals* o) {
  o->path = originals_path(archive_name);
  if (!path_exists(o->path)) return OriginalsLoad::none;
  o->file = for_writing ? platform::File::open_read_write_existing(o->path)
                        : platform::File::open_read(o->path);
  if (!o->file.is_open() || !o->file.size(&o->file_length)) return OriginalsLoad::unreadable;
  uint8_t header[kOriginalsHeaderSize] = {};
  size_t got = 0;
  if (!o->file.read_at(0, header, sizeof header, &got)) return OriginalsLoad::unreadable;
  // The header is written and forced to disk before anything else: a file
  // without it is what a crash left of its creation, before any archive write.
  if (std::all_of(header, header + sizeof header, [](uint8_t b) { return b == 0; })) {
    // Closed, so that the run can create the file anew: Windows refuses to
    // replace a file that a handle of this process still holds.
    o->file = platform::File();
    return OriginalsLoad::none;
  }
  if (std::memcmp(header, kOriginalsMagic, sizeof kOriginalsMagic) != 0 ||
      load_u32le(header + 28) != crc_of(0, header, 28)) {
    return OriginalsLoad::unreadable;
  }
  // Two passes: the first finds the last seal, the second checks the saved
  // bytes after it, and reads the file up to its first record that is not
  // whole.
  uint64_t after_last_seal = kOriginalsHeaderSize;
  uint32_t kind = 0;
  for (uint64_t at = kOriginalsHeaderSize; read_record(*o, at, false, &at, &kind);) {
    if (kind == kSeal) after_last_seal = at;
  }
  const std::wstring path = o->path;
  platform::File file = std::move(o->file);
  const uint64_t file_length = o->file_length;
  *o = Originals{};
  o->path = path;
  o->file = std::move(file);
  o->file_length = file_length;
  o->present = true;
  o->original_length = load_u64le(header + 8);
  o->entry_count = load_u32le(header + 16);
  o->original_index_crc = load_u32le(header + 20);
  uint64_t at = kOriginalsHeaderSize;
  while (read_record(*o, at, at >= after_last_seal, &at)) {
  }
  o->end = at;
  o->crcs_current = o->sealed;
  return OriginalsLoad::ok;
}

bool originals_match(Originals& o, platform::File& archive, bool payloads) {
  uint64_t length = 0;
  std::vector<uint8_t> index;
  if (!archive.size(&length) || !read_index_block(archive, length, &index)) return false;
  if (o.sealed) {
    if (length != o.sealed_length || crc_of(0, index.data(), index.size()) != o.sealed_index_crc) {
      return false;
    }
    if (!payloads) return true;
    for (const auto& [entry, crc] : o.payload_crcs) {
      if (record_position(entry) + kRecordSize > index.size()) return false;
      if (payload_crc(archive, length, index.data() + record_position(entry)) != crc) return false;
    }
    return true;
  }
  if (length < o.original_length || index.size() != record_position(o.entry_count)) return false;
  std::vector<uint8_t> saved;
  for (const SavedBytes& s : o.saves) {
    if (s.position >= index.size()) continue;
    if (!read_saved(o, s, &saved)) return false;
    const size_t n = size_t(std::min<uint64_t>(s.size, index.size() - s.position));
    std::copy(saved.begin(), saved.begin() + long(n), index.begin() + long(s.position));
  }
  return crc_of(0, index.data(), index.size()) == o.original_index_crc;
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

bool originals_begin_run(Originals& o, platform::File& archive,
                         const std::vector<uint32_t>& entries) {
  if (!o.present) {
    uint64_t length = 0;
    std::vector<uint8_t> index;
    if (!archive.size(&length) || !read_index_block(archive, length, &index)) return false;
    o.file = platform::File::create_always(o.path);
    if (!o.file.is_open()) return false;
    uint8_t header[kOriginalsHeaderSize] = {};
    std::memcpy(header, kOriginalsMagic, sizeof kOriginalsMagic);
    store_u64le(header + 8, length);
    store_u32le(header + 16, uint32_t((index.size() - kArchiveHeaderSize) / kRecordSize));
    store_u32le(header + 20, crc_of(0, index.data(), index.size()));
    store_u32le(header + 28, crc_of(0, header, 28));
    // Forced to disk with the first records: a crash before that leaves a
    // file without a header, or none, and the archive not yet written.
    if (!o.file.write_at(0, header, sizeof header)) return false;
    o.present = true;
    o.name_unflushed = true;
    o.original_length = length;
    o.entry_count = load_u32le(header + 16);
    o.original_index_crc = load_u32le(header + 20);
    o.end = o.file_length = kOriginalsHeaderSize;
  } else if (o.file_length > o.end) {
    // Records written after the tail would be read past it; the cut must be
    // on disk before they are.
    if (!o.file.extend_to(o.end) || !o.file.flush_to_disk()) return false;
    o.file_length = o.end;
  }
  if (!append_record(o, kOpen, 0, 0, nullptr, 0)) return false;
  o.sealed = false;
  for (uint32_t entry : entries) {
    if (!originals_save(o, archive, entry, record_position(entry), kRecordSize)) return false;
  }
  if (!originals_flush(o)) return false;
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
    // The next stretch that is not saved yet.
    auto it = o.covered.upper_bound(at);
    if (it != o.covered.begin() && std::prev(it)->second > at) {
      at = std::prev(it)->second;
      continue;
    }
    const uint64_t stop = it == o.covered.end() ? end : std::min(end, it->first);
    bytes.resize(size_t(stop - at));
    if (!read_exactly(archive, at, bytes.data(), bytes.size())) return false;
    const uint64_t saved_at = o.end + kRecordHeadSize;
    if (!append_record(o, kSave, entry, at, bytes.data(), bytes.size())) return false;
    o.saves.push_back({entry, at, stop - at, saved_at});
    cover(o, at, stop);
    at = stop;
  }
  return true;
}

bool originals_flush(Originals& o) {
  if (!o.unflushed) return true;
  if (!o.file.flush_to_disk()) return false;
  o.unflushed = false;
  return true;
}

bool originals_drop(Originals& o, const std::vector<uint32_t>& entries) {
  std::vector<uint8_t> body(entries.size() * 4);
  for (size_t i = 0; i < entries.size(); ++i) store_u32le(body.data() + 4 * i, entries[i]);
  if (!append_record(o, kDrop, 0, 0, body.data(), body.size())) return false;
  apply_drop(o, std::set<uint32_t>(entries.begin(), entries.end()));
  return true;
}

uint32_t payload_checksum(const uint8_t* data, size_t size) { return crc_of(0, data, size); }

bool originals_seal(Originals& o, platform::File& archive, const std::vector<uint32_t>& written,
                    const std::map<uint32_t, uint32_t>& known) {
  uint64_t length = 0;
  std::vector<uint8_t> index;
  if (!archive.size(&length) || !read_index_block(archive, length, &index)) return false;
  const std::set<uint32_t> fresh(written.begin(), written.end());
  std::map<uint32_t, uint32_t> crcs;
  for (uint32_t entry : changed_set(o)) {
    auto sealed = o.payload_crcs.find(entry);
    auto in_hand = known.find(entry);
    if (in_hand != known.end()) {
      crcs[entry] = in_hand->second;
    } else if (o.crcs_current && fresh.count(entry) == 0 && sealed != o.payload_crcs.end()) {
      crcs[entry] = sealed->second;
    } else if (record_position(entry) + kRecordSize <= index.size()) {
      crcs[entry] = payload_crc(archive, length, index.data() + record_position(entry));
    }
  }
  std::vector<uint8_t> body(4 + 8 * crcs.size());
  store_u32le(body.data(), crc_of(0, index.data(), index.size()));
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
  o.sealed_index_crc = load_u32le(body.data());
  o.payload_crcs = std::move(crcs);
  return true;
}

bool read_saved(Originals& o, const SavedBytes& s, std::vector<uint8_t>* bytes) {
  bytes->resize(size_t(s.size));
  return read_exactly(o.file, s.saved_at, bytes->data(), bytes->size());
}

bool changed_entries(const std::wstring& archive_name, uint32_t entry_count,
                     std::vector<bool>* changed) {
  changed->assign(entry_count, false);
  Originals o;
  switch (load_originals(archive_name, false, &o)) {
    case OriginalsLoad::none:
      return true;
    case OriginalsLoad::unreadable:
      return false;
    case OriginalsLoad::ok:
      break;
  }
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
  platform::File archive =
      platform::File::open_lockable(archive_name, false);  // shares the run's own handle
  std::vector<uint8_t> saved;
  for (const SavedBytes& s : o.saves) {
    if (record_only.count(s.entry) == 0 || s.position != record_position(s.entry)) continue;
    uint8_t now[kRecordSize];
    (*changed)[s.entry] =
        !archive.is_open() || !read_exactly(archive, s.position, now, sizeof now) ||
        !read_saved(o, s, &saved) || std::memcmp(now, saved.data(), sizeof now) != 0;
  }
  return true;
}

}  // namespace linkdata
