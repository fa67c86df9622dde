#include "archive/format/entry_content.h"

#include <algorithm>
#include <new>
#include <utility>

#include "platform/messages.h"
#include "platform/platform.h"

namespace linkdata {

size_t bytes_present(uint64_t archive_length, uint64_t pos, uint64_t size) {
  if (pos >= archive_length) return 0;
  return size_t(std::min(size, archive_length - pos));
}

bool read_present(platform::File& archive, uint64_t pos, uint8_t* out, size_t n) {
  size_t got = 0;
  if (!archive.read_at(pos, out, n, &got)) return false;
  std::fill(out + got, out + n, uint8_t(0));
  return true;
}

bool read_present(platform::File& archive, uint64_t pos, size_t n, ByteBuffer* out) {
  out->resize(n);
  return read_present(archive, pos, out->data(), n);
}

std::wstring entry_read_failure() { return msg::kArchiveReadFailed; }

std::wstring entry_decode_failure(uint32_t n, DecodeStatus status) {
  const std::wstring failure = msg::decode_failed(n);
  if (status == DecodeStatus::length_mismatch) return msg::kDecodedLengthWrong + failure;
  return failure;
}

std::wstring entry_too_large_failure(uint32_t n, bool compressed) {
  return compressed ? entry_decode_failure(n, DecodeStatus::out_of_memory) : entry_read_failure();
}

std::wstring read_entry_content(platform::File& archive, uint64_t archive_length,
                                uint32_t offset_unit, uint32_t n, const IndexRecord& record,
                                std::vector<uint8_t>* content) {
  const bool compressed = record.unpacked_size != 0;
  try {
    const uint64_t pos = byte_position(record, offset_unit);
    std::vector<uint8_t> stored(bytes_present(archive_length, pos, record.stored_size));
    if (!read_present(archive, pos, stored.data(), stored.size())) return entry_read_failure();
    if (!compressed) {
      stored.resize(record.stored_size, 0);
      *content = std::move(stored);
      return std::wstring();
    }
    DecodeResult decoded = decode_payload(stored.data(), stored.size(), record.stored_size);
    if (decoded.status != DecodeStatus::ok) return entry_decode_failure(n, decoded.status);
    content->assign(decoded.content.begin(), decoded.content.end());
    return std::wstring();
  } catch (const std::bad_alloc&) {
    return entry_too_large_failure(n, compressed);
  }
}

}  // namespace linkdata
