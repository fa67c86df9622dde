#include "archive/safety/saved_coverage.h"

#include <algorithm>
#include <iterator>

namespace linkdata {

void SavedCoverage::add(uint64_t start, uint64_t end) {
  auto it = stretches_.upper_bound(start);
  if (it != stretches_.begin() && std::prev(it)->second >= start) {
    --it;
    start = it->first;
  }
  while (it != stretches_.end() && it->first <= end) {
    end = std::max(end, it->second);
    it = stretches_.erase(it);
  }
  stretches_[start] = end;
}

bool SavedCoverage::next_unsaved(uint64_t at, uint64_t end, uint64_t limit, uint64_t* from,
                                 uint64_t* to) const {
  while (at < end) {
    auto it = stretches_.upper_bound(at);
    if (it != stretches_.begin() && std::prev(it)->second > at) {
      at = std::prev(it)->second;
      continue;
    }
    *from = at;
    *to = std::min({it == stretches_.end() ? end : std::min(end, it->first), at + limit});
    return true;
  }
  return false;
}

}  // namespace linkdata
