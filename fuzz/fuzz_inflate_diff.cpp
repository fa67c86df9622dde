// The chunk inflater as built against zlib's `uncompress` on the same bytes:
// any difference in success, produced length or produced bytes is a bug,
// save one: where the build inflates with libdeflate, a stream holding one of
// the constructs below, which no encoder writes, may inflate where zlib
// refuses it (see ConstructFinder). Every other stream is checked.
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

#include "archive/format/inflate_chunk.h"

using namespace linkdata;

namespace {

constexpr uint32_t kCapacity = 65536;

// Deflate's tables: the order of the code-length code's lengths, and the
// extra bits of the length and distance symbols.
constexpr unsigned kPrecodeOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                        11, 4,  12, 3, 13, 2, 14, 1, 15};
constexpr unsigned kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr unsigned kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The constructs that zlib refuses and libdeflate accepts, all of them
// hand-made: a dynamic block declaring more than 286 length/literal codes or
// more than 30 distance codes; a code-length repeat running past the declared
// codes; a length symbol 286 or 287 or a distance symbol 30 or 31 in the data
// (a fixed-code block has codes for them); a distance in a block whose
// distance code is empty; and the codeword 1 of a code with a single
// one-bit codeword (zlib takes only 0). This walks the stream's blocks as
// zlib reads them, up to the first of these or the first thing that both
// refuse alike, and tells whether it met one.
class ConstructFinder {
 public:
  ConstructFinder(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool run() {
    if (size_ < 2) return false;
    const unsigned cmf = data_[0];
    const unsigned flg = data_[1];
    if ((cmf & 15) != 8 || (cmf >> 4) > 7 || (cmf * 256 + flg) % 31 != 0 || (flg & 0x20) != 0)
      return false;
    bit_ = 16;
    uint64_t produced = 0;
    for (;;) {
      unsigned final_block = 0;
      unsigned type = 0;
      if (!bits(1, &final_block) || !bits(2, &type)) return false;
      Outcome outcome = Outcome::refused;
      if (type == 0) {
        outcome = stored(&produced);
      } else if (type == 1) {
        outcome = fixed(&produced);
      } else if (type == 2) {
        outcome = dynamic(&produced);
      }
      if (outcome != Outcome::ok) return outcome == Outcome::construct;
      if (final_block != 0) return false;
    }
  }

 private:
  enum class Outcome { ok, refused, construct };

  // Code lengths to a canonical decoder; kind tells what zlib makes of it.
  struct Code {
    unsigned count[16] = {};
    std::vector<unsigned> symbols;  // by code, shortest first
    enum Kind { complete, empty, single_bit, other } kind = other;
  };

  static Code build(const unsigned* lengths, unsigned n) {
    Code code;
    for (unsigned i = 0; i < n; ++i) ++code.count[lengths[i]];
    int left = 1;
    for (unsigned len = 1; len < 16; ++len) {
      left = left * 2 - int(code.count[len]);
      if (left < 0) return code;  // over-subscribed: both refuse
    }
    unsigned used = 0;
    for (unsigned len = 1; len < 16; ++len) used += code.count[len];
    if (left == 0) {
      code.kind = Code::complete;
    } else if (used == 0) {
      code.kind = Code::empty;
    } else if (used == 1 && code.count[1] == 1) {
      code.kind = Code::single_bit;
    }
    for (unsigned len = 1; len < 16; ++len)
      for (unsigned i = 0; i < n; ++i)
        if (lengths[i] == len) code.symbols.push_back(i);
    return code;
  }

  bool bits(unsigned count, unsigned* value) {
    *value = 0;
    for (unsigned i = 0; i < count; ++i, ++bit_) {
      if (bit_ / 8 >= size_) return false;
      *value |= unsigned((data_[bit_ / 8] >> (bit_ % 8)) & 1) << i;
    }
    return true;
  }

  // A symbol, or a construct (the codeword 1 of a single one-bit code).
  Outcome decode(const Code& code, unsigned* symbol) {
    if (code.kind == Code::single_bit) {
      unsigned bit = 0;
      if (!bits(1, &bit)) return Outcome::refused;
      *symbol = code.symbols[0];
      return bit == 0 ? Outcome::ok : Outcome::construct;
    }
    unsigned value = 0;
    unsigned first = 0;
    unsigned index = 0;
    for (unsigned len = 1; len < 16; ++len) {
      unsigned bit = 0;
      if (!bits(1, &bit)) return Outcome::refused;
      value |= bit;
      if (value - first < code.count[len]) {
        *symbol = code.symbols[index + value - first];
        return Outcome::ok;
      }
      index += code.count[len];
      first = (first + code.count[len]) << 1;
      value <<= 1;
    }
    return Outcome::refused;
  }

  Outcome stored(uint64_t* produced) {
    bit_ = (bit_ + 7) / 8 * 8;
    unsigned length = 0;
    unsigned complement = 0;
    if (!bits(16, &length) || !bits(16, &complement) || length != (~complement & 0xFFFF))
      return Outcome::refused;
    if (size_ - bit_ / 8 < length) return Outcome::refused;
    bit_ += 8 * size_t(length);
    *produced += length;
    return *produced <= kCapacity ? Outcome::ok : Outcome::refused;
  }

  Outcome fixed(uint64_t* produced) {
    unsigned lengths[288 + 32];
    std::fill(lengths, lengths + 144, 8);
    std::fill(lengths + 144, lengths + 256, 9);
    std::fill(lengths + 256, lengths + 280, 7);
    std::fill(lengths + 280, lengths + 288, 8);
    std::fill(lengths + 288, lengths + 320, 5);
    return data(build(lengths, 288), build(lengths + 288, 32), produced);
  }

  Outcome dynamic(uint64_t* produced) {
    unsigned hlit = 0;
    unsigned hdist = 0;
    unsigned hclen = 0;
    if (!bits(5, &hlit) || !bits(5, &hdist) || !bits(4, &hclen)) return Outcome::refused;
    const unsigned literal_count = 257 + hlit;
    const unsigned distance_count = 1 + hdist;
    if (literal_count > 286 || distance_count > 30) return Outcome::construct;
    unsigned precode_lengths[19] = {};
    for (unsigned i = 0; i < hclen + 4; ++i)
      if (!bits(3, &precode_lengths[kPrecodeOrder[i]])) return Outcome::refused;
    const Code precode = build(precode_lengths, 19);
    if (precode.kind != Code::complete) return Outcome::refused;
    unsigned lengths[320] = {};
    const unsigned total = literal_count + distance_count;
    for (unsigned i = 0; i < total;) {
      unsigned symbol = 0;
      if (decode(precode, &symbol) != Outcome::ok) return Outcome::refused;
      if (symbol < 16) {
        lengths[i++] = symbol;
        continue;
      }
      unsigned repeat = 0;
      unsigned value = 0;
      if (symbol == 16) {
        if (i == 0 || !bits(2, &repeat)) return Outcome::refused;
        value = lengths[i - 1];
        repeat += 3;
      } else if (symbol == 17) {
        if (!bits(3, &repeat)) return Outcome::refused;
        repeat += 3;
      } else {
        if (!bits(7, &repeat)) return Outcome::refused;
        repeat += 11;
      }
      if (repeat > total - i) return Outcome::construct;
      while (repeat-- > 0) lengths[i++] = value;
    }
    if (lengths[256] == 0) return Outcome::refused;
    const Code literals = build(lengths, literal_count);
    const Code distances = build(lengths + literal_count, distance_count);
    if (literals.kind == Code::other || literals.kind == Code::empty ||
        distances.kind == Code::other) {
      return Outcome::refused;
    }
    return data(literals, distances, produced);
  }

  Outcome data(const Code& literals, const Code& distances, uint64_t* produced) {
    static const unsigned kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                             15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                             67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const unsigned kDistanceBase[30] = {
        1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    for (;;) {
      unsigned symbol = 0;
      const Outcome got = decode(literals, &symbol);
      if (got != Outcome::ok) return got;
      if (symbol < 256) {
        if (++*produced > kCapacity) return Outcome::refused;
        continue;
      }
      if (symbol == 256) return Outcome::ok;
      if (symbol > 285) return Outcome::construct;
      unsigned extra = 0;
      if (!bits(kLengthExtra[symbol - 257], &extra)) return Outcome::refused;
      const unsigned length = kLengthBase[symbol - 257] + extra;
      if (distances.kind == Code::empty) return Outcome::construct;
      unsigned distance_symbol = 0;
      const Outcome got_distance = decode(distances, &distance_symbol);
      if (got_distance != Outcome::ok) return got_distance;
      if (distance_symbol > 29) return Outcome::construct;
      if (!bits(kDistanceExtra[distance_symbol], &extra)) return Outcome::refused;
      if (kDistanceBase[distance_symbol] + extra > *produced) return Outcome::refused;
      *produced += length;
      if (*produced > kCapacity) return Outcome::refused;
    }
  }

  const uint8_t* data_;
  size_t size_;
  size_t bit_ = 0;
};

// The raw deflate data's output as far as it goes and the input bytes it uses
// (all of them when the data does not end).
std::vector<uint8_t> raw_inflate(const uint8_t* src, size_t n, size_t* used) {
  std::vector<uint8_t> out(kCapacity);
  *used = n;
#if LINKDATA_FUZZ_LIBDEFLATE
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  size_t produced = 0;
  const bool ok =
      d != nullptr && libdeflate_deflate_decompress_ex(d, src, n, out.data(), out.size(), used,
                                                       &produced) == LIBDEFLATE_SUCCESS;
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
    case 2:
      deflate = fixed_block(data + 1, size - 1);
      break;
    case 3:
      deflate = dynamic_block(data + 1, size - 1);
      break;
    default:
      deflate.assign(data + 1, data + size);
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

  // Walked for every input, so that its coverage steers the fuzzer into the
  // constructs too.
  [[maybe_unused]] const bool construct = ConstructFinder(chunk.data(), chunk.size()).run();
  if (ok != expected_ok) {
#if LINKDATA_FUZZ_LIBDEFLATE
    if (ok && construct) return 0;
#endif
    __builtin_trap();
  }
  if (!ok) {
    if (produced != 0) __builtin_trap();
    return 0;
  }
  if (produced != expected_length) __builtin_trap();
  if (std::memcmp(got.data(), expected.data(), produced) != 0) __builtin_trap();
  return 0;
}
