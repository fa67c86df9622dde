#include "archive/safety/originals_check.h"

#include <algorithm>
#include <cstring>

#include "archive/format/format.h"
#include "archive/safety/checked_reads.h"
#include "platform/little_endian.h"

namespace linkdata {

bool index_checksum(platform::File& archive, Originals* put_back, uint32_t* crc,
                    uint32_t* entry_count) {
  uint64_t length = 0;
  if (!archive.size(&length)) return false;
  // Saves never share a byte, so in position order they end in order too.
  std::vector<const SavedBytes*> overlay;
  if (put_back) {
    for (const SavedBytes& s : put_back->saves()) overlay.push_back(&s);
    std::sort(overlay.begin(), overlay.end(),
              [](const SavedBytes* a, const SavedBytes* b) { return a->position < b->position; });
  }
  std::vector<uint8_t> saved;
  const auto read_with_saves = [&](uint64_t at, uint8_t* block, size_t n) {
    if (!read_exactly(archive, at, block, n)) return false;
    auto first = std::partition_point(overlay.begin(), overlay.end(), [at](const SavedBytes* s) {
      return s->position + s->size <= at;
    });
    for (auto it = first; it != overlay.end() && (*it)->position < at + n; ++it) {
      const SavedBytes& s = **it;
      const uint64_t from = std::max(s.position, at), to = std::min(s.position + s.size, at + n);
      if (from >= to) continue;
      if (to - from != s.size && !put_back->saved_intact(s)) return false;
      if (!put_back->read_saved(s, from - s.position, size_t(to - from), &saved)) return false;
      std::memcpy(block + (from - at), saved.data(), saved.size());
    }
    return true;
  };
  return header_and_index_crc(read_with_saves, length, IndexPastEnd::fails, crc, entry_count);
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

uint32_t payload_checksum(const uint8_t* data, size_t size) { return crc_of(0, data, size); }

bool originals_match(Originals& o, platform::File& archive) {
  uint64_t length = 0;
  uint32_t crc = 0;
  if (!archive.size(&length)) return false;
  if (const Fingerprint* seal = o.last_seal()) {
    if (length != seal->length || !index_checksum(archive, nullptr, &crc) ||
        crc != seal->index_crc) {
      return false;
    }
    for (const auto& [entry, sealed_crc] : seal->payload_crcs) {
      uint32_t now = 0;
      if (!entry_payload_crc(archive, length, entry, &now) || now != sealed_crc) return false;
    }
    return true;
  }
  uint32_t count = 0;
  const OriginalsHeader& original = o.original();
  return length >= original.original_length && index_checksum(archive, &o, &crc, &count) &&
         count == original.entry_count && crc == original.index_crc;
}

bool archive_is_original(Originals& o, platform::File& archive) {
  uint64_t length = 0;
  uint32_t crc = 0;
  return archive.size(&length) && length == o.original().original_length &&
         index_checksum(archive, nullptr, &crc) && crc == o.original().index_crc &&
         saves_read_back(archive, o.saves());
}

bool saves_read_back(platform::File& archive, const std::vector<SavedBytes>& saves) {
  for (const SavedBytes& s : saves) {
    uint32_t crc = 0;
    if (!crc_of_file_range(archive, s.position, s.size, &crc) || crc != s.crc) return false;
  }
  return true;
}

OriginalsLoad changed_entries(const std::wstring& archive_name, platform::File& archive,
                              uint32_t entry_count, std::vector<bool>* changed,
                              uint64_t* damaged_at) {
  changed->assign(entry_count, false);
  Originals o;
  const OriginalsLoad load = o.load(archive_name, archive);
  *damaged_at = o.damaged_at();
  if (load != OriginalsLoad::ok) return load;
  // A run saves the records of every entry it is about to write; one whose
  // write never came keeps its record, and is unchanged. So an entry with a
  // save of more than its record is changed, and one with its record alone
  // is changed when the record is no longer the saved one.
  const auto record_alone = [](const SavedBytes& s) {
    return s.position == record_position(s.entry) && s.size == kRecordSize;
  };
  for (const SavedBytes& s : o.saves()) {
    if (s.entry < entry_count && !record_alone(s)) (*changed)[s.entry] = true;
  }
  std::vector<uint8_t> saved;
  for (const SavedBytes& s : o.saves()) {
    if (s.entry >= entry_count || (*changed)[s.entry]) continue;
    uint8_t now[kRecordSize];
    (*changed)[s.entry] = !read_exactly(archive, s.position, now, sizeof now) ||
                          !o.read_saved(s, 0, sizeof now, &saved) ||
                          std::memcmp(now, saved.data(), sizeof now) != 0;
  }
  return OriginalsLoad::ok;
}

}  // namespace linkdata
