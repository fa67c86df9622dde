// The saved stretches of an archive: stretches merge as they are added, and
// what is left unsaved comes in pieces no larger than the block.
#include "archive/safety/saved_coverage.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace linkdata {
namespace {

using Stretches = std::vector<std::pair<uint64_t, uint64_t>>;

// Every unsaved piece of [at, end), walked as a save walks it.
Stretches unsaved(const SavedCoverage& c, uint64_t at, uint64_t end, uint64_t limit) {
  Stretches pieces;
  for (uint64_t from = 0, to = 0; c.next_unsaved(at, end, limit, &from, &to); at = to) {
    pieces.push_back({from, to});
  }
  return pieces;
}

TEST(SavedCoverage, LeavesOnlyTheUnsavedBytesInBoundedPieces) {
  struct Case {
    const char* name;
    Stretches added;
    uint64_t at, end, limit;
    Stretches expected;
  };
  const Case cases[] = {
      {"nothing saved, cut by the limit", {}, 0, 10, 4, {{0, 4}, {4, 8}, {8, 10}}},
      {"adjacent stretches leave no gap", {{2, 5}, {5, 8}}, 0, 10, 100, {{0, 2}, {8, 10}}},
      {"overlapping stretches merge",
       {{10, 20}, {15, 30}, {5, 12}},
       0,
       40,
       100,
       {{0, 5}, {30, 40}}},
      {"a stretch bridging two", {{0, 4}, {6, 8}, {3, 7}}, 0, 10, 100, {{8, 10}}},
      {"a gap between two, under the limit", {{0, 4}, {9, 12}}, 2, 11, 3, {{4, 7}, {7, 9}}},
      {"a stretch inside another", {{0, 10}, {2, 4}}, 5, 12, 100, {{10, 12}}},
      {"all of it saved", {{0, 100}}, 10, 90, 4, {}},
  };
  for (const Case& c : cases) {
    SavedCoverage coverage;
    for (const auto& [start, end] : c.added) coverage.add(start, end);
    EXPECT_EQ(unsaved(coverage, c.at, c.end, c.limit), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace linkdata
