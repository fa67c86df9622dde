// Archive images made from given payloads, for the tests, the fuzz seeds and
// the sample tool: one layout of header, index and slots for all three, so
// that what they build is what the tool itself writes and reads.
//
//   header   u32 magic | u32 entry count | u32 offset unit | u32 0
//   index    one 16-byte record per entry (offset in write units, stored
//            size, unpacked size), padded with zeros to a whole write unit
//   slots    each payload at the start of a write unit, padded with zeros to
//            a whole one; an empty payload takes no room
//
// The bytes are written here from that layout, not with the product's own
// record and header code, so that a fault there shows in the tests instead
// of being built into their archives as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace linkdata::archive_builder {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kMagic = 0x11E54;
constexpr uint32_t kSlotUnit = 2048;  // the write unit: slots start and end on it

// One entry as stored: its payload, and its unpacked size (0 for an entry
// stored plain). An absent entry keeps a record of zeros and no slot.
struct StoredEntry {
  Bytes stored;
  uint32_t unpacked_size = 0;
  bool absent = false;
};

// Lays an archive out one entry after another. The records are filled in as
// entries are placed, so a writer can stream the payloads behind the head
// and write the head last, as the sample tool does for archives of
// gigabytes; archive_image below keeps it all in memory.
class ArchiveLayout {
 public:
  // offset_unit goes into the header as given (tests store wrong ones); the
  // slots are laid out in units of kSlotUnit whatever it says.
  explicit ArchiveLayout(uint32_t count, uint32_t offset_unit = kSlotUnit);

  // Places the next entry in the next free slot and gives the number of zero
  // bytes that pad its payload to the slot's end.
  size_t place(const StoredEntry& entry);

  // The header and the index, with the records of the entries placed so far.
  const Bytes& head() const { return head_; }

 private:
  Bytes head_;
  uint32_t placed_ = 0;
  uint64_t next_slot_ = 0;  // byte position of the next payload
};

// The whole archive of these entries.
Bytes archive_image(const std::vector<StoredEntry>& entries, uint32_t offset_unit = kSlotUnit);

// A package of sub-files: their count, the offset of each from the start of
// the package, then the sub-files one after another.
Bytes package(const std::vector<Bytes>& sub_files);

}  // namespace linkdata::archive_builder
