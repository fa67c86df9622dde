#include "archive/safety/checked_reads.h"

#include <algorithm>
#include <vector>

#include "archive/format/format.h"
#include "platform/crc32.h"
#include "platform/little_endian.h"

namespace linkdata {

uint32_t crc_of(uint32_t crc, const uint8_t* data, size_t n) { return crc32_of(crc, data, n); }

bool read_exactly(platform::File& file, uint64_t pos, uint8_t* buf, size_t n) {
  size_t got = 0;
  return file.read_at(pos, buf, n, &got) && got == n;
}

bool for_each_block(platform::File& file, uint64_t at, uint64_t n,
                    const std::function<void(const uint8_t*, size_t)>& take) {
  std::vector<uint8_t> block(size_t(std::min<uint64_t>(n, kSideFileBlock)));
  for (uint64_t done = 0; done < n;) {
    const size_t piece = size_t(std::min<uint64_t>(n - done, kSideFileBlock));
    if (!read_exactly(file, at + done, block.data(), piece)) return false;
    take(block.data(), piece);
    done += piece;
  }
  return true;
}

bool crc_of_file_range(platform::File& file, uint64_t at, uint64_t n, uint32_t* crc) {
  return for_each_block(file, at, n,
                        [crc](const uint8_t* p, size_t k) { *crc = crc_of(*crc, p, k); });
}

bool header_and_index_crc(const ReadAt& read, uint64_t length, IndexPastEnd past_end, uint32_t* crc,
                          uint32_t* entry_count) {
  uint8_t header[kArchiveHeaderSize] = {};
  if (length < sizeof header && past_end == IndexPastEnd::fails) return false;
  const size_t header_size = size_t(std::min<uint64_t>(length, sizeof header));
  if (!read(0, header, header_size)) return false;
  const uint32_t count = load_u32le(header + 4);
  uint64_t end = record_position(count);
  if (end > length) {
    if (past_end == IndexPastEnd::fails) return false;
    end = length;
  }
  if (entry_count) *entry_count = count;
  uint32_t out = crc_of(0, header, header_size);
  std::vector<uint8_t> block;
  for (uint64_t at = header_size; at < end;) {
    const size_t n = size_t(std::min<uint64_t>(end - at, kSideFileBlock));
    block.resize(n);
    if (!read(at, block.data(), n)) return false;
    out = crc_of(out, block.data(), n);
    at += n;
  }
  *crc = out;
  return true;
}

}  // namespace linkdata
