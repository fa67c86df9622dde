// A texture's top level as the bytes of a PNG picture: decoded to RGBA and
// encoded with a note about the texture. Nothing is written here
// (archive/modes/picture_export.h writes the files).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "textures/container.h"

namespace linkdata {

// What a picture records about its texture ("DXT5 9": format and levels),
// for the gallery.
std::string picture_note(const TextureDescription& t);

enum class PictureMade { made, failed, out_of_memory };

// Decodes the top level (`level`, `level_size` bytes) of a texture that
// export writes as DDS and encodes it as an RGBA PNG carrying `note`, into
// `png`: made, failed (nothing to decode or encode), or out_of_memory when
// memory ran out on the way. Its size must be one picture_size_allowed takes.
PictureMade make_texture_picture(const TextureDescription& t, const uint8_t* level,
                                 size_t level_size, const std::string& note,
                                 std::vector<uint8_t>* png);

}  // namespace linkdata
