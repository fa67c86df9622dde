// Reading one entry's content as export gives it: the present bytes of its
// payload, a compressed one decoded, and the message of a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/format/codec.h"
#include "archive/format/format.h"
#include "platform/byte_buffer.h"

namespace linkdata {

namespace platform {
class File;
}

// Bytes of [pos, pos + size) that a file of archive_length bytes holds; the
// rest reads as zeros.
size_t bytes_present(uint64_t archive_length, uint64_t pos, uint64_t size);

// Reads n bytes at pos into out; bytes the file no longer holds (it shrank
// meanwhile) read as zeros.
bool read_present(platform::File& archive, uint64_t pos, uint8_t* out, size_t n);

// The same into a buffer of n bytes.
bool read_present(platform::File& archive, uint64_t pos, size_t n, ByteBuffer* out);

// The message of an entry whose payload cannot be read.
std::wstring entry_read_failure();

// The message of compressed entry n that did not decode (status not ok).
std::wstring entry_decode_failure(uint32_t n, DecodeStatus status);

// The message of entry n that memory cannot hold.
std::wstring entry_too_large_failure(uint32_t n, bool compressed);

// Entry n's content: a plain entry's payload, or a compressed one decoded.
// Bytes past archive_length read as zeros. Gives the failure message, or an
// empty string.
std::wstring read_entry_content(platform::File& archive, uint64_t archive_length,
                                uint32_t offset_unit, uint32_t n, const IndexRecord& record,
                                std::vector<uint8_t>* content);

}  // namespace linkdata
