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

}  // namespace linkdata
