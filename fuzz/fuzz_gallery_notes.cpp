// The gallery's two note files beside an entry's pictures, read back from a
// folder any program may have written: any bytes give at most the bounded
// count of well-formed lines, or no identity; what is read is written again
// and read back the same, so that the page never shows what the notes do not
// hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/modes/gallery_notes.h"
#include "fuzz_workdir.h"

using namespace linkdata;

namespace {

bool same(const SkippedTexture& a, const SkippedTexture& b) {
  return a.sub_index == b.sub_index && a.texture_index == b.texture_index &&
         a.format_code == b.format_code && a.width == b.width && a.height == b.height &&
         a.mip_count == b.mip_count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::enter_workdir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::write_bytes("skipped.txt", data, size);
  fuzz_support::write_bytes("archive-entry.txt", data, size);
  bool not_regular = false;
  const std::vector<SkippedTexture> skipped = read_skipped_textures(L".", &not_regular);
  if (not_regular || skipped.size() > kMaxSkippedRead) std::abort();
  if (!write_skipped_textures(L".", skipped)) std::abort();
  const std::vector<SkippedTexture> again = read_skipped_textures(L".", &not_regular);
  if (again.size() != skipped.size()) std::abort();
  for (size_t i = 0; i < again.size(); ++i) {
    if (!same(again[i], skipped[i])) std::abort();
  }

  const std::optional<std::string> identity = read_entry_identity(L".", &not_regular);
  if (not_regular) std::abort();
  if (identity) {
    // "<size>:<8 lower-case hex digits>", as entry_identity makes it.
    const size_t colon = identity->find(':');
    if (colon == std::string::npos || colon == 0 || identity->size() != colon + 9) std::abort();
    for (size_t i = colon + 1; i < identity->size(); ++i) {
      const char c = (*identity)[i];
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) std::abort();
    }
    if (!write_entry_identity(L".", *identity)) std::abort();
    if (read_entry_identity(L".", &not_regular) != identity) std::abort();
  }
  return 0;
}
