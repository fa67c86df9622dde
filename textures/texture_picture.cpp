// Texture pictures: decoded and encoded as PNG bytes.
#include "textures/texture_picture.h"

#include <new>

#include "textures/png_picture.h"
#include "textures/texture_formats.h"
#include "textures/texture_pixels.h"

namespace linkdata {

std::string picture_note(const TextureDescription& t) {
  const TextureFormat* format = find_texture_format(t.format_code);
  return std::string(format != nullptr ? format->name : "") + " " +
         std::to_string(t.levels_present);
}

PictureMade make_texture_picture(const TextureDescription& t, const uint8_t* level,
                                 size_t level_size, const std::string& note,
                                 std::vector<uint8_t>* png) {
  png->clear();
  try {
    const std::vector<uint8_t> rgba =
        decode_to_rgba(t.format_code, t.width, t.height, level, level_size);
    if (!rgba.empty()) *png = encode_png(rgba.data(), t.width, t.height, note);
  } catch (const std::bad_alloc&) {
    *png = std::vector<uint8_t>();
    return PictureMade::out_of_memory;
  }
  return png->empty() ? PictureMade::failed : PictureMade::made;
}

}  // namespace linkdata
