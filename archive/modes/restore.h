#pragma once

#include <cstdint>
#include <string>

namespace linkdata {

// Puts back the bytes the file of originals holds: all of them, with the
// archive cut to its original length and the file removed, or only those of
// entries first..last (clamped as export clamps its range). Returns false
// when a failure message was printed.
bool run_restore(const std::wstring& archive_name, bool whole, int32_t first, int32_t last);

}  // namespace linkdata
