#pragma once

#include <cstdint>
#include <string>

namespace linkdata {

// Exports entries first..last (clamped to the index) of the archive into
// Extracted/<letter>/<n>.data, with DDS files when with_textures is set.
// Returns false when a failure message was printed.
bool run_export(int32_t first, int32_t last, bool with_textures,
                const std::wstring& archive_name, const std::wstring& letter);

}  // namespace linkdata
