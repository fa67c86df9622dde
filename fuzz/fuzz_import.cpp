// A whole import of an arbitrary loose file into an arbitrary archive file.
// Input layout: byte 0 picks the loose file's entry number, bytes 1..4 (u32,
// little-endian) the archive's length, then the archive bytes, then the loose
// file's bytes. When the import reports success, exporting that entry again
// must give back exactly the loose file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/modes/export.h"
#include "archive/modes/import.h"
#include "fuzz_memory_cap.h"
#include "fuzz_workdir.h"
#include "platform/little_endian.h"
#include "platform/working_paths.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::enter_workdir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint32_t entry = data[0];
  const size_t rest = size - 5;
  const size_t archive_size = linkdata::load_u32le(data + 1) % (rest + 1);
  const uint8_t* archive = data + 5;
  const uint8_t* loose = archive + archive_size;
  const size_t loose_size = rest - archive_size;

  fuzz_support::clear_tree("Import");
  std::filesystem::create_directories("Import/A");
  const std::string name = std::to_string(entry) + ".data";
  fuzz_support::write_bytes("LINKDATA_EU_OS_EUNA.A", archive, archive_size);
  fuzz_support::write_bytes("Import/A/" + name, loose, loose_size);

  fuzz_support::CappedRun capped;
  if (linkdata::run_import(L"LINKDATA_EU_OS_EUNA.", L"A")) {
    fuzz_support::clear_tree("Extracted");
    if (!linkdata::run_export(int32_t(entry), int32_t(entry), linkdata::TextureOutput{},
                              L"LINKDATA_EU_OS_EUNA.A", L"A")) {
      std::abort();
    }
    if (fuzz_support::read_bytes("Extracted/A/" + name) !=
        std::vector<uint8_t>(loose, loose + loose_size)) {
      std::abort();
    }
  }
  fuzz_support::clear_tree("Extracted");
  return 0;
}
