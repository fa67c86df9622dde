#pragma once

#include <cstdint>
#include <string>

namespace linkdata {

// Puts back every byte the file of originals holds, cuts the archive to its
// original length and removes the file. Returns false when a failure message
// was printed. With a letter, the gallery of its exported pictures, where
// there is one, learns which entries changed (as after an import).
bool run_restore_whole(const std::wstring& archive_name, const std::wstring& letter = L"");

// Puts back only the saved bytes of entries first..last (clamped as export
// clamps its range); the file of originals keeps the others. Returns false
// when a failure message was printed. The letter as for a whole restore.
bool run_restore_range(const std::wstring& archive_name, int32_t first, int32_t last,
                       const std::wstring& letter = L"");

}  // namespace linkdata
