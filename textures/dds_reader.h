// Reading the header of a DDS file that is to replace a texture's pixel
// data: the legacy header and the DX10 extended header, with the pixel
// layouts of the table of DDS layouts (all_dds_layouts).
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

// What a DDS file holds besides its pixel layout: one 2-D texture, or
// several (six faces of a cube, slices of a volume, an array).
enum class DdsShape { plain, cube, volume, array };

struct DdsLayout {
  bool decodable = false;              // a layout that import decodes:
  DdsPixels pixels = DdsPixels::dxt5;  // this one
  // The file's format as refusals name it: the table's name, or for a layout
  // it does not know its FourCC, its DXGI number or its masks (X1R5G5B5).
  std::wstring name;
  PixelBlocks blocks;  // bytes 0 where the size of its levels is not known
  DdsShape shape = DdsShape::plain;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t mip_count = 0;  // as the header states it; 0 when it states none
  size_t data_offset = 0;  // where the top level begins
};

enum class DdsHeaderStatus { ok, undecodable, not_accepted, cut_short };

// Reads the header from the first `size` bytes of a file (more may follow;
// kDdsDx10HeaderSize bytes are always enough). ok: one 2-D texture in a
// layout that import decodes. undecodable: any other layout, or a cube map,
// volume or array, described by its name, shape, size and levels.
// not_accepted: no DDS file, or a header whose sizes or pixel format are
// damaged. cut_short: a DDS magic whose header the bytes do not hold in full.
DdsHeaderStatus read_dds_header(const uint8_t* data, size_t size, DdsLayout* out);

enum class DdsFit { fits, mismatch, incomplete };

// Whether a DDS file of `file_size` bytes can replace the pixel data of a
// texture byte for byte: same pixel format, width and height, and at least
// the levels and bytes that the container holds for it (further levels are
// not used).
DdsFit dds_fits_texture(const DdsLayout& dds, uint64_t file_size, const TextureDescription& t);

// The whole levels that a DDS file of `file_size` bytes holds: those its
// header states (with none stated, every level down to 1x1), fewer when its
// bytes end before them. For a layout whose level sizes are not known, the
// levels its header states (at least 1).
uint32_t dds_levels_held(const DdsLayout& dds, uint64_t file_size);

// Whether the file's bytes end before the levels its header states: a file
// cut short, or one still being saved. A file that states no count is whole
// with whatever levels its bytes hold.
bool dds_cut_short(const DdsLayout& dds, uint64_t file_size);

}  // namespace linkdata
