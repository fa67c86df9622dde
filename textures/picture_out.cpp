// Texture pictures: decoded, encoded as PNG and written whole.
#include "textures/picture_out.h"

#include <new>
#include <vector>

#include "platform/platform.h"
#include "platform/whole_file.h"
#include "platform/working_paths.h"
#include "textures/png_picture.h"
#include "textures/texture_formats.h"
#include "textures/texture_pixels.h"

namespace linkdata {

std::wstring picture_path(const std::wstring& texture_dir, uint32_t entry_number,
                          uint32_t sub_index, uint32_t texture_index) {
  const std::wstring entry_dir = join_path(texture_dir, std::to_wstring(entry_number));
  return join_path(entry_dir,
                   std::to_wstring(sub_index) + L"_" + std::to_wstring(texture_index) + L".png");
}

std::string picture_note(const TextureDescription& t) {
  const TextureFormat* format = find_texture_format(t.format_code);
  return std::string(format != nullptr ? format->name : "") + " " +
         std::to_string(t.levels_present);
}

PictureWrite write_texture_picture(const TextureDescription& t, const uint8_t* level,
                                   size_t level_size, const std::wstring& path) {
  std::vector<uint8_t> png;
  try {
    const std::vector<uint8_t> rgba =
        decode_to_rgba(t.format_code, t.width, t.height, level, level_size);
    if (!rgba.empty()) png = encode_png(rgba.data(), t.width, t.height, picture_note(t));
  } catch (const std::bad_alloc&) {
    platform::remove_file(path);
    return PictureWrite::out_of_memory;
  }
  // A picture that cannot be made leaves no file, not even an older one.
  if (png.empty()) {
    platform::remove_file(path);
    return PictureWrite::failed;
  }
  WholeFile file(path);
  if (file.is_open() && file.write_at(0, png.data(), png.size()) && file.finish()) {
    return PictureWrite::written;
  }
  platform::remove_file(path);
  return PictureWrite::failed;
}

}  // namespace linkdata
