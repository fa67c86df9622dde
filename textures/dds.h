// Writing textures as DDS files under the texture directory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "textures/container.h"

namespace linkdata {

constexpr size_t kDdsHeaderSize = 128;

// The 128-byte header (magic included) for a texture of code 1, 6 or 8.
std::array<uint8_t, kDdsHeaderSize> build_dds_header(const TextureDescription& t);

// Writes one supported texture to <texture dir>/<entry>/<sub>_<index>.dds.
void write_dds_texture(const TextureDescription& t, const uint8_t* container,
                       size_t container_size, uint32_t entry_number, uint32_t sub_index);

// Writes every supported, in-bounds texture of a container.
void extract_textures(const uint8_t* container, size_t container_size,
                      uint32_t entry_number, uint32_t sub_index);

}  // namespace linkdata
