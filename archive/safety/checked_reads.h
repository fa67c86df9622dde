// Reads that the files kept beside an archive (the journal, the file of
// originals) check every byte of: exact reads, the crc32 of a stretch of
// memory or of a file, and stretches read in bounded blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/platform.h"

namespace linkdata {

// Saved bytes are copied and checked through a block of this size.
constexpr size_t kSideFileBlock = size_t(1) << 20;

// crc32 over n bytes, taking crc in, whatever n is.
uint32_t crc_of(uint32_t crc, const uint8_t* data, size_t n);

// Reads exactly n bytes at pos; false on a short read.
bool read_exactly(platform::File& file, uint64_t pos, uint8_t* buf, size_t n);

// Hands [at, at + n) of a file to `take` through a block of kSideFileBlock
// bytes at most; false on a short read.
bool for_each_block(platform::File& file, uint64_t at, uint64_t n,
                    const std::function<void(const uint8_t*, size_t)>& take);

// Carries crc over [at, at + n) of a file, read in blocks, as crc_of does
// over memory; false when the stretch does not read whole.
bool crc_of_file_range(platform::File& file, uint64_t at, uint64_t n, uint32_t* crc);

// Reads exactly n bytes at pos into buf; false when it cannot.
using ReadAt = std::function<bool(uint64_t pos, uint8_t* buf, size_t n)>;

// What a header and index that claim more than the archive holds come to:
// cut at its end (a journal's check, which must run on any archive), or a
// failure.
enum class IndexPastEnd { cut, fails };

// The crc32 of an archive's header and index, [0, end of the index), that
// the journal and the file of originals tie themselves to, over the bytes
// `read` gives: the archive's own, or with saved bytes put over them. The
// entry count comes from the header read the same way.
bool header_and_index_crc(const ReadAt& read, uint64_t length, IndexPastEnd past_end, uint32_t* crc,
                          uint32_t* entry_count = nullptr);

}  // namespace linkdata
