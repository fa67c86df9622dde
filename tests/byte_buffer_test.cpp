// Tests of the store of reusable byte buffers.
#include "platform/byte_buffer.h"

#include <gtest/gtest.h>

namespace linkdata {
namespace {

ByteBuffer with_capacity(size_t n) {
  ByteBuffer b;
  b.reserve(n);
  b.resize(n / 2);
  return b;
}

TEST(BufferStore, TakesTheSmallestThatFitsEmptied) {
  BufferStore store(8, 1 << 20, 1 << 20);
  store.give(with_capacity(20000));  // lets the store keep up to 20000 bytes
  EXPECT_EQ(store.take(1).capacity(), 20000u);
  for (size_t n : {100, 10000, 1000}) store.give(with_capacity(n));
  EXPECT_EQ(store.kept_bytes(), 11100u);

  ByteBuffer b = store.take(500);
  EXPECT_EQ(b.capacity(), 1000u);
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(store.kept_bytes(), 10100u);

  EXPECT_EQ(store.take(50).capacity(), 100u);
  // None has the room: the largest, to grow, rather than another buffer.
  EXPECT_EQ(store.take(20000).capacity(), 10000u);
  EXPECT_EQ(store.kept_bytes(), 0u);
  EXPECT_EQ(store.take(1).capacity(), 0u);  // none kept: a new one
}

// What a lent buffer may cost beyond the need: a kept buffer goes to a need
// of at least a quarter of it, and never to a need so small that most of the
// buffer would sit resident and unused while lent (at most four times the
// need and 256 KiB more); small kept buffers go to any need.
TEST(BufferStore, LendsABufferOnlyWithinABoundOfTheNeed) {
  constexpr size_t kKept = size_t(1) << 22;
  for (size_t need :
       {size_t(1), size_t(100), kKept / 64, kKept / 16, kKept / 8, kKept / 4, kKept / 2, kKept}) {
    SCOPED_TRACE(need);
    BufferStore store(8, kKept, kKept);
    store.give(with_capacity(kKept));
    const size_t lent = store.take(need).capacity();
    EXPECT_LE(lent, 4 * need + 256 * 1024);
    if (need >= kKept / 4) {
      EXPECT_EQ(lent, kKept);  // reused rather than asked for anew
    }
  }
  BufferStore store(8, kKept, kKept);
  store.give(with_capacity(65536));
  EXPECT_EQ(store.take(1).capacity(), 65536u);
}

struct LimitRow {
  const char* name;
  size_t max_buffers, max_buffer_bytes, max_bytes;
  size_t primed;  // a buffer given and taken back first: the largest given so far
  std::vector<size_t> given;
  std::vector<size_t> kept;  // capacities kept, smallest first
};

TEST(BufferStore, KeepsWithinItsLimitsDroppingTheSmallest) {
  const std::vector<LimitRow> rows = {
      {"count", 2, 1000, 10000, 1000, {300, 100, 200}, {200, 300}},
      {"one buffer's size", 8, 1000, 10000, 1000, {300, 1001, 600}, {300, 600}},
      {"total size", 8, 1000, 700, 700, {300, 400, 250}, {300, 400}},
      {"the largest given so far", 8, 1000, 10000, 0, {300, 400, 350}, {400}},
      {"nothing to keep", 8, 1000, 10000, 0, {0}, {}},
      {"no room at all", 0, 1000, 10000, 0, {300}, {}},
  };
  for (const LimitRow& row : rows) {
    SCOPED_TRACE(row.name);
    BufferStore store(row.max_buffers, row.max_buffer_bytes, row.max_bytes);
    if (row.primed != 0) {
      store.give(with_capacity(row.primed));
      EXPECT_EQ(store.take(1).capacity(), row.primed);
    }
    for (size_t n : row.given) store.give(with_capacity(n));
    size_t total = 0;
    for (size_t n : row.kept) total += n;
    EXPECT_EQ(store.kept_bytes(), total);
    for (size_t n : row.kept) EXPECT_EQ(store.take(1).capacity(), n);
    EXPECT_EQ(store.kept_bytes(), 0u);
  }
}

}  // namespace
}  // namespace linkdata
