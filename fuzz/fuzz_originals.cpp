// An import of an arbitrary loose file into an arbitrary archive, then damage
// to the file of originals it wrote, then a whole restore. Input layout:
// byte 0 the loose file's entry number, bytes 1..4 (u32) the archive's
// length, bytes 5..8 (u32) the loose file's length, then the archive bytes,
// the loose file's bytes, and the damage: three bytes each, a position (u16,
// taken modulo the file's length) and a mask xored into the byte there; one
// byte left over cuts the file to that many 256ths of its length. Restore
// must either give back the archive as it was before the import, byte for
// byte, or refuse and change neither the archive nor the file of originals.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/modes/import.h"
#include "archive/modes/restore.h"
#include "fuzz_memory_cap.h"
#include "fuzz_workdir.h"
#include "platform/little_endian.h"
#include "platform/working_paths.h"

namespace {

const char* const kArchive = "LINKDATA_EU_OS_EUNA.A";
const char* const kOriginals = "LINKDATA_EU_OS_EUNA.A-original";

std::vector<uint8_t> damaged(std::vector<uint8_t> file, const uint8_t* damage, size_t size) {
  if (file.empty()) return file;
  for (; size >= 3; damage += 3, size -= 3) {
    file[size_t(damage[0] | damage[1] << 8) % file.size()] ^= damage[2];
  }
  if (size == 1) file.resize(file.size() * damage[0] / 256);
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::enter_workdir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  const uint32_t entry = data[0];
  size_t rest = size - 9;
  const size_t archive_size = linkdata::load_u32le(data + 1) % (rest + 1);
  rest -= archive_size;
  const size_t loose_size = linkdata::load_u32le(data + 5) % (rest + 1);
  const uint8_t* archive = data + 9;
  const uint8_t* loose = archive + archive_size;
  const uint8_t* damage = loose + loose_size;
  const size_t damage_size = rest - loose_size;

  fuzz_support::clear_tree("Import");
  fuzz_support::clear_tree(kOriginals);
  std::filesystem::create_directories("Import/A");
  fuzz_support::write_bytes(kArchive, archive, archive_size);
  fuzz_support::write_bytes("Import/A/" + std::to_string(entry) + ".data", loose, loose_size);

  fuzz_support::CappedRun capped;
  if (!linkdata::run_import(L"LINKDATA_EU_OS_EUNA.", L"A") ||
      !std::filesystem::exists(kOriginals)) {
    return 0;
  }
  const std::vector<uint8_t> modded = fuzz_support::read_bytes(kArchive);
  const std::vector<uint8_t> originals =
      damaged(fuzz_support::read_bytes(kOriginals), damage, damage_size);
  fuzz_support::write_bytes(kOriginals, originals.data(), originals.size());
  if (linkdata::run_restore_whole(L"LINKDATA_EU_OS_EUNA.A")) {
    if (fuzz_support::read_bytes(kArchive) !=
        std::vector<uint8_t>(archive, archive + archive_size)) {
      std::abort();
    }
  } else if (fuzz_support::read_bytes(kArchive) != modded ||
             fuzz_support::read_bytes(kOriginals) != originals) {
    std::abort();
  }
  return 0;
}
