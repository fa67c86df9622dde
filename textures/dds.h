// Writing textures as DDS files under the texture directory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "textures/container.h"

namespace linkdata {

constexpr size_t kDdsHeaderSize = 128;

// Header field offsets (magic included).
constexpr size_t kOffSize = 4;
constexpr size_t kOffFlags = 8;
constexpr size_t kOffHeight = 12;
constexpr size_t kOffWidth = 16;
constexpr size_t kOffMipMapCount = 28;
constexpr size_t kOffPfSize = 76;
constexpr size_t kOffPfFlags = 80;
constexpr size_t kOffPfFourCC = 84;
constexpr size_t kOffPfRgbBitCount = 88;
constexpr size_t kOffPfRMask = 92;
constexpr size_t kOffPfGMask = 96;
constexpr size_t kOffPfBMask = 100;
constexpr size_t kOffPfAMask = 104;
constexpr size_t kOffCaps = 108;
constexpr size_t kOffCaps2 = 112;

// The 128-byte header (magic included) for a texture of a format that export
// writes (find_texture_format); the bare template for any other code.
std::array<uint8_t, kDdsHeaderSize> build_dds_header(const TextureDescription& t);

// Whether export writes the texture as a DDS file: a format of the table
// whose data lies within its container.
bool exported_as_dds(const TextureDescription& t);

// Writes one supported texture to <texture_dir>/<entry>/<sub>_<index>.dds.
// False, after a message that names the file, when it cannot be created or
// written; what was written of it is removed.
bool write_dds_texture(const std::wstring& texture_dir, const TextureDescription& t,
                       const uint8_t* container, size_t container_size, uint32_t entry_number,
                       uint32_t sub_index);

// Writes every supported, in-bounds texture of a container; false when any
// of them could not be written. Adds the files written to `written`, if given.
bool extract_textures(const std::wstring& texture_dir, const uint8_t* container,
                      size_t container_size, uint32_t entry_number, uint32_t sub_index,
                      size_t* written = nullptr);
// The same for a container that read_texture_container has described already.
bool extract_textures(const std::wstring& texture_dir,
                      const std::vector<TextureDescription>& textures, const uint8_t* container,
                      size_t container_size, uint32_t entry_number, uint32_t sub_index,
                      size_t* written = nullptr);

}  // namespace linkdata
