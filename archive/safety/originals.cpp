#include "archive/safety/originals.h"

#include <algorithm>
#include <set>
#include <utility>

#include "archive/format/format.h"
#include "archive/safety/checked_reads.h"
#include "archive/safety/originals_check.h"
#include "platform/working_paths.h"

namespace linkdata {

std::wstring originals_path(const std::wstring& archive_name) {
  return archive_name + L"-original";
}

OriginalsLoad Originals::load(const std::wstring& archive_name, platform::File& archive) {
  *this = Originals{};
  path_ = originals_path(archive_name);
  if (!path_exists(path_)) return OriginalsLoad::none;
  file_ = platform::File::open_read(path_);
  if (!file_.is_open()) return OriginalsLoad::unreadable;
  const OriginalsLoad load = read_originals(file_, archive, &content_);
  if (load == OriginalsLoad::unreadable) return load;
  present_ = load == OriginalsLoad::ok;
  cover_saves();
  crcs_current_ = content_.sealed;
  return load;
}

void Originals::cover_saves() {
  covered_.clear();
  for (const SavedBytes& s : content_.saves) covered_.add(s.position, s.position + s.size);
}

bool Originals::open_to_write() {
  // Closed first: Windows refuses a second handle that would write beside a
  // reading one that shares no writing.
  file_.close();
  file_ = platform::File::open_read_write_existing(path_);
  return file_.is_open();
}

// Back to no file, under the same name.
void Originals::forget() {
  const std::wstring path = std::move(path_);
  *this = Originals{};
  path_ = path;
}

std::wstring Originals::set_aside() {
  file_.close();
  for (unsigned n = 1; n < 1000; ++n) {
    const std::wstring name = path_ + L"." + std::to_wstring(n);
    if (path_exists(name)) continue;
    if (!platform::rename_file(path_, name) || !platform::flush_folder(folder_of(path_))) break;
    forget();
    return name;
  }
  return L"";
}

bool Originals::remove() {
  file_.close();
  if (!platform::remove_file(path_)) return false;
  forget();
  return true;
}

bool Originals::append(RecordKind kind, uint32_t entry, uint64_t position, const uint8_t* body,
                       size_t length) {
  if (!write_record(file_, content_.end, kind, entry, position, body, length)) return false;
  content_.end += kRecordHeadSize + length;
  content_.file_length = std::max(content_.file_length, content_.end);
  unflushed_ = true;
  ++content_.records;
  return true;
}

bool Originals::first_records(platform::File& archive, const std::vector<uint32_t>& entries) {
  if (!append(RecordKind::open, 0, 0, nullptr, 0)) return false;
  content_.sealed = false;
  for (uint32_t entry : entries) {
    if (!save(archive, entry, record_position(entry), kRecordSize)) return false;
  }
  return true;
}

// A new file: its header and first records go to disk under a temporary
// name, which then takes the file's own, so that no file of originals is ever
// seen without them.
bool Originals::create_file(platform::File& archive, const std::vector<uint32_t>& entries) {
  uint64_t length = 0;
  uint32_t count = 0, crc = 0;
  if (!archive.size(&length) || !index_checksum(archive, nullptr, &crc, &count)) return false;
  const std::wstring temporary = path_ + L".new";
  file_ = platform::File::create_fresh(temporary);
  if (!file_.is_open()) return false;
  content_.header = OriginalsHeader{};
  content_.header.original_length = length;
  content_.header.entry_count = count;
  content_.header.index_crc = crc;
  content_.records = 0;
  if (!write_originals_header(file_, &content_.header, HeaderCopies::both)) return false;
  present_ = true;
  content_.end = content_.file_length = first_record_at(content_.header);
  if (!first_records(archive, entries) || !flush() || !file_.close()) return false;
  if (!platform::rename_file(temporary, path_)) return false;
  file_ = platform::File::open_read_write_existing(path_);
  name_unflushed_ = true;
  return file_.is_open();
}

bool Originals::begin_run(platform::File& archive, const std::vector<uint32_t>& entries) {
  if (!present_) {
    if (!create_file(archive, entries)) return false;
  } else {
    if (content_.file_length > content_.end) {
      // Records written after the torn tail would be read past it; the cut
      // must be on disk before they are.
      if (!file_.extend_to(content_.end) || !file_.flush_to_disk()) return false;
      content_.file_length = content_.end;
    }
    if (!first_records(archive, entries) || !flush()) return false;
  }
  // Its name, too, must be on disk before the archive changes.
  if (name_unflushed_ && !platform::flush_folder(folder_of(path_))) return false;
  name_unflushed_ = false;
  return true;
}

bool Originals::save(platform::File& archive, uint32_t entry, uint64_t position, uint64_t size) {
  const uint64_t end = std::min(position + size, content_.header.original_length);
  std::vector<uint8_t> bytes;
  uint64_t from = 0, to = 0;
  for (uint64_t at = position; covered_.next_unsaved(at, end, kSideFileBlock, &from, &to);
       at = to) {
    bytes.resize(size_t(to - from));
    if (!read_exactly(archive, from, bytes.data(), bytes.size())) return false;
    const uint64_t saved_at = content_.end + kRecordHeadSize;
    if (!append(RecordKind::save, entry, from, bytes.data(), bytes.size())) return false;
    content_.saves.push_back(
        {entry, from, to - from, saved_at, crc_of(0, bytes.data(), bytes.size())});
    covered_.add(from, to);
  }
  return true;
}

bool Originals::flush() {
  if (!unflushed_) return true;
  // The next batch then begins in a sector of its own.
  uint64_t pad = 0;
  if (pad_needed(content_.header, content_.end, &pad)) {
    const std::vector<uint8_t> zeros(size_t(pad), 0);
    if (!append(RecordKind::pad, 0, 0, zeros.data(), zeros.size())) return false;
  }
  if (!file_.flush_to_disk()) return false;
  unflushed_ = false;
  // Counted only once they are on disk, and on disk before the archive
  // bytes they save are written.
  content_.header.records_on_disk = content_.records;
  return write_originals_header(file_, &content_.header, HeaderCopies::next) &&
         file_.flush_to_disk();
}

bool Originals::drop(const std::vector<uint32_t>& entries) {
  const std::vector<uint8_t> body = drop_body(entries);
  // On disk before the seal: a seal found whole past a record that is not
  // tells damage from a torn tail.
  if (!append(RecordKind::drop, 0, 0, body.data(), body.size()) || !flush()) return false;
  drop_entries(std::set<uint32_t>(entries.begin(), entries.end()), &content_.saves, &content_.seal);
  cover_saves();
  return true;
}

bool Originals::seal(platform::File& archive, const std::vector<uint32_t>& written,
                     const std::map<uint32_t, uint32_t>& known) {
  Fingerprint now;
  if (!archive.size(&now.length) || !index_checksum(archive, nullptr, &now.index_crc)) {
    return false;
  }
  const std::set<uint32_t> fresh(written.begin(), written.end());
  std::set<uint32_t> changed;
  for (const SavedBytes& s : content_.saves) changed.insert(s.entry);
  const std::map<uint32_t, uint32_t>& sealed = content_.seal.payload_crcs;
  for (uint32_t entry : changed) {
    auto before = sealed.find(entry);
    auto in_hand = known.find(entry);
    if (in_hand != known.end()) {
      now.payload_crcs[entry] = in_hand->second;
    } else if (crcs_current_ && fresh.count(entry) == 0 && before != sealed.end()) {
      now.payload_crcs[entry] = before->second;
    } else if (!entry_payload_crc(archive, now.length, entry, &now.payload_crcs[entry])) {
      return false;
    }
  }
  const std::vector<uint8_t> body = seal_body(now);
  if (!append(RecordKind::seal, 0, now.length, body.data(), body.size()) || !flush()) {
    return false;
  }
  content_.sealed = crcs_current_ = true;
  content_.seal = std::move(now);
  return true;
}

bool Originals::saved_intact(const SavedBytes& s) {
  uint32_t crc = 0;
  return crc_of_file_range(file_, s.saved_at, s.size, &crc) && crc == s.crc;
}

bool Originals::read_saved(const SavedBytes& s, uint64_t offset, size_t n,
                           std::vector<uint8_t>* bytes) {
  if (offset > s.size || n > s.size - offset) return false;
  bytes->resize(n);
  if (!read_exactly(file_, s.saved_at + offset, bytes->data(), n)) return false;
  return n != s.size || crc_of(0, bytes->data(), n) == s.crc;
}

}  // namespace linkdata
