// Tests of the payload codec: compress_payload, decode_payload and
// decompress_payload, and of the chunk inflater under them.
#include "archive/format/codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "archive/format/deflate_block.h"
#include "archive/format/inflate_chunk.h"
#include "platform/little_endian.h"
#include "platform/worker_pool.h"
#include "test_support.h"

namespace linkdata {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = uint8_t(rng());
  return out;
}

// Text-like data that compresses well but is not trivial.
Bytes compressible_bytes(size_t n) {
  static const char kWords[] = "the quick brown fox jumps over the lazy dog 0123456789 ";
  std::mt19937 rng(7);
  Bytes out(n);
  for (size_t i = 0; i < n; ++i)
    out[i] = (rng() % 16 == 0) ? uint8_t(rng()) : uint8_t(kWords[i % (sizeof kWords - 1)]);
  return out;
}

// Data that compresses about 2:1 and takes several deflate blocks.
Bytes half_compressible_bytes(size_t n) {
  Bytes out = compressible_bytes(n);
  const Bytes noise = random_bytes(n, 11);
  for (size_t i = 0; i < n; ++i)
    if ((i / 64) % 2 == 1) out[i] = noise[i];
  return out;
}

Bytes zlib_compress(const Bytes& src, int level = 9) {
  uLongf len = compressBound(src.size());
  Bytes out(len);
  EXPECT_EQ(compress2(out.data(), &len, src.data(), src.size(), level), Z_OK);
  out.resize(len);
  return out;
}

// Builds total | { L | bytes }* | 0 from the given chunk data.
Bytes build_payload(uint32_t total, const std::vector<Bytes>& chunks, bool terminator = true) {
  Bytes p(4);
  store_u32le(p.data(), total);
  for (const Bytes& c : chunks) {
    uint8_t len[4];
    store_u32le(len, uint32_t(c.size()));
    p.insert(p.end(), len, len + 4);
    p.insert(p.end(), c.begin(), c.end());
  }
  if (terminator) p.insert(p.end(), 4, 0);
  return p;
}

struct ChunkRef {
  size_t pos;  // of the data
  uint32_t length;
};

// Lists the chunks of an encoder payload up to the terminator.
std::vector<ChunkRef> list_chunks(const Bytes& payload) {
  std::vector<ChunkRef> chunks;
  size_t pos = 4;
  for (;;) {
    uint32_t len = load_u32le(payload.data() + pos);
    if (len == 0) break;
    chunks.push_back({pos + 4, len});
    pos += 4 + len;
  }
  EXPECT_EQ(pos + 4, payload.size()) << "terminator must be the last 4 bytes";
  return chunks;
}

// A payload laid out here, independently of the library, from blocks that
// `encode` makes of the source's 32 KiB blocks.
template <typename Encode>
Bytes payload_of_blocks(const Bytes& src, Encode encode) {
  std::vector<Bytes> chunks;
  for (size_t off = 0; off < src.size(); off += kBlockSize) {
    const uint32_t n = uint32_t(std::min<size_t>(kBlockSize, src.size() - off));
    chunks.push_back(encode(src.data() + off, n));
  }
  return build_payload(uint32_t(src.size()), chunks);
}

Bytes fast_block(const uint8_t* src, uint32_t n) {
  Bytes out;
  EXPECT_TRUE(deflate_block_fast(src, n, &out));
  return out;
}

Bytes zlib9_block(const uint8_t* src, uint32_t n) {
  Bytes out;
  EXPECT_TRUE(compress_block(src, n, &out));
  return out;
}

Bytes strong_block(const uint8_t* src, uint32_t n) {
  Bytes out;
  EXPECT_TRUE(deflate_block_strong(src, n, &out));
  return out;
}

using BlockEncoder = Bytes (*)(const uint8_t*, uint32_t);

// Each block the smaller of the build's encoder's and another encoder's
// stream, the build's on a tie.
Bytes smaller_block(const uint8_t* src, uint32_t n, BlockEncoder other) {
  Bytes fast = fast_block(src, n), theirs = other(src, n);
  return theirs.size() < fast.size() ? theirs : fast;
}

Bytes smaller_than_zlib9_block(const uint8_t* src, uint32_t n) {
  return smaller_block(src, n, zlib9_block);
}

Bytes smaller_than_strong_block(const uint8_t* src, uint32_t n) {
  return smaller_block(src, n, strong_block);
}

// The first k blocks at their smaller stream beside `other`'s and the rest
// fast, for the least k that fits; nothing when none does.
std::optional<Bytes> prefix_fit(const Bytes& src, uint64_t limit, BlockEncoder other) {
  const uint32_t count = payload_block_count(uint32_t(src.size()));
  for (uint32_t k = 0; k <= count; ++k) {
    uint32_t i = 0;
    const Bytes p = payload_of_blocks(src, [&](const uint8_t* block, uint32_t n) {
      return i++ < k ? smaller_block(block, n, other) : fast_block(block, n);
    });
    if (p.size() <= limit) return p;
  }
  return std::nullopt;
}

// What the encoder falls back to for a limit that its fast payload passes:
// where that payload is over by a 32nd of the limit at most, the prefix fit
// with the stronger encoder; failing that, the prefix fit with zlib level 9.
std::optional<Bytes> shrunk_payload(const Bytes& src, uint64_t limit) {
  const Bytes fast = payload_of_blocks(src, fast_block);
  if (fast.size() <= limit + limit / 32) {
    if (auto strong = prefix_fit(src, limit, strong_block)) return strong;
  }
  return prefix_fit(src, limit, zlib9_block);
}

DecodeResult decode(const Bytes& p) {
  return decode_payload(p.data(), p.size(), uint32_t(p.size()));
}

void expect_ok(const DecodeResult& r, const Bytes& expected) {
  ASSERT_EQ(r.status, DecodeStatus::ok);
  ASSERT_EQ(r.content.size(), expected.size());
  EXPECT_TRUE(std::equal(r.content.begin(), r.content.end(), expected.begin()));
}

void expect_fail(const DecodeResult& r, DecodeStatus status) {
  EXPECT_EQ(r.status, status);
  EXPECT_TRUE(r.content.empty());
}

// --------------------------------------------------------------------------
// Encoder and round trip

TEST(CodecRoundTrip, SizesRandomAndCompressible) {
  const size_t sizes[] = {1, 2, 100, 32767, 32768, 32769, 65536, 5 * 32768 + 123, 7 * 32768};
  for (size_t n : sizes) {
    for (int kind = 0; kind < 2; ++kind) {
      Bytes src = kind == 0 ? random_bytes(n, uint32_t(n)) : compressible_bytes(n);
      auto payload = compress_payload(src.data(), uint32_t(src.size()));
      ASSERT_TRUE(payload.has_value()) << n;
      EXPECT_EQ(load_u32le(payload->data()), n);
      EXPECT_EQ(list_chunks(*payload).size(), payload_block_count(uint32_t(n)));
      EXPECT_TRUE(*payload == payload_of_blocks(src, fast_block))
          << "the build's encoder, block by block, n=" << n;
      expect_ok(decode(*payload), src);
      auto back = decompress_payload(payload->data(), uint32_t(payload->size()));
      ASSERT_TRUE(back.has_value());
      EXPECT_TRUE(std::equal(back->begin(), back->end(), src.begin(), src.end()));
    }
  }
}

TEST(CodecEncode, EveryChunkIsAZlibStreamOfOneBlock) {
  Bytes src = compressible_bytes(4 * 32768 + 5);
  src.insert(src.end(), 40000, 0);  // a zero stretch too
  Bytes rnd = random_bytes(50000, 3);
  src.insert(src.end(), rnd.begin(), rnd.end());
  auto payload = compress_payload(src.data(), uint32_t(src.size()));
  ASSERT_TRUE(payload.has_value());
  auto chunks = list_chunks(*payload);
  ASSERT_EQ(chunks.size(), (src.size() + 32767) / 32768);
  for (size_t i = 0; i < chunks.size(); ++i) {
    EXPECT_EQ((*payload)[chunks[i].pos], 0x78) << i;
    size_t off = i * 32768, n = std::min<size_t>(32768, src.size() - off);
    Bytes out(65536);
    uLongf len = out.size();
    ASSERT_EQ(uncompress(out.data(), &len, payload->data() + chunks[i].pos, chunks[i].length), Z_OK)
        << i;
    ASSERT_EQ(len, n) << i;
    EXPECT_EQ(std::memcmp(out.data(), src.data() + off, n), 0) << i;
  }
}

TEST(CodecEncode, ExactPayloadSizes) {
  Bytes src = random_bytes(32769, 11);
  auto one = compress_payload(src.data(), 32768);
  ASSERT_TRUE(one.has_value());
  auto c1 = list_chunks(*one);
  ASSERT_EQ(c1.size(), 1u);
  EXPECT_EQ(one->size(), 4 + 4 + size_t(c1[0].length) + 4);
  EXPECT_EQ(load_u32le(one->data()), 32768u);

  auto two = compress_payload(src.data(), 32769);
  ASSERT_TRUE(two.has_value());
  auto c2 = list_chunks(*two);
  ASSERT_EQ(c2.size(), 2u);
  EXPECT_EQ(two->size(), 4 + 4 + size_t(c2[0].length) + 4 + size_t(c2[1].length) + 4);
  Bytes out(65536);
  uLongf len = out.size();
  ASSERT_EQ(uncompress(out.data(), &len, two->data() + c2[1].pos, c2[1].length), Z_OK);
  ASSERT_EQ(len, 1u);
  EXPECT_EQ(out[0], src[32768]);

  auto single = compress_payload(src.data(), 1);
  ASSERT_TRUE(single.has_value());
  EXPECT_EQ(list_chunks(*single).size(), 1u);
}

TEST(CodecEncode, EmptySourceFails) {
  uint8_t byte = 1;
  EXPECT_FALSE(compress_payload(&byte, 0).has_value());
  EXPECT_FALSE(compress_payload(nullptr, 0).has_value());
}

TEST(CodecEncode, BlockHelpers) {
  EXPECT_EQ(payload_block_count(0), 0u);
  EXPECT_EQ(payload_block_count(1), 1u);
  EXPECT_EQ(payload_block_count(32768), 1u);
  EXPECT_EQ(payload_block_count(32769), 2u);
  EXPECT_EQ(payload_block_count(327680000), 10000u);
  EXPECT_EQ(payload_block_count(327680001), 10001u);
  EXPECT_EQ(payload_block_count(0xFFFFFFFFu), 131072u);

  Bytes src = compressible_bytes(1000);
  Bytes block;
  ASSERT_TRUE(compress_block(src.data(), 1000, &block));
  EXPECT_TRUE(block == zlib_compress(src));
  Bytes payload = assemble_payload(1000, {block});
  EXPECT_TRUE(payload == build_payload(1000, {block}));
}

// A limit at or above the payload's size gives the payload compress_payload
// makes; below it, blocks at their smaller stream (beside the stronger
// encoder's near the fast payload's size, or zlib level 9's) where that fits,
// and too_large where even every block's smaller stream does not. Failures
// stay failures whatever the limit.
TEST(CodecEncode, LimitDecidesOnlyWhetherThePayloadFits) {
  for (const Bytes& src :
       {compressible_bytes(200000), half_compressible_bytes(300000), random_bytes(100000, 5),
        compressible_bytes(7), test::word_salad_bytes(6 * 32768 + 99, 3)}) {
    const auto full = compress_payload(src.data(), uint32_t(src.size()));
    ASSERT_TRUE(full.has_value());
    const Bytes smallest = payload_of_blocks(src, smaller_than_zlib9_block);
    const Bytes strongest = payload_of_blocks(src, smaller_than_strong_block);
    ASSERT_LE(smallest.size(), full->size());
    ASSERT_LE(smallest.size(), payload_of_blocks(src, zlib9_block).size());
    for (uint64_t limit :
         {uint64_t(full->size()), uint64_t(full->size()) + 1, uint64_t(UINT64_MAX)}) {
      const EncodeResult within = compress_payload_within(src.data(), uint32_t(src.size()), limit);
      EXPECT_EQ(within.status, EncodeStatus::ok) << limit;
      EXPECT_TRUE(within.payload == *full) << limit;
    }
    if (std::min(smallest.size(), strongest.size()) < full->size()) {
      // Half the payload: a file that grew, whose fast pass stops half way.
      for (uint64_t limit : {uint64_t(smallest.size()), uint64_t(strongest.size()),
                             uint64_t(full->size()) - 1, uint64_t(full->size()) / 2}) {
        if (limit >= full->size()) continue;
        const std::optional<Bytes> model = shrunk_payload(src, limit);
        const EncodeResult within =
            compress_payload_within(src.data(), uint32_t(src.size()), limit);
        ASSERT_EQ(within.status, model ? EncodeStatus::ok : EncodeStatus::too_large) << limit;
        EXPECT_TRUE(within.payload == model.value_or(Bytes())) << limit;
      }
      const EncodeResult at_zlib9 =
          compress_payload_within(src.data(), uint32_t(src.size()), smallest.size());
      EXPECT_EQ(at_zlib9.status, EncodeStatus::ok);
    }
    for (uint64_t limit :
         {uint64_t(0), uint64_t(8), uint64_t(std::min(smallest.size(), strongest.size())) - 1}) {
      const EncodeResult within = compress_payload_within(src.data(), uint32_t(src.size()), limit);
      EXPECT_EQ(within.status, EncodeStatus::too_large) << limit;
      EXPECT_TRUE(within.payload.empty());
    }
  }
  uint8_t byte = 1;
  EXPECT_EQ(compress_payload_within(&byte, 0, UINT64_MAX).status, EncodeStatus::failed);
  EXPECT_EQ(compress_payload_within(&byte, 0, 0).status, EncodeStatus::failed);
}

// Where the build's encoder packs less tightly than zlib level 9, a limit
// that level 9's payload meets is met all the same: no entry that level 9
// would have fitted into its slot is given up; nor, with the stronger
// encoder, one just under what zlib level 9 can fit. On the caller's pool
// too.
TEST(CodecEncode, FitsWhereZlibLevel9Fits) {
  const Bytes src = test::word_salad_bytes(10 * 32768 + 1000, 1);
  const Bytes zlib9 = payload_of_blocks(src, zlib9_block);
  const auto fast = compress_payload(src.data(), uint32_t(src.size()));
  ASSERT_TRUE(fast.has_value());
  std::vector<uint64_t> limits = {zlib9.size()};
  if (!fast_encoder_is_zlib9()) {
    ASSERT_GT(fast->size(), zlib9.size()) << "the case at stake";
    // Just under what each block's smaller stream beside zlib level 9's
    // makes, and near enough the fast payload for the stronger encoder.
    const uint64_t under = payload_of_blocks(src, smaller_than_zlib9_block).size() - 1;
    ASSERT_LE(fast->size(), under + under / 32) << "the case at stake";
    limits.push_back(under);
  }
  WorkerPool pool(2);
  for (WorkerPool* on : {static_cast<WorkerPool*>(nullptr), &pool}) {
    for (const uint64_t limit : limits) {
      const EncodeResult within =
          compress_payload_within(src.data(), uint32_t(src.size()), limit, on);
      ASSERT_EQ(within.status, EncodeStatus::ok) << limit;
      EXPECT_TRUE(within.payload == shrunk_payload(src, limit)) << limit;
      EXPECT_LE(within.payload.size(), limit);
      expect_ok(decode(within.payload), src);
    }
  }
}

// Every stream the encoder may write, the build's encoder's, its stronger
// encoder's and zlib level 9's, begins with 0x78 and inflates with zlib's uncompress to exactly its
// block, whatever the block holds.
TEST(CodecEncode, EveryEncodersStreamsInflateWithZlib) {
  Bytes zero_tail = test::word_salad_bytes(32768, 2);
  std::fill(zero_tail.begin() + 1000, zero_tail.end(), 0);
  const struct {
    const char* name;
    Bytes block;
  } cases[] = {
      {"incompressible", random_bytes(32768, 21)},
      {"short incompressible tail", random_bytes(100, 22)},
      {"1 byte", Bytes{0x78}},
      {"1 zero byte", Bytes{0}},
      {"zeros", Bytes(32768, 0)},
      {"text with an empty (zero) tail", zero_tail},
      {"words", test::word_salad_bytes(32768, 3)},
      {"half compressible", half_compressible_bytes(32768)},
  };
  for (const auto encode : {fast_block, strong_block, zlib9_block}) {
    for (const auto& c : cases) {
      const Bytes stream = encode(c.block.data(), uint32_t(c.block.size()));
      ASSERT_FALSE(stream.empty()) << c.name;
      EXPECT_EQ(stream[0], kZlibMarker) << c.name;
      Bytes out(kChunkOutputLimit);
      uLongf length = out.size();
      ASSERT_EQ(uncompress(out.data(), &length, stream.data(), uLong(stream.size())), Z_OK)
          << c.name;
      out.resize(length);
      EXPECT_TRUE(out == c.block) << c.name;
    }
  }
}

// 10000 chunks is the most; 10001 fails. One zero buffer of 327,680,001 bytes.
TEST(CodecEncode, ChunkLimit) {
  const size_t limit = size_t(kChunkLimit) * kBlockSize;  // 327,680,000
  Bytes src(limit + 1, 0);
  EXPECT_FALSE(compress_payload(src.data(), uint32_t(limit + 1)).has_value());
  auto payload = compress_payload(src.data(), uint32_t(limit));
  ASSERT_TRUE(payload.has_value());
  EXPECT_EQ(list_chunks(*payload).size(), 10000u);
  auto back = decompress_payload(payload->data(), uint32_t(payload->size()));
  ASSERT_TRUE(back.has_value());
  ASSERT_EQ(back->size(), limit);
  EXPECT_EQ(std::memcmp(back->data(), src.data(), limit), 0);
}

// --------------------------------------------------------------------------
// Decoder

TEST(CodecDecode, PlainChunkBetweenZlibChunks) {
  Bytes a = compressible_bytes(3000), plain = {1, 2, 3, 0x77, 0x79, 0}, b = random_bytes(500, 5);
  Bytes expected = a;
  expected.insert(expected.end(), plain.begin(), plain.end());
  expected.insert(expected.end(), b.begin(), b.end());
  Bytes p =
      build_payload(uint32_t(expected.size()), {zlib_compress(a), plain, zlib_compress(b, 1)});
  expect_ok(decode(p), expected);
}

TEST(CodecDecode, EmptyChunksInBetweenArePassedOver) {
  Bytes a = compressible_bytes(100), b = {9, 8, 7};
  Bytes expected = a;
  expected.insert(expected.end(), b.begin(), b.end());
  Bytes p =
      build_payload(uint32_t(expected.size()), {Bytes{}, zlib_compress(a), Bytes{}, Bytes{}, b});
  expect_ok(decode(p), expected);
}

TEST(CodecDecode, TrailingZerosUpToLargerStoredSize) {
  Bytes src = compressible_bytes(70000);
  auto payload = compress_payload(src.data(), uint32_t(src.size()));
  ASSERT_TRUE(payload.has_value());
  for (size_t extra : {4u, 8u, 2048u, 100000u}) {
    Bytes p = *payload;
    p.insert(p.end(), extra, 0);
    expect_ok(decode(p), src);
  }
  // 1 to 3 bytes after the last whole length field end the walk.
  for (size_t extra : {1u, 2u, 3u, 5u, 2047u}) {
    Bytes p = *payload;
    p.insert(p.end(), extra, 0);
    expect_ok(decode(p), src);
  }
}

TEST(CodecDecode, TotalSizeFieldAlone) {
  Bytes zero = {0, 0, 0, 0};
  expect_ok(decode(zero), Bytes{});
  Bytes five = {5, 0, 0, 0};
  expect_fail(decode(five), DecodeStatus::length_mismatch);
}

TEST(CodecDecode, FewerBytesThanTotal) {
  Bytes a = compressible_bytes(1000);
  expect_fail(decode(build_payload(1001, {zlib_compress(a)})), DecodeStatus::length_mismatch);
  expect_fail(decode(build_payload(11, {Bytes(10, 1)})), DecodeStatus::length_mismatch);
  // Total within what a zlib chunk could hold but more than it gives.
  expect_fail(decode(build_payload(65536, {zlib_compress(a)})), DecodeStatus::length_mismatch);
}

TEST(CodecDecode, MoreBytesThanTotal) {
  Bytes a = compressible_bytes(1000);
  expect_fail(decode(build_payload(999, {zlib_compress(a)})), DecodeStatus::length_mismatch);
  expect_fail(decode(build_payload(9, {Bytes(10, 1)})), DecodeStatus::length_mismatch);
  // The overflow is found at the chunk that carries the output past the total,
  // before any later chunk is looked at (here a corrupt one).
  Bytes corrupt = {0x78, 0x00, 0x11, 0x22};
  expect_fail(decode(build_payload(999, {zlib_compress(a), corrupt})),
              DecodeStatus::length_mismatch);
  // A zlib chunk of exactly 65536 bytes against a total one short of it.
  Bytes big = compressible_bytes(65536);
  expect_fail(decode(build_payload(65535, {zlib_compress(big)})), DecodeStatus::length_mismatch);
}

TEST(CodecDecode, ZlibChunkOf65536IsTheMost) {
  Bytes big = compressible_bytes(65537);
  Bytes exact(big.begin(), big.begin() + 65536);
  // Exactly 65536 bytes: fine, straight into the output or through the scratch.
  expect_ok(decode(build_payload(65536, {zlib_compress(exact)})), exact);
  expect_ok(decode(build_payload(65537, {Bytes{42}, zlib_compress(exact)})), [&] {
    Bytes e{42};
    e.insert(e.end(), exact.begin(), exact.end());
    return e;
  }());

  // 65537 bytes: a zlib error whatever the total size says.
  Bytes over = zlib_compress(big);
  for (uint32_t total : {65537u, 65536u, 200000u, 100u, 0u})
    expect_fail(decode(build_payload(total, {over})), DecodeStatus::zlib_error);
  // Also after some output, where less than 65536 bytes remain.
  expect_fail(decode(build_payload(65537 + 10, {Bytes(10, 1), over})), DecodeStatus::zlib_error);
}

TEST(CodecDecode, CorruptZlibChunk) {
  Bytes a = compressible_bytes(5000);
  Bytes c = zlib_compress(a);
  c[c.size() / 2] ^= 0xFF;
  c[c.size() - 1] ^= 0x01;  // the checksum too
  expect_fail(decode(build_payload(5000, {c})), DecodeStatus::zlib_error);
  Bytes junk = {0x78, 0xFF, 0xFF, 0xFF, 0xFF};
  expect_fail(decode(build_payload(5000, {junk})), DecodeStatus::zlib_error);
  // A stream cut short.
  Bytes cut(c.begin(), c.begin() + 10);
  cut[0] = 0x78;
  expect_fail(decode(build_payload(5000, {cut})), DecodeStatus::zlib_error);
  // The zlib error of an earlier chunk wins over a later length failure.
  expect_fail(decode(build_payload(1, {junk, Bytes(10, 1)})), DecodeStatus::zlib_error);
}

TEST(CodecDecode, StoredSizeBelowFour) {
  Bytes p = {0, 0, 0, 0, 0, 0, 0, 0};
  for (uint32_t stored = 0; stored < 4; ++stored)
    expect_fail(decode_payload(p.data(), stored, stored), DecodeStatus::length_mismatch);
  expect_fail(decode_payload(nullptr, 0, 0), DecodeStatus::length_mismatch);
}

TEST(CodecDecode, OneToThreeBytesLeftEndTheWalk) {
  Bytes a = {1, 2, 3};
  for (int left = 1; left <= 3; ++left) {
    Bytes p = build_payload(3, {a}, /*terminator=*/false);
    p.insert(p.end(), size_t(left), 0xEE);  // non-zero: not a length field
    expect_ok(decode(p), a);
    Bytes q = {0, 0, 0, 0};
    q.insert(q.end(), size_t(left), 0xEE);
    expect_ok(decode(q), Bytes{});
    store_u32le(q.data(), 1);
    expect_fail(decode(q), DecodeStatus::length_mismatch);
  }
}

TEST(CodecDecode, ChunkLengthPastStoredSize) {
  Bytes a = {1, 2, 3, 4, 5};
  Bytes p = build_payload(5, {a}, /*terminator=*/false);
  expect_ok(decode_payload(p.data(), p.size(), uint32_t(p.size())), a);  // exactly fits
  expect_fail(decode_payload(p.data(), p.size(), uint32_t(p.size() - 1)),
              DecodeStatus::length_mismatch);
  Bytes q = {5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5};
  expect_fail(decode(q), DecodeStatus::length_mismatch);
  Bytes z = zlib_compress(a);
  Bytes r = build_payload(5, {z}, false);
  expect_fail(decode_payload(r.data(), r.size() - 1, uint32_t(r.size() - 1)),
              DecodeStatus::length_mismatch);
}

TEST(CodecDecode, HugeTotalWithTinyPayload) {
  Bytes a = compressible_bytes(100);
  Bytes p = build_payload(0xFFFFFFF0u, {zlib_compress(a), Bytes(10, 1)});
  expect_fail(decode(p), DecodeStatus::length_mismatch);
  expect_fail(decode(build_payload(0xFFFFFFF0u, {})), DecodeStatus::length_mismatch);
  // The walk still reports a zlib failure on its way, as a plain walk over the chunks would.
  Bytes junk = {0x78, 0xFF, 0xFF};
  expect_fail(decode(build_payload(0xFFFFFFF0u, {Bytes(3, 1), junk})), DecodeStatus::zlib_error);
  // And with a huge stored size of implied zeros.
  expect_fail(decode_payload(p.data(), p.size(), 0xFFFFFFFFu), DecodeStatus::length_mismatch);
}

TEST(CodecDecode, ImpliedZerosPastAvailable) {
  Bytes src = compressible_bytes(100000);
  auto payload = compress_payload(src.data(), uint32_t(src.size()));
  ASSERT_TRUE(payload.has_value());
  // Only up to and including the terminator, or without it.
  expect_ok(decode_payload(payload->data(), payload->size(), 0xFFFFFFFFu), src);
  expect_ok(decode_payload(payload->data(), payload->size() - 4, 0xFFFFFFFFu), src);
  expect_ok(decode_payload(payload->data(), payload->size() - 2, 0xFFFFFFFFu), src);
  // The total size field alone, partly there.
  Bytes zero = {0, 0};
  expect_ok(decode_payload(zero.data(), 2, 0xFFFFFFFFu), Bytes{});
  expect_ok(decode_payload(nullptr, 0, 0xFFFFFFFFu), Bytes{});
  Bytes t = {7};
  expect_fail(decode_payload(t.data(), 1, 0xFFFFFFFFu), DecodeStatus::length_mismatch);
  // `available` larger than the stored size: only stored_size bytes count.
  Bytes big = *payload;
  big.insert(big.end(), {9, 9, 9, 9, 9, 9, 9, 9});
  expect_ok(decode_payload(big.data(), big.size(), uint32_t(payload->size())), src);
}

TEST(CodecDecode, PlainChunkReachingIntoZeros) {
  // A plain chunk of 10 bytes of which 4 are present: the rest reads as zero.
  Bytes p = {10, 0, 0, 0, 10, 0, 0, 0, 1, 2, 3, 4};
  expect_ok(decode_payload(p.data(), p.size(), 100), Bytes({1, 2, 3, 4, 0, 0, 0, 0, 0, 0}));
  // The chunk's first data byte itself in the zero region: a plain chunk of zeros.
  Bytes q = {3, 0, 0, 0, 3, 0, 0, 0};
  expect_ok(decode_payload(q.data(), q.size(), 100), Bytes(3, 0));
  // A length field cut by `available`: its missing bytes are zero.
  Bytes r = {2, 0, 0, 0, 2, 0};
  expect_ok(decode_payload(r.data(), r.size(), 10), Bytes(2, 0));
}

TEST(CodecDecode, ZlibChunkReachingIntoZeros) {
  Bytes a = compressible_bytes(3000);
  Bytes z = zlib_compress(a);
  Bytes chunk = z;
  chunk.insert(chunk.end(), 1000, 0);  // bytes after the stream end are ignored
  Bytes p = build_payload(3000, {chunk});
  // Cut anywhere in the padding: the stream is whole, the rest is zeros.
  for (size_t cut : {size_t(8) + z.size(), size_t(8) + z.size() + 1, size_t(8) + z.size() + 500})
    expect_ok(decode_payload(p.data(), cut, uint32_t(p.size())), a);
  // Cut inside the stream: zeros do not complete it.
  expect_fail(decode_payload(p.data(), 8 + z.size() - 1, uint32_t(p.size())),
              DecodeStatus::zlib_error);
  expect_fail(decode_payload(p.data(), 9, uint32_t(p.size())), DecodeStatus::zlib_error);
  // A zlib chunk that claims nearly 4 GiB of zeros is still quick.
  Bytes q = build_payload(3000, {z}, false);
  store_u32le(q.data() + 4, 0xFFFFFFF0u);
  expect_ok(decode_payload(q.data(), q.size(), 0xFFFFFFFFu), a);
}

// Cutting `available` anywhere gives what the zero-padded payload gives.
TEST(CodecDecode, AvailableMatchesZeroPadding) {
  Bytes a = compressible_bytes(33000), plain = {5, 6, 7, 8, 9};
  Bytes src = a;
  src.insert(src.end(), plain.begin(), plain.end());
  auto enc = compress_payload(a.data(), uint32_t(a.size()));
  ASSERT_TRUE(enc.has_value());
  std::vector<Bytes> chunks;
  for (const ChunkRef& c : list_chunks(*enc))
    chunks.emplace_back(enc->begin() + long(c.pos), enc->begin() + long(c.pos + c.length));
  chunks.push_back(plain);
  Bytes p = build_payload(uint32_t(src.size()), chunks);
  const uint32_t stored = uint32_t(p.size() + 64);
  for (size_t cut = 0; cut <= p.size(); ++cut) {
    Bytes padded(stored, 0);
    std::memcpy(padded.data(), p.data(), cut);
    DecodeResult want = decode_payload(padded.data(), padded.size(), stored);
    DecodeResult got = decode_payload(p.data(), cut, stored);
    ASSERT_EQ(got.status, want.status) << cut;
    ASSERT_TRUE(got.content == want.content) << cut;
  }
}

// A buffer handed in is decoded into, whatever it held, and nothing else is
// allocated for the content.
TEST(CodecDecode, IntoGivenStorage) {
  const Bytes src = half_compressible_bytes(3 * 32768 + 5);
  const Bytes payload = payload_of_blocks(src, zlib9_block);
  ByteBuffer storage(src.size() + 100, 0xAA);
  const uint8_t* memory = storage.data();
  const DecodeResult r =
      decode_payload(payload.data(), payload.size(), uint32_t(payload.size()), std::move(storage));
  expect_ok(r, src);
  EXPECT_EQ(r.content.data(), memory);
}

// Each failure of a whole payload is told by its status: a total the chunks
// do not make, a chunk that is no zlib stream.
TEST(CodecDecode, FailuresByStatus) {
  const Bytes five = {5, 0, 0, 0};
  const Bytes junk = build_payload(5, {Bytes{0x78, 0xFF, 0xFF}});
  const Bytes ok = build_payload(3, {Bytes{1, 2, 3}});
  EXPECT_EQ(decode_payload(five.data(), 4, 4).status, DecodeStatus::length_mismatch);
  EXPECT_EQ(decode_payload(junk.data(), junk.size(), uint32_t(junk.size())).status,
            DecodeStatus::zlib_error);
  const DecodeResult r = decode_payload(ok.data(), ok.size(), uint32_t(ok.size()));
  ASSERT_EQ(r.status, DecodeStatus::ok);
  EXPECT_TRUE(r.content == ByteBuffer({1, 2, 3}));
}

// --------------------------------------------------------------------------
// The chunk inflater against zlib's `uncompress`

// A zlib header, the deflate data and the adler32 of `output`.
Bytes zlib_frame(const Bytes& deflate, const Bytes& output) {
  Bytes out = {0x78, 0x9C};
  out.insert(out.end(), deflate.begin(), deflate.end());
  const uint32_t adler = uint32_t(adler32(1, output.data(), uInt(output.size())));
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(adler >> shift));
  return out;
}

// A stream of two blocks (a full flush in between) or with a preset dictionary.
Bytes deflate_stream(const Bytes& src, bool flush_midway, const Bytes& dictionary = {}) {
  z_stream z{};
  EXPECT_EQ(deflateInit(&z, 9), Z_OK);
  if (!dictionary.empty()) deflateSetDictionary(&z, dictionary.data(), uInt(dictionary.size()));
  Bytes out(deflateBound(&z, uLong(src.size())) + 64);
  z.next_in = const_cast<Bytef*>(src.data());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  z.avail_in = uInt(flush_midway ? src.size() / 2 : src.size());
  if (flush_midway) deflate(&z, Z_FULL_FLUSH);
  z.avail_in = uInt(src.size() - (z.next_in - src.data()));
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Hand-made deflate data. The dynamic blocks code the lengths with 18 (a run
// of zeros) in 1 bit and the lengths 1 and 9 in 2; their length code has just
// 'a' and end-of-block, their distance code one length-1 code, and their data
// is 'a' then end-of-block.
const Bytes kDynamicA = {0x05, 0xe0, 0x81, 0x00, 0x10, 0x00, 0x00,
                         0x00, 0x20, 0xb0, 0xe6, 0x2f, 0x51, 0x02};
// The same declaring 288 length codes, the last 31 of them zero.
const Bytes kDynamic288Lengths = {0xfd, 0xe0, 0x81, 0x00, 0x10, 0x00, 0x00, 0x00,
                                  0x20, 0xb0, 0xe6, 0x2f, 0x11, 0x4a, 0x02};
// The same declaring 32 distance codes, the last 31 of them zero.
const Bytes kDynamic32Distances = {0x05, 0xff, 0x81, 0x00, 0x10, 0x00, 0x00, 0x00,
                                   0x20, 0xb0, 0xe6, 0x2f, 0x51, 0x28, 0x02};
// The same with the distance code's length a run of 11 zeros, 10 past the
// declared codes.
const Bytes kDynamicRepeatPastEnd = {0x05, 0xe0, 0x81, 0x00, 0x10, 0x00, 0x00,
                                     0x00, 0x20, 0xb0, 0xe6, 0x2f, 0x11, 0x80};
// Dynamic blocks coding 'a', then length 3 (symbol 257) at a distance, then
// end-of-block, with an empty distance code (the distance a 0 bit) and with
// one one-bit distance codeword, written as 1.
const Bytes kDynamicEmptyDistanceCode = {0x0d, 0xe0, 0x01, 0x09, 0x00, 0x00, 0x00, 0x80,
                                         0x20, 0x6c, 0xed, 0xff, 0x89, 0x24, 0x06};
const Bytes kDynamicSingleDistanceCodewordOne = {0x0d, 0xe0, 0x01, 0x09, 0x00, 0x00, 0x00, 0x80,
                                                 0x20, 0x6c, 0xed, 0xff, 0x89, 0x34, 0x07};
// A dynamic block whose length code is end-of-block alone, written as 1.
const Bytes kDynamicSingleLengthCodewordOne = {0x05, 0xe0, 0x01, 0x09, 0x00, 0x00, 0x00,
                                               0x80, 0x20, 0xfc, 0x7f, 0x2d, 0x01};
// A fixed-code block: 'a', length symbol 286 at distance 1, end-of-block.
const Bytes kFixedLength286 = {0x4b, 0x1c, 0x03, 0x00};
// A fixed-code block: length 3 at distance symbol 30, end-of-block.
const Bytes kFixedDistance30 = {0x03, 0x3e, 0x00, 0x00, 0x00};

// A stored block of n bytes 'z', not the last.
Bytes stored_block(uint16_t n) {
  Bytes out = {0x00, uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)};
  out.insert(out.end(), n, 'z');
  return out;
}

Bytes deflate_with(const Bytes& src, int level, int strategy) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 15, 8, strategy), Z_OK);
  Bytes out(deflateBound(&z, uLong(src.size())));
  z.next_in = const_cast<Bytef*>(src.data());
  z.avail_in = uInt(src.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct InflateRow {
  const char* name;
  Bytes chunk;
  bool ok;  // what `uncompress` into 65536 bytes gives
  // A hand-made construct that zlib refuses and libdeflate takes: what the
  // inflater gives where it is libdeflate.
  std::optional<Bytes> libdeflate_output = std::nullopt;
};

std::vector<InflateRow> inflate_rows() {
  const Bytes text = compressible_bytes(5000);
  const Bytes valid = zlib_compress(text);
  const Bytes big = compressible_bytes(65537);
  Bytes trailing = valid;
  trailing.insert(trailing.end(), {0x78, 0x9C, 0x03, 0x00});
  Bytes bad_adler = valid;
  bad_adler.back() ^= 1;
  Bytes bad_fcheck = valid;
  bad_fcheck[1] ^= 1;
  Bytes cinfo8 = valid;
  cinfo8[0] = 0x88;
  cinfo8[1] = uint8_t(31 - 0x8800 % 31);
  Bytes corrupt = {0x78, 0x9C, 0x07, 0x00, 0x00, 0x00, 0x00, 0x01};  // block type 3
  Bytes long_match = stored_block(40000);
  long_match.insert(long_match.end(), kFixedDistance30.begin(), kFixedDistance30.end());
  const Bytes a(1, 'a');
  const Bytes aaaa(4, 'a');
  const Bytes half = half_compressible_bytes(32768);
  return {
      {"level 1", zlib_compress(half, 1), true},
      {"level 2", zlib_compress(half, 2), true},
      {"level 3", zlib_compress(half, 3), true},
      {"level 4", zlib_compress(half, 4), true},
      {"level 5", zlib_compress(half, 5), true},
      {"level 6", zlib_compress(half, 6), true},
      {"level 7", zlib_compress(half, 7), true},
      {"level 8", zlib_compress(half, 8), true},
      {"level 9", zlib_compress(half, 9), true},
      {"filtered", deflate_with(half, 6, Z_FILTERED), true},
      {"Huffman only", deflate_with(half, 6, Z_HUFFMAN_ONLY), true},
      {"run-length", deflate_with(half, 6, Z_RLE), true},
      {"fixed codes only", deflate_with(half, 6, Z_FIXED), true},
      {"valid", valid, true},
      {"empty input", {}, false},
      {"corrupt deflate data", corrupt, false},
      {"inflates past 65536", zlib_compress(big), false},
      {"inflates to exactly 65536", zlib_compress(Bytes(big.begin(), big.end() - 1)), true},
      {"cut", Bytes(valid.begin(), valid.begin() + std::ptrdiff_t(valid.size() / 2)), false},
      {"trailing bytes", trailing, true},
      {"bad adler32", bad_adler, false},
      {"FDICT", deflate_stream(text, false, compressible_bytes(300)), false},
      {"bad FCHECK", bad_fcheck, false},
      {"CINFO 8", cinfo8, false},
      {"fixed codes", zlib_compress(Bytes(text.begin(), text.begin() + 40)), true},
      {"two blocks", deflate_stream(text, true), true},
      {"stored", zlib_compress(text, 0), true},
      {"hand-made dynamic block", zlib_frame(kDynamicA, a), true},
      {"288 length codes", zlib_frame(kDynamic288Lengths, a), false, a},
      {"32 distance codes", zlib_frame(kDynamic32Distances, a), false, a},
      {"code length repeat past the codes", zlib_frame(kDynamicRepeatPastEnd, a), false, a},
      {"length symbol 286", zlib_frame(kFixedLength286, Bytes(259, 'a')), false, Bytes(259, 'a')},
      {"distance symbol 30", zlib_frame(long_match, Bytes(40003, 'z')), false, Bytes(40003, 'z')},
      {"distance with an empty distance code", zlib_frame(kDynamicEmptyDistanceCode, aaaa), false,
       aaaa},
      {"one-bit distance codeword 1", zlib_frame(kDynamicSingleDistanceCodewordOne, aaaa), false,
       aaaa},
      {"one-bit length codeword 1", zlib_frame(kDynamicSingleLengthCodewordOne, {}), false,
       Bytes{}},
  };
}

TEST(InflateChunk, OutcomeOfUncompress) {
  for (const InflateRow& row : inflate_rows()) {
    SCOPED_TRACE(row.name);
    Bytes want(65536);
    uLongf want_length = want.size();
    const bool want_ok =
        uncompress(want.data(), &want_length, row.chunk.data(), uLong(row.chunk.size())) == Z_OK;
    EXPECT_EQ(want_ok, row.ok);
    Bytes got(65536);
    uint32_t produced = 12345;
    const bool ok =
        inflate_zlib_chunk(row.chunk.data(), row.chunk.size(), got.data(), 65536, &produced);
#if LINKDATA_INFLATES_WITH_LIBDEFLATE
    if (row.libdeflate_output) {
      EXPECT_TRUE(ok);
      ASSERT_EQ(produced, row.libdeflate_output->size());
      EXPECT_TRUE(
          std::equal(row.libdeflate_output->begin(), row.libdeflate_output->end(), got.begin()));
      continue;
    }
#endif
    EXPECT_EQ(ok, row.ok);
    if (!ok || !want_ok) {
      EXPECT_EQ(produced, 0u);
      continue;
    }
    ASSERT_EQ(produced, want_length);
    EXPECT_EQ(std::memcmp(got.data(), want.data(), produced), 0);
  }
}

}  // namespace
}  // namespace linkdata
