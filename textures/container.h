// Reading a texture container ("GT1G0600"): its texture table and, for each
// texture, format, dimensions, mip count and where its pixel data lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "textures/texture_formats.h"

namespace linkdata {

constexpr char kTextureMagic[8] = {'G', 'T', '1', 'G', '0', '6', '0', '0'};

struct TextureDescription {
  uint32_t texture_index = 0;
  uint8_t format_code = 0;
  uint32_t width = 0;   // top level
  uint32_t height = 0;  // top level
  uint8_t mip_count = 0;
  uint64_t data_position = 0;   // from the start of the container
  uint32_t data_size = 0;       // 0 for unsupported codes
  uint32_t levels_present = 0;  // block formats: mip levels that hold bytes
  // False when the header or the pixel data reach past the container.
  bool in_bounds = false;
};

bool has_texture_magic(const uint8_t* data, size_t size);

// One description per texture table entry, in table order. A table or header
// that lies outside the container ends the list there; a texture whose pixel
// data does not fit is described with in_bounds false.
std::vector<TextureDescription> read_texture_container(const uint8_t* data, size_t size);

// Data size of a mip chain of 4x4 blocks of `block_bytes` bytes, and the
// number of levels that contribute bytes (see chain_bytes).
uint32_t block_data_size(uint32_t width, uint32_t height, uint8_t mip_count, uint32_t block_bytes,
                         uint32_t* levels_present);

}  // namespace linkdata
