#include "tools/archive_builder.h"

#include "platform/little_endian.h"

namespace linkdata::archive_builder {
namespace {

constexpr size_t kHeaderSize = 16;
constexpr size_t kRecordSize = 16;

uint64_t whole_slots(uint64_t n) { return (n + kSlotUnit - 1) / kSlotUnit * kSlotUnit; }

}  // namespace

ArchiveLayout::ArchiveLayout(uint32_t count, uint32_t offset_unit)
    : head_(whole_slots(kHeaderSize + kRecordSize * uint64_t(count)), 0), next_slot_(head_.size()) {
  store_u32le(head_.data(), kMagic);
  store_u32le(head_.data() + 4, count);
  store_u32le(head_.data() + 8, offset_unit);
}

size_t ArchiveLayout::place(const StoredEntry& entry) {
  const uint32_t n = placed_++;
  if (entry.absent) return 0;
  const uint32_t size = uint32_t(entry.stored.size());
  uint8_t* record = head_.data() + kHeaderSize + kRecordSize * size_t(n);
  store_u64le(record, next_slot_ / kSlotUnit);
  store_u32le(record + 8, size);
  store_u32le(record + 12, entry.unpacked_size);
  next_slot_ += whole_slots(size);
  return size_t(whole_slots(size) - size);
}

Bytes archive_image(const std::vector<StoredEntry>& entries, uint32_t offset_unit) {
  ArchiveLayout layout(uint32_t(entries.size()), offset_unit);
  Bytes slots;
  for (const StoredEntry& entry : entries) {
    const size_t padding = layout.place(entry);
    if (entry.absent) continue;
    slots.insert(slots.end(), entry.stored.begin(), entry.stored.end());
    slots.resize(slots.size() + padding, 0);
  }
  Bytes out = layout.head();
  out.insert(out.end(), slots.begin(), slots.end());
  return out;
}

Bytes package(const std::vector<Bytes>& sub_files) {
  Bytes out(4 + 4 * sub_files.size(), 0);
  store_u32le(out.data(), uint32_t(sub_files.size()));
  for (size_t k = 0; k < sub_files.size(); ++k) {
    store_u32le(out.data() + 4 + 4 * k, uint32_t(out.size()));
    out.insert(out.end(), sub_files[k].begin(), sub_files[k].end());
  }
  return out;
}

}  // namespace linkdata::archive_builder
