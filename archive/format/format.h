// On-disk layout of a LINKDATA archive: a 16-byte header, an index of 16-byte
// records from offset 16, and the payload area the records point into.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace linkdata {

namespace platform {
class File;
}

constexpr uint32_t kArchiveMagic = 0x11E54;
constexpr uint64_t kArchiveHeaderSize = 16;
constexpr uint64_t kRecordSize = 16;
constexpr uint32_t kWriteUnit = 2048;  // slot granularity and append alignment
// Index records are read this many at a time, so that memory does not follow
// an entry count that may claim billions.
constexpr uint32_t kRecordBatch = 4096;

struct IndexRecord {
  uint64_t payload_offset = 0;  // in offset units
  uint32_t stored_size = 0;
  uint32_t unpacked_size = 0;  // 0: stored plain; otherwise compressed
};

struct ArchiveHeader {
  uint32_t entry_count = 0;
  uint32_t offset_unit = 0;
};

enum class IndexReadStatus { ok, read_error, bad_magic };

// Reads the 16-byte header of an archive opened for reading. Bytes missing at
// the end of the file read as zeros.
IndexReadStatus read_archive_header(platform::File& archive, ArchiveHeader* out);

// Reads records first .. first+count-1. Records that the entry count claims but
// that lie past the end of the file read as zeros, so a bogus count costs
// neither memory nor time; callers read the index in bounded batches.
bool read_index_records(platform::File& archive, uint32_t first, uint32_t count,
                        std::vector<IndexRecord>* out);

inline uint64_t record_position(uint32_t n) {
  return kArchiveHeaderSize + kRecordSize * uint64_t(n);
}

inline uint64_t round_up_to_write_unit(uint64_t n) {
  return (n + kWriteUnit - 1) / kWriteUnit * kWriteUnit;
}

// Room an entry owns: its stored size rounded up to the write unit.
inline uint64_t slot_size(uint32_t stored_size) { return round_up_to_write_unit(stored_size); }

inline uint64_t byte_position(const IndexRecord& r, uint32_t offset_unit) {
  return r.payload_offset * offset_unit;  // wraps like the 64-bit product it is
}

void encode_record(const IndexRecord& r, uint8_t out[16]);
IndexRecord decode_record(const uint8_t in[16]);

}  // namespace linkdata
