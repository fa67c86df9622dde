#include "archive/format/format.h"

#include <algorithm>

#include "platform/little_endian.h"
#include "platform/platform.h"

namespace linkdata {

void encode_record(const IndexRecord& r, uint8_t out[16]) {
  store_u64le(out, r.payload_offset);
  store_u32le(out + 8, r.stored_size);
  store_u32le(out + 12, r.unpacked_size);
}

IndexRecord decode_record(const uint8_t in[16]) {
  return IndexRecord{load_u64le(in), load_u32le(in + 8), load_u32le(in + 12)};
}

IndexReadStatus read_archive_header(platform::File& archive, ArchiveHeader* out) {
  uint8_t header[kArchiveHeaderSize] = {};
  size_t got = 0;
  if (!archive.read_at(0, header, sizeof header, &got)) return IndexReadStatus::read_error;
  if (load_u32le(header) != kArchiveMagic) return IndexReadStatus::bad_magic;
  out->entry_count = load_u32le(header + 4);
  out->offset_unit = load_u32le(header + 8);
  return IndexReadStatus::ok;
}

bool read_index_records(platform::File& archive, uint32_t first, uint32_t count,
                        std::vector<IndexRecord>* out) {
  out->assign(count, IndexRecord{});
  uint64_t length = 0;
  if (!archive.size(&length)) return false;
  const uint64_t start = record_position(first);
  if (count == 0 || start >= length) return true;
  const uint64_t wanted = uint64_t(count) * kRecordSize;
  std::vector<uint8_t> bytes(size_t(std::min(wanted, length - start)), 0);
  size_t got = 0;
  if (!archive.read_at(start, bytes.data(), bytes.size(), &got)) return false;
  bytes.resize(bytes.size() + kRecordSize, 0);  // a record cut by the end reads zero-padded
  for (size_t i = 0; i * kRecordSize < got; ++i) {
    (*out)[i] = decode_record(bytes.data() + i * kRecordSize);
  }
  return true;
}

}  // namespace linkdata
