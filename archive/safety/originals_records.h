// The layout of a file of originals, and its records read and written.
//
// Layout, all little-endian: a 32-byte header
//   "LDORIG02"  original archive length (u64)  entry count then (u32)
//   crc32 of the archive's header and index then (u32)
//   records on disk (u32: how many records the file holds, all whole)
//   crc32 of the 28 bytes before (u32)
// kept twice, at 0 and at 512, each alone in its sector; records begin at
// 1024. A power cut may leave a sector being written as garbage, bytes it
// did not change included: so the header's count goes to the copy that
// holds the lower count, never over the one that is on disk, and every
// flushed batch of records ends with a pad to a 512-byte boundary, so that
// the next batch never shares a sector with records already on disk.
// Records, each a 32-byte head and a body:
//   kind (u32)  entry (u32)  position (u64)  body length (u64)
//   crc32 of the body (u32)  crc32 of the 28 bytes before (u32)
// Kinds:
//   save  the original bytes at `position`, overwritten for `entry`; at most
//         kSideFileBlock of them per record
//   open  a run that writes the archive has begun
//   seal  that run has ended: `position` is the archive's length, the body the
//         crc32 of its header and index (u32), then for every changed entry
//         its number and the crc32 of its payload (u32 each): the archive as
//         this tool left it
//   drop  the body's entries (u32 each) were put back by a restore; their
//         saves no longer count
//   pad   zeros up to the end of a sector, the last record of a batch
// Every counted record must read back whole. Only records past the count may
// fail their checks, as a crash's torn tail (nothing of the archive rests on
// them), and only when nothing else shows they reached the disk. Anything
// else that does not read back is damage. Files of the earlier layout
// ("LDORIG01": one header, records from 32, no pads) are read and added to
// as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "platform/platform.h"

namespace linkdata {

constexpr size_t kOriginalsHeaderSize = 32;
constexpr uint64_t kOriginalsSector = 512;
constexpr size_t kRecordHeadSize = 32;

enum class RecordKind : uint32_t { save = 1, open = 2, seal = 3, drop = 4, pad = 5 };

enum class OriginalsLoad { none, ok, damaged, unreadable };

// Original bytes of the archive, saved in the file of originals.
struct SavedBytes {
  uint32_t entry = 0;
  uint64_t position = 0;  // in the archive
  uint64_t size = 0;
  uint64_t saved_at = 0;  // in the file of originals
  uint32_t crc = 0;       // of the saved bytes
};

// The archive before its first import, as the header keeps it.
struct OriginalsHeader {
  uint64_t original_length = 0;
  uint32_t entry_count = 0;
  uint32_t index_crc = 0;
  uint32_t records_on_disk = 0;
  bool two_copies = true;  // today's layout; false for "LDORIG01"
  int next_copy = 0;       // the copy the next count goes to
};

// Where the records of a file begin.
uint64_t first_record_at(const OriginalsHeader& header);

// The archive as a run of this tool left it: what a seal record keeps.
struct Fingerprint {
  uint64_t length = 0;
  uint32_t index_crc = 0;
  std::map<uint32_t, uint32_t> payload_crcs;  // of the changed entries
};

// What a file of originals holds, every byte of it checked.
struct OriginalsContent {
  OriginalsHeader header;
  uint32_t records = 0;           // whole records
  std::vector<SavedBytes> saves;  // those that count, in file order
  bool sealed = false;            // the last run ended with a seal
  Fingerprint seal;               // the last seal's, even past an open
  uint64_t end = 0;               // after the last whole record
  uint64_t file_length = 0;       // past `end`: a torn tail
  uint64_t damaged_at = 0;  // for OriginalsLoad::damaged: the first byte that does not read back
};

// Reads and checks every byte of an open file of originals: unreadable when
// it cannot be read, damaged when a byte of it does not read back. `archive`
// tells a torn tail from damage: the bytes that a crash's unfinished records
// would have saved are still the archive's own.
OriginalsLoad read_originals(platform::File& file, platform::File& archive, OriginalsContent* out);

// Writes the header where its next count goes: both copies of a new file
// with `both`, else the one `next_copy` names, which then names the other.
enum class HeaderCopies { next, both };
bool write_originals_header(platform::File& file, OriginalsHeader* header, HeaderCopies copies);

// Whether a batch of records ending at `end` needs a pad record to end on a
// sector boundary, and the length of its body.
bool pad_needed(const OriginalsHeader& header, uint64_t end, uint64_t* body_length);

// Writes a record's head and body at `at`.
bool write_record(platform::File& file, uint64_t at, RecordKind kind, uint32_t entry,
                  uint64_t position, const uint8_t* body, size_t length);

std::vector<uint8_t> seal_body(const Fingerprint& seal);
std::vector<uint8_t> drop_body(const std::vector<uint32_t>& entries);

// What a drop record means: the saves of `dropped`, and their payloads'
// fingerprint, no longer count.
void drop_entries(const std::set<uint32_t>& dropped, std::vector<SavedBytes>* saves,
                  Fingerprint* seal);

}  // namespace linkdata
