// Inflating one zlib chunk of a compressed payload. The decoded bytes of a
// zlib stream are fixed by the format, so the inflater behind this function
// is chosen when the build is configured (libdeflate where it is to be had,
// zlib otherwise); its outcome is that of zlib's `uncompress` either way, but
// for a few hand-made constructs that only libdeflate accepts (listed in the
// README and in fuzz/fuzz_inflate_diff.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace linkdata {

// Inflates the zlib stream at the start of the n bytes at src into dest, which
// has room for capacity bytes, with the outcome of zlib's `uncompress` given a
// destination length of capacity (but for the constructs above): true, with *produced set to the
// bytes written, when one whole stream (header, deflate data and its adler32 check) ends within the
// n input bytes and inflates to at most capacity bytes; input after the stream's end is ignored.
// False (*produced 0, dest's bytes unspecified) for a broken or cut stream, a failed check, a
// preset dictionary, a stream that needs more room than capacity, or no memory for the inflater.
// Safe to call on several threads at once.
bool inflate_zlib_chunk(const uint8_t* src, size_t n, uint8_t* dest, uint32_t capacity,
                        uint32_t* produced);

}  // namespace linkdata
