// Which bytes of the archive the file of originals has saved: disjoint
// stretches, merged as they are added, so that a byte is saved once however
// often imports overwrite it.
#pragma once

#include <cstdint>
#include <map>

namespace linkdata {

class SavedCoverage {
 public:
  void add(uint64_t start, uint64_t end);
  void clear() { stretches_.clear(); }
  // The first stretch of [at, end) that is not saved yet, `limit` bytes at
  // most, as [*from, *to); false when all of [at, end) is saved.
  bool next_unsaved(uint64_t at, uint64_t end, uint64_t limit, uint64_t* from, uint64_t* to) const;

 private:
  std::map<uint64_t, uint64_t> stretches_;  // start -> end
};

}  // namespace linkdata
