#include "archive/safety/originals_records.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

#include "archive/safety/checked_reads.h"
#include "platform/little_endian.h"

namespace linkdata {
namespace {

constexpr char kOriginalsMagic[8] = {'L', 'D', 'O', 'R', 'I', 'G', '0', '2'};
constexpr char kOneHeaderMagic[8] = {'L', 'D', 'O', 'R', 'I', 'G', '0', '1'};
constexpr uint64_t kCopyAt[2] = {0, kOriginalsSector};
constexpr uint32_t kFirstKind = uint32_t(RecordKind::save);
constexpr uint32_t kLastKind = uint32_t(RecordKind::pad);

struct Head {
  RecordKind kind = RecordKind::save;
  uint32_t entry = 0;
  uint64_t position = 0, length = 0;
  uint32_t body_crc = 0;
};

bool decode_head(const uint8_t* b, Head* h) {
  if (load_u32le(b + 28) != crc_of(0, b, 28)) return false;
  const uint32_t kind = load_u32le(b);
  h->kind = RecordKind(kind);
  h->entry = load_u32le(b + 4);
  h->position = load_u64le(b + 8);
  h->length = load_u64le(b + 16);
  h->body_crc = load_u32le(b + 24);
  return kind >= kFirstKind && kind <= kLastKind;
}

// The u32 fields of [at, at + n) of a file, block by block.
bool for_each_u32(platform::File& file, uint64_t at, uint64_t n,
                  const std::function<void(uint32_t)>& take) {
  return for_each_block(file, at, n, [&take](const uint8_t* p, size_t k) {
    for (size_t i = 0; i + 4 <= k; i += 4) take(load_u32le(p + i));
  });
}

bool read_seal(platform::File& file, uint64_t body_at, const Head& h, Fingerprint* seal) {
  if (h.length < 4 || h.length % 8 != 4) return false;
  uint8_t index_crc[4];
  if (!read_exactly(file, body_at, index_crc, 4)) return false;
  std::map<uint32_t, uint32_t> crcs;
  uint32_t entry = 0;
  bool second = false;
  // The body reads in blocks of a multiple of 8: pairs never straddle two.
  if (!for_each_u32(file, body_at + 4, h.length - 4, [&](uint32_t v) {
        if (second) crcs[entry] = v;
        entry = v;
        second = !second;
      })) {
    return false;
  }
  seal->length = h.position;
  seal->index_crc = load_u32le(index_crc);
  seal->payload_crcs = std::move(crcs);
  return true;
}

// Takes the record at `at` in, every byte of it checked; false when it is not
// whole.
bool read_record(platform::File& file, uint64_t at, OriginalsContent* o) {
  uint8_t bytes[kRecordHeadSize];
  Head h;
  if (o->file_length - at < kRecordHeadSize || !read_exactly(file, at, bytes, sizeof bytes) ||
      !decode_head(bytes, &h)) {
    return false;
  }
  const uint64_t body_at = at + kRecordHeadSize;
  if (h.length > o->file_length - body_at) return false;
  uint32_t crc = 0;
  if (!crc_of_file_range(file, body_at, h.length, &crc) || crc != h.body_crc) return false;
  switch (h.kind) {
    case RecordKind::save:
      o->saves.push_back({h.entry, h.position, h.length, body_at, h.body_crc});
      break;
    case RecordKind::open:
      o->sealed = false;
      break;
    case RecordKind::pad:
      break;
    case RecordKind::seal:
      if (!read_seal(file, body_at, h, &o->seal)) return false;
      o->sealed = true;
      break;
    case RecordKind::drop: {
      std::set<uint32_t> dropped;
      if (!for_each_u32(file, body_at, h.length, [&](uint32_t e) { dropped.insert(e); })) {
        return false;
      }
      drop_entries(dropped, &o->saves, &o->seal);
      break;
    }
  }
  o->end = body_at + h.length;
  return true;
}

// Whether the records from `at` on, which fail their checks, can only be the
// torn tail of a run that a crash cut short. Such a run wrote nothing of the
// archive that they save, and began no later run: every whole record head
// found from `at` on must be a save whose archive bytes are still the saved
// ones. An open, seal or drop past `at` (each goes to disk alone, or first in
// its flush), or a save whose bytes the archive no longer holds, was written
// after `at` had reached the disk.
bool torn_tail(platform::File& file, uint64_t file_length, platform::File& archive, uint64_t at) {
  constexpr size_t kOverlap = kRecordHeadSize - 1;
  std::vector<uint8_t> block;
  for (uint64_t base = at; base + kRecordHeadSize <= file_length;) {
    const size_t n = size_t(std::min<uint64_t>(file_length - base, kSideFileBlock + kOverlap));
    block.resize(n);
    if (!read_exactly(file, base, block.data(), n)) return false;
    for (size_t i = 0; i + kRecordHeadSize <= n; ++i) {
      // A kind is 1 to 4: a cheap test before the checksum.
      if (block[i] < kFirstKind || block[i] > kLastKind || block[i + 1] || block[i + 2] ||
          block[i + 3]) {
        continue;
      }
      Head h;
      if (!decode_head(block.data() + i, &h)) continue;
      // A batch's pad is written before its flush, like its saves.
      if (h.kind == RecordKind::pad) continue;
      if (h.kind != RecordKind::save) {
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

}  // namespace

namespace {

// One copy of the header, whole: its magic and checksum.
enum class CopyRead { whole, one_header_layout, not_whole, unreadable };

CopyRead read_copy(platform::File& file, uint64_t at, OriginalsHeader* h) {
  uint8_t header[kOriginalsHeaderSize] = {};
  size_t got = 0;
  if (!file.read_at(at, header, sizeof header, &got)) return CopyRead::unreadable;
  if (got != sizeof header || load_u32le(header + 28) != crc_of(0, header, 28)) {
    return CopyRead::not_whole;
  }
  const bool two = std::memcmp(header, kOriginalsMagic, sizeof kOriginalsMagic) == 0;
  if (!two && std::memcmp(header, kOneHeaderMagic, sizeof kOneHeaderMagic) != 0) {
    return CopyRead::not_whole;
  }
  h->original_length = load_u64le(header + 8);
  h->entry_count = load_u32le(header + 16);
  h->index_crc = load_u32le(header + 20);
  h->records_on_disk = load_u32le(header + 24);
  h->two_copies = two;
  return two ? CopyRead::whole : CopyRead::one_header_layout;
}

// The header as its copies give it. Of two whole ones the higher count
// holds; one copy that is not whole is the crash's torn write of a count,
// which `torn_copy` names for the check of the records, or damage.
CopyRead read_header(platform::File& file, OriginalsHeader* h, int* torn_copy) {
  *torn_copy = -1;
  const CopyRead first = read_copy(file, kCopyAt[0], h);
  if (first == CopyRead::unreadable || first == CopyRead::one_header_layout) return first;
  OriginalsHeader second_header;
  const CopyRead second = read_copy(file, kCopyAt[1], &second_header);
  if (second == CopyRead::unreadable) return second;
  const bool first_whole = first == CopyRead::whole;
  const bool second_whole = second == CopyRead::whole;
  if (!first_whole && !second_whole) return CopyRead::not_whole;
  if (!first_whole || (second_whole && second_header.records_on_disk > h->records_on_disk)) {
    if (!first_whole) *torn_copy = 0;
    *h = second_header;
    h->next_copy = 0;
  } else {
    if (!second_whole) *torn_copy = 1;
    h->next_copy = 1;
  }
  return CopyRead::whole;
}

}  // namespace

uint64_t first_record_at(const OriginalsHeader& header) {
  return header.two_copies ? 2 * kOriginalsSector : kOriginalsHeaderSize;
}

OriginalsLoad read_originals(platform::File& file, platform::File& archive, OriginalsContent* o) {
  *o = OriginalsContent{};
  if (!file.size(&o->file_length)) return OriginalsLoad::unreadable;
  int torn_copy = -1;
  // Created whole under another name: a header that does not read back is
  // damage, even in an empty file.
  switch (read_header(file, &o->header, &torn_copy)) {
    case CopyRead::unreadable:
      return OriginalsLoad::unreadable;
    case CopyRead::not_whole:
      o->damaged_at = 0;
      return OriginalsLoad::damaged;
    case CopyRead::whole:
    case CopyRead::one_header_layout:
      break;
  }
  o->end = first_record_at(o->header);
  while (o->end < o->file_length && read_record(file, o->end, o)) ++o->records;
  // The counted records were on disk before the count was, and the archive
  // is written only after it: a file that fails or ends before them, even
  // between two records, is damaged. A copy of the header torn by a crash
  // was being given a higher count, for records that reached the disk first.
  if (o->records < o->header.records_on_disk ||
      (torn_copy >= 0 && o->records == o->header.records_on_disk) ||
      (o->end < o->file_length && !torn_tail(file, o->file_length, archive, o->end))) {
    o->damaged_at =
        torn_copy >= 0 && o->records == o->header.records_on_disk ? kCopyAt[torn_copy] : o->end;
    return OriginalsLoad::damaged;
  }
  return OriginalsLoad::ok;
}

bool write_originals_header(platform::File& file, OriginalsHeader* h, HeaderCopies copies) {
  uint8_t header[kOriginalsHeaderSize] = {};
  std::memcpy(header, h->two_copies ? kOriginalsMagic : kOneHeaderMagic, sizeof kOriginalsMagic);
  store_u64le(header + 8, h->original_length);
  store_u32le(header + 16, h->entry_count);
  store_u32le(header + 20, h->index_crc);
  store_u32le(header + 24, h->records_on_disk);
  store_u32le(header + 28, crc_of(0, header, 28));
  if (!h->two_copies) return file.write_at(0, header, sizeof header);
  if (copies == HeaderCopies::both) {
    h->next_copy = 0;
    return file.write_at(kCopyAt[0], header, sizeof header) &&
           file.write_at(kCopyAt[1], header, sizeof header);
  }
  if (!file.write_at(kCopyAt[h->next_copy], header, sizeof header)) return false;
  h->next_copy = 1 - h->next_copy;
  return true;
}

bool pad_needed(const OriginalsHeader& header, uint64_t end, uint64_t* body_length) {
  if (!header.two_copies || end % kOriginalsSector == 0) return false;
  const uint64_t past_head = (end + kRecordHeadSize) % kOriginalsSector;
  *body_length = past_head == 0 ? 0 : kOriginalsSector - past_head;
  return true;
}

bool write_record(platform::File& file, uint64_t at, RecordKind kind, uint32_t entry,
                  uint64_t position, const uint8_t* body, size_t length) {
  uint8_t head[kRecordHeadSize];
  store_u32le(head, uint32_t(kind));
  store_u32le(head + 4, entry);
  store_u64le(head + 8, position);
  store_u64le(head + 16, length);
  store_u32le(head + 24, crc_of(0, body, length));
  store_u32le(head + 28, crc_of(0, head, 28));
  if (!file.write_at(at, head, sizeof head)) return false;
  return length == 0 || file.write_at(at + kRecordHeadSize, body, length);
}

std::vector<uint8_t> seal_body(const Fingerprint& seal) {
  std::vector<uint8_t> body(4 + 8 * seal.payload_crcs.size());
  store_u32le(body.data(), seal.index_crc);
  size_t at = 4;
  for (const auto& [entry, crc] : seal.payload_crcs) {
    store_u32le(body.data() + at, entry);
    store_u32le(body.data() + at + 4, crc);
    at += 8;
  }
  return body;
}

std::vector<uint8_t> drop_body(const std::vector<uint32_t>& entries) {
  std::vector<uint8_t> body(entries.size() * 4);
  for (size_t i = 0; i < entries.size(); ++i) store_u32le(body.data() + 4 * i, entries[i]);
  return body;
}

void drop_entries(const std::set<uint32_t>& dropped, std::vector<SavedBytes>* saves,
                  Fingerprint* seal) {
  saves->erase(std::remove_if(saves->begin(), saves->end(),
                              [&](const SavedBytes& s) { return dropped.count(s.entry) != 0; }),
               saves->end());
  for (uint32_t e : dropped) seal->payload_crcs.erase(e);
}

}  // namespace linkdata
