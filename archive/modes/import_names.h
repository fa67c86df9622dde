// Which names of the import directory are loose files, in what order, and
// which entry each one addresses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace linkdata {

// Names ending in ".data" (any letter case), in ascending order with letter
// case ignored, as Windows lists a folder; so a run is reproducible and of two
// names for one entry the later one wins.
std::vector<platform::ListedName> loose_files_in_import_order(
    const std::vector<platform::ListedName>& listing);

// The base name (up to the last dot) must read as one decimal floating-point
// number with nothing but white space around it; the entry number is then its
// leading integer. Dot-names and directories give nothing.
std::optional<int32_t> entry_number_of(const platform::ListedName& listed);

// An edited texture where export put it, under the import directory:
// Textures/<entry>/<sub-index>_<texture index>.dds, or .png for a picture
// that import compresses into the texture's format.
struct TextureFile {
  std::wstring path;  // as messages name it, the import directory included
  // Decimal digits only, as export writes them (leading zeros allowed, as
  // for loose files); a number beyond 32 bits saturates and so addresses
  // nothing that exists.
  uint64_t entry = 0;
  uint64_t sub_index = 0;
  uint64_t texture_index = 0;
  bool png = false;
};

// The texture files below import_dir, by entry, sub-index, texture index and
// then name with letter case ignored. Names that do not have that form are
// skipped, as loose files whose names are not numbers are.
std::vector<TextureFile> texture_files_in_import_order(const std::wstring& import_dir);

}  // namespace linkdata
