// The chunk inflater as built against zlib's `uncompress` on the same bytes:
// any difference in success, produced length or produced bytes is a bug.
//
// zlib and libdeflate are not instrumented, so the fuzzer sees nothing of
// their paths; byte 0 therefore picks how the rest becomes a chunk:
//   0  the chunk as it stands;
//   1  raw deflate data, wrapped in a zlib header and the adler32 of what it
//      inflates to, so that mutated data still reaches the end-of-stream check;
//   2  tokens (see append_tokens) in one fixed-code block, wrapped as for 1;
//   3  the same in one dynamic block with 257-288 length and 1-32 distance
//      codes, its header taken from the next byte (see append_dynamic_block).
// The adler32 is taken over the output of the build's own inflater where that
// is libdeflate, since a stream that only libdeflate accepts has no zlib
// output to take it over.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#if LINKDATA_FUZZ_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "archive/inflate_chunk.h"

using namespace linkdata;

namespace {

constexpr uint32_t kCapacity = 65536;

// The raw deflate data's output as far as it goes and the input bytes it uses
// (all of them when the data does not end).
std::vector<uint8_t> raw_inflate(const uint8_t* src, size_t n, size_t* used) {
  std::vector<uint8_t> out(kCapacity);
  *used = n;
#if LINKDATA_FUZZ_LIBDEFLATE
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  size_t produced = 0;
  const bool ok = d != nullptr && libdeflate_deflate_decompress_ex(d, src, n, out.data(), out.size(),
                                                                   used, &produced) ==
                                      LIBDEFLATE_SUCCESS;
  libdeflate_free_decompressor(d);
  if (!ok) *used = n;
  out.resize(ok ? produced : 0);
#else
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, -15) != Z_OK) return {};
  stream.next_in = const_cast<Bytef*>(src);
  stream.avail_in = uInt(n);
  stream.next_out = out.data();
  stream.avail_out = uInt(out.size());
  if (inflate(&stream, Z_FINISH) == Z_STREAM_END) *used = n - stream.avail_in;
  out.resize(stream.total_out);
  inflateEnd(&stream);
#endif
  return out;
}

std::vector<uint8_t> chunk_around(const uint8_t* deflate, size_t n) {
  size_t used = 0;
  const std::vector<uint8_t> output = raw_inflate(deflate, n, &used);
  const uint32_t adler = uint32_t(adler32(1, output.data(), uInt(output.size())));
  std::vector<uint8_t> chunk = {0x78, 0x9C};
  chunk.insert(chunk.end(), deflate, deflate + used);
  for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back(uint8_t(adler >> shift));
  chunk.insert(chunk.end(), deflate + used, deflate + n);
  return chunk;
}

// Deflate's bits, least significant first; Huffman codes go most significant
// bit first.
struct BitWriter {
  std::vector<uint8_t> bytes;
  unsigned used = 8;

  void put(unsigned value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      if (used == 8) {
        bytes.push_back(0);
        used = 0;
      }
      bytes.back() |= uint8_t(((value >> i) & 1) << used++);
    }
  }
  void put_code(unsigned code, unsigned length) {
    for (unsigned i = length; i-- > 0;) put((code >> i) & 1, 1);
  }
};

// Canonical codes for the given code lengths.
std::vector<unsigned> canonical_codes(const std::vector<unsigned>& lengths) {
  unsigned count[16] = {};
  for (unsigned l : lengths) ++count[l];
  count[0] = 0;
  unsigned next[16] = {};
  for (unsigned len = 1, code = 0; len < 16; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  std::vector<unsigned> codes(lengths.size());
  for (size_t i = 0; i < lengths.size(); ++i)
    if (lengths[i] != 0) codes[i] = next[lengths[i]]++;
  return codes;
}

// A complete code for m symbols: the shortest lengths k and k + 1.
std::vector<unsigned> complete_lengths(unsigned m) {
  unsigned k = 0;
  while ((2u << k) <= m) ++k;
  const unsigned shorter = (2u << k) - m;
  std::vector<unsigned> lengths(m, k + 1);
  for (unsigned i = 0; i < shorter; ++i) lengths[i] = k;
  return lengths;
}

// Four input bytes a token: a length/literal symbol below the code's size
// from the first two (256 ends the tokens), then for a length symbol its
// extra bits and a distance symbol with its extra bits from the last two.
// Symbols 286, 287, 30 and 31, which deflate does not define, are written
// with no extra bits.
void append_tokens(BitWriter& out, const uint8_t* data, size_t size,
                   const std::vector<unsigned>& literal_lengths,
                   const std::vector<unsigned>& distance_lengths) {
  static const unsigned kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                            2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  static const unsigned kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,
                                              6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
  const std::vector<unsigned> literal_codes = canonical_codes(literal_lengths);
  const std::vector<unsigned> distance_codes = canonical_codes(distance_lengths);
  for (size_t i = 0; i + 4 <= size; i += 4) {
    const unsigned symbol = (data[i] | unsigned(data[i + 1]) << 8) % literal_lengths.size();
    if (symbol == 256) break;
    out.put_code(literal_codes[symbol], literal_lengths[symbol]);
    if (symbol < 256) continue;
    const unsigned extra = data[i + 2] | unsigned(data[i + 3]) << 8;
    if (symbol < 286) out.put(extra, kLengthExtra[symbol - 257]);
    const unsigned distance = data[i + 3] % distance_lengths.size();
    out.put_code(distance_codes[distance], distance_lengths[distance]);
    if (distance < 30) out.put(extra >> 3, kDistanceExtra[distance]);
  }
  out.put_code(literal_codes[256], literal_lengths[256]);
}

std::vector<uint8_t> fixed_block(const uint8_t* data, size_t size) {
  std::vector<unsigned> literal_lengths(288, 8);
  for (unsigned i = 144; i < 256; ++i) literal_lengths[i] = 9;
  for (unsigned i = 256; i < 280; ++i) literal_lengths[i] = 7;
  BitWriter out;
  out.put(1, 1);  // final
  out.put(1, 2);  // fixed codes
  append_tokens(out, data, size, literal_lengths, std::vector<unsigned>(32, 5));
  return out.bytes;
}

// Header byte: bits 0-4 the length codes beyond 257, bits 5-7 with the
// token bytes' first the distance codes; bit 7 also writes the distance code
// lengths as zeros by one repeat that may run past the declared codes.
std::vector<uint8_t> dynamic_block(const uint8_t* data, size_t size) {
  if (size < 2) return {};
  const unsigned literal_count = 257 + (data[0] & 31);
  const unsigned distance_count = 1 + ((data[0] >> 5) | (data[1] & 3) << 3);
  const bool zero_distances = (data[0] & 0x80) != 0;
  const unsigned repeat = std::max(3u, distance_count + (data[1] >> 2) % 8);
  const std::vector<unsigned> literal_lengths = complete_lengths(literal_count);
  const std::vector<unsigned> distance_lengths =
      zero_distances ? std::vector<unsigned>(distance_count, 0) : complete_lengths(distance_count);

  // The precode: lengths 0-13 in 4 bits, 14, 16, 17 and 18 in 5 (15 is never
  // needed here).
  std::vector<unsigned> precode_lengths(19, 4);
  precode_lengths[14] = precode_lengths[16] = precode_lengths[17] = precode_lengths[18] = 5;
  precode_lengths[15] = 0;
  const std::vector<unsigned> precode_codes = canonical_codes(precode_lengths);
  static const unsigned kPrecodeOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                             11, 4,  12, 3, 13, 2, 14, 1, 15};
  BitWriter out;
  out.put(1, 1);  // final
  out.put(2, 2);  // dynamic codes
  out.put(literal_count - 257, 5);
  out.put(distance_count - 1, 5);
  out.put(15, 4);  // all 19 precode lengths
  for (unsigned symbol : kPrecodeOrder) out.put(precode_lengths[symbol], 3);
  const auto put_length = [&](unsigned length) {
    out.put_code(precode_codes[length], precode_lengths[length]);
  };
  for (unsigned length : literal_lengths) put_length(length);
  if (!zero_distances) {
    for (unsigned length : distance_lengths) put_length(length);
  } else if (repeat <= 10) {
    out.put_code(precode_codes[17], precode_lengths[17]);
    out.put(repeat - 3, 3);
  } else {
    out.put_code(precode_codes[18], precode_lengths[18]);
    out.put(repeat - 11, 7);
  }
  append_tokens(out, data + 2, size - 2, literal_lengths, distance_lengths);
  return out.bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> deflate;
  switch (data[0] % 4) {
    case 2: deflate = fixed_block(data + 1, size - 1); break;
    case 3: deflate = dynamic_block(data + 1, size - 1); break;
    default: deflate.assign(data + 1, data + size);
  }
  // Exact-size heap copies, so that a read past the chunk is seen.
  std::vector<uint8_t> chunk =
      data[0] % 4 == 0 ? std::move(deflate) : chunk_around(deflate.data(), deflate.size());
  chunk.shrink_to_fit();

  std::vector<uint8_t> expected(kCapacity);
  uLongf expected_length = kCapacity;
  const bool expected_ok =
      uncompress(expected.data(), &expected_length, chunk.data(), uLong(chunk.size())) == Z_OK;

  std::vector<uint8_t> got(kCapacity);
  uint32_t produced = 0;
  const bool ok = inflate_zlib_chunk(chunk.data(), chunk.size(), got.data(), kCapacity, &produced);

  if (ok != expected_ok) __builtin_trap();
  if (!ok) {
    if (produced != 0) __builtin_trap();
    return 0;
  }
  if (produced != expected_length) __builtin_trap();
  if (std::memcmp(got.data(), expected.data(), produced) != 0) __builtin_trap();
  return 0;
}
