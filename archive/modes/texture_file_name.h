// The names of texture files under a texture folder, built and read in one
// place: <folder>/<entry>/<sub-index>_<texture index>.dds or .png. Export's
// DDS and PNG writers build them; import and the gallery read them back with
// the same rule, so that a file import would take is a file the gallery
// shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace linkdata {

enum class TextureFileType { dds, png };

// "<sub>_<t>.dds" or ".png": the numbers in plain decimal.
std::wstring texture_file_name(uint32_t sub_index, uint32_t texture_index, TextureFileType type);

// <texture_dir>/<entry>, with the platform's separator.
std::wstring entry_texture_dir(const std::wstring& texture_dir, uint32_t entry_number);

// <texture_dir>/<entry>/<sub>_<t>.dds or .png.
std::wstring texture_file_path(const std::wstring& texture_dir, uint32_t entry_number,
                               uint32_t sub_index, uint32_t texture_index, TextureFileType type);

// A number in a texture file's name or its folder's: decimal digits only,
// leading zeros allowed; a number beyond 64 bits saturates at UINT64_MAX, so
// that it addresses nothing that exists. Nothing for any other text.
std::optional<uint64_t> texture_name_number(const std::wstring& text);

struct TextureFileName {
  uint64_t sub_index = 0;
  uint64_t texture_index = 0;
  TextureFileType type = TextureFileType::dds;
};

// Reads "<sub>_<t>.dds" or ".png", the extension in any letter case and both
// numbers as texture_name_number reads them. Nothing for any other name.
std::optional<TextureFileName> parse_texture_file_name(const std::wstring& name);

}  // namespace linkdata
