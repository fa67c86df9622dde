// A whole export, textures on, of an arbitrary archive file, over a bounded
// range of entries. Whatever the file claims, the run must end with a result
// and without touching memory it does not own.
#include <cstddef>
#include <cstdint>

#include "archive/modes/export.h"
#include "fuzz_memory_cap.h"
#include "fuzz_workdir.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::enter_workdir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::write_bytes("LINKDATA_EU_OS_EUNA.A", data, size);
  fuzz_support::CappedRun capped;
  linkdata::run_export(0, 15, linkdata::TextureOutput{true, false}, L"LINKDATA_EU_OS_EUNA.A", L"A");
  fuzz_support::clear_tree("Extracted");
  fuzz_support::clear_tree("Import");
  return 0;
}
