// Writing a texture's top level as a PNG picture beside its DDS file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "textures/container.h"

namespace linkdata {

// <texture_dir>/<entry>/<sub>_<index>.png
std::wstring picture_path(const std::wstring& texture_dir, uint32_t entry_number,
                          uint32_t sub_index, uint32_t texture_index);

// What a picture records about its texture ("DXT5 9": format and levels),
// for the gallery.
std::string picture_note(const TextureDescription& t);

enum class PictureWrite { written, failed, too_large, out_of_memory };

// Decodes the top level (`level`, `level_size` bytes) of a texture that
// export writes as DDS, and writes it to `path` as an RGBA PNG: written,
// failed, or out_of_memory when memory ran out while it was decoded or
// encoded. Its size must be one picture_size_allowed takes, and the folder
// must exist. On failure no file is left at `path`. Prints nothing.
PictureWrite write_texture_picture(const TextureDescription& t, const uint8_t* level,
                                   size_t level_size, const std::wstring& path);

}  // namespace linkdata
