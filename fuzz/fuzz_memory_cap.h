// While a CappedRun is alive, allocations above 16 MiB fail with
// std::bad_alloc, as they would on a machine with little memory (libFuzzer's
// own allocations, outside the runs, are not capped). An archive can
// define contents of gigabytes (a chunk reaching far past the end of the
// file decodes to zeros); with the cap such inputs take the tool's
// out-of-memory path quickly instead of filling memory for seconds per run.
// AddressSanitizer still checks every access: these forward to malloc/free.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace fuzz_support {
constexpr std::size_t kAllocationCap = std::size_t(16) << 20;

inline std::atomic<bool>& capping() {
  static std::atomic<bool> on{false};
  return on;
}

struct CappedRun {
  CappedRun() { capping() = true; }
  ~CappedRun() { capping() = false; }
};

inline void* capped_allocation(std::size_t n) {
  if (n > kAllocationCap && capping()) throw std::bad_alloc();
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
}  // namespace fuzz_support

// Every form that pairs with the plain delete is replaced, so that no block
// from the sanitizer's own operator new reaches free().
void* operator new(std::size_t n) { return fuzz_support::capped_allocation(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return n > fuzz_support::kAllocationCap && fuzz_support::capping() ? nullptr
                                                                     : std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept {
  return operator new(n, tag);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void* operator new[](std::size_t n) { return fuzz_support::capped_allocation(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
