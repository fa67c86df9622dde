#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "archive/format/format.h"
#include "platform/platform.h"

namespace linkdata {

// What export writes of the textures it finds: DDS files (the y flag), PNG
// pictures with the gallery page (the p flag), or both.
struct TextureOutput {
  bool dds = false;
  bool pictures = false;
};

// Exports entries first..last (clamped to the index) of the archive into
// Extracted/<letter>/<n>.data, with the texture files asked for. Returns
// false when a failure message was printed. On a console it ends with a
// summary line.
bool run_export(int32_t first, int32_t last, TextureOutput textures,
                const std::wstring& archive_name, const std::wstring& letter);

}  // namespace linkdata
