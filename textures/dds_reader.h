// Reading the header of a DDS file that is to replace a texture's pixel
// data: the legacy header (FourCC DXT1 or DXT5, or 32-bit A8R8G8B8) and the
// DX10 extended header (BC1, BC3, B8G8R8A8, each also in its sRGB variant).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "textures/container.h"
#include "textures/dds.h"
#include "textures/texture_formats.h"

namespace linkdata {

// The legacy header (kDdsHeaderSize bytes) and the DX10 extension behind it.
constexpr size_t kDdsDx10HeaderSize = 148;

struct DdsLayout {
  DdsPixels pixels = DdsPixels::dxt5;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t mip_count = 0;  // as the header states it; 0 when it states none
  size_t data_offset = 0;  // where the top level begins
};

enum class DdsHeaderStatus { ok, not_accepted, cut_short };

// Reads the header from the first `size` bytes of a file (more may follow;
// kDdsDx10HeaderSize bytes are always enough). cut_short: a DDS magic whose
// header the bytes do not hold in full.
DdsHeaderStatus read_dds_header(const uint8_t* data, size_t size, DdsLayout* out);

enum class DdsFit { fits, mismatch, incomplete };

// Whether a DDS file of `file_size` bytes can replace the pixel data of a
// texture: same pixel format, width and height, and at least the levels and
// bytes that the container holds for it (further levels are not used).
DdsFit dds_fits_texture(const DdsLayout& dds, uint64_t file_size, const TextureDescription& t);

// The format's name as messages give it: DXT1, DXT5 or A8R8G8B8.
std::wstring pixels_name(DdsPixels pixels);

// The whole levels that a DDS file of `file_size` bytes holds: those its
// header states (with none stated, every level down to 1x1), fewer when its
// bytes end before them.
uint32_t dds_levels_held(const DdsLayout& dds, uint64_t file_size);

}  // namespace linkdata
