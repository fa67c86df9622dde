#pragma once

#include <cstdint>
#include <string>

namespace linkdata {

// Puts back every byte the file of originals holds, cuts the archive to its
// original length and removes the file. Returns false when a failure message
// was printed.
bool run_restore_whole(const std::wstring& archive_name);

// Puts back only the saved bytes of entries first..last (clamped as export
// clamps its range); the file of originals keeps the others. Returns false
// when a failure message was printed.
bool run_restore_range(const std::wstring& archive_name, int32_t first, int32_t last);

}  // namespace linkdata
