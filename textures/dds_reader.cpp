// Reading DDS headers written by export and by common image tools.
#include "textures/dds_reader.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "platform/little_endian.h"
#include "textures/dds.h"

namespace linkdata {
namespace {

constexpr uint32_t kCaps2Cubemap = 0x200;
constexpr uint32_t kCaps2Volume = 0x200000;

constexpr uint32_t kDimensionTexture2d = 3;
constexpr uint32_t kDimensionTexture3d = 4;
constexpr uint32_t kMiscTextureCube = 0x4;

constexpr uint32_t kDdsPfAlpha = 0x2;
constexpr uint32_t kDdsPfLuminance = 0x20000;

std::wstring ascii(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The file's pixels as a row of the table describes them.
void take_row(const DdsLayoutFormat& row, DdsLayout* out) {
  out->decodable = row.decode != nullptr;
  out->pixels = row.pixels;
  out->name = ascii(row.name);
  out->blocks = row.blocks;
}

DdsHeaderStatus status_of(const DdsLayoutFormat& row) {
  return row.decode != nullptr ? DdsHeaderStatus::ok : DdsHeaderStatus::undecodable;
}

// The row whose DXGI formats (plain or sRGB) include `dxgi`; null for none.
const DdsLayoutFormat* row_of_dxgi(uint32_t dxgi) {
  for (const DdsLayoutFormat& f : all_dds_layouts()) {
    if (dxgi != 0 && (f.dxgi_formats[0] == dxgi || f.dxgi_formats[1] == dxgi)) return &f;
  }
  return nullptr;
}

// The row that a FourCC names; null for none.
const DdsLayoutFormat* row_of_four_cc(const uint8_t* four_cc) {
  for (const DdsLayoutFormat& f : all_dds_layouts()) {
    if ((f.dds.flags & kDdsPfFourCC) != 0 && std::memcmp(four_cc, f.dds.four_cc, 4) == 0) {
      return &f;
    }
  }
  return nullptr;
}

// The row of plain pixels with this bit count and these masks; null for none.
const DdsLayoutFormat* row_of_masks(const uint8_t* data) {
  for (const DdsLayoutFormat& f : all_dds_layouts()) {
    const DdsPixelFormat& pf = f.dds;
    if ((pf.flags & kDdsPfRgb) != 0 && load_u32le(data + kOffPfRgbBitCount) == pf.rgb_bit_count &&
        load_u32le(data + kOffPfRMask) == pf.r_mask &&
        load_u32le(data + kOffPfGMask) == pf.g_mask &&
        load_u32le(data + kOffPfBMask) == pf.b_mask &&
        load_u32le(data + kOffPfAMask) == pf.a_mask) {
      return &f;
    }
  }
  return nullptr;
}

int bits_set(uint32_t mask) {
  int n = 0;
  for (; mask != 0; mask &= mask - 1) ++n;
  return n;
}

// Plain pixels that no row knows, named as D3D names its formats: the
// channels from the highest bits down, each with its bit count, X for bits
// that no channel uses (X1R5G5B5, A8L8).
// False for masks that overlap or need more bits than a pixel has: a
// damaged header.
bool name_plain_pixels(const uint8_t* data, uint32_t flags, DdsLayout* out) {
  const uint32_t bits = load_u32le(data + kOffPfRgbBitCount);
  struct Channel {
    char letter;
    uint32_t mask;
  };
  Channel channels[4] = {
      {(flags & kDdsPfLuminance) != 0 ? 'L' : 'R', load_u32le(data + kOffPfRMask)},
      {'G', load_u32le(data + kOffPfGMask)},
      {'B', load_u32le(data + kOffPfBMask)},
      {'A', load_u32le(data + kOffPfAMask)}};
  std::sort(std::begin(channels), std::end(channels),
            [](const Channel& a, const Channel& b) { return a.mask > b.mask; });
  std::string name;
  uint32_t all = 0;
  int used = 0;
  for (const Channel& c : channels) {
    if (c.mask == 0) continue;
    if ((all & c.mask) != 0) return false;
    all |= c.mask;
    name += c.letter + std::to_string(bits_set(c.mask));
    used += bits_set(c.mask);
  }
  if (bits == 0 || bits > 32 || (bits < 32 && (all >> bits) != 0)) return false;
  if (used < int(bits)) name = "X" + std::to_string(int(bits) - used) + name;
  out->name = ascii(name);
  out->blocks = PixelBlocks{1, bits % 8 == 0 ? bits / 8 : 0};
  return true;
}

// A FourCC that no row knows: its letters where they are printable, its
// number otherwise (D3D's numbered formats).
void name_four_cc(const uint8_t* four_cc, DdsLayout* out) {
  std::string name;
  bool printable = true;
  for (int i = 0; i < 4; ++i) printable = printable && four_cc[i] >= 0x21 && four_cc[i] < 0x7F;
  if (printable) {
    name.assign(reinterpret_cast<const char*>(four_cc), 4);
  } else {
    name = std::to_string(load_u32le(four_cc));
  }
  out->name = ascii(name);
  out->blocks = PixelBlocks{};
}

DdsHeaderStatus read_dx10(const uint8_t* data, size_t size, DdsLayout* out) {
  if (size < kDdsDx10HeaderSize) return DdsHeaderStatus::cut_short;
  // A 2-D texture, a cube (whose faces are 2-D textures) or an array of
  // them, or a volume; a 1-D texture or a buffer is no picture.
  const uint32_t dimension = load_u32le(data + 132), elements = load_u32le(data + 140);
  if ((dimension != kDimensionTexture2d && dimension != kDimensionTexture3d) || elements == 0) {
    return DdsHeaderStatus::not_accepted;
  }
  if (dimension == kDimensionTexture3d) {
    out->shape = DdsShape::volume;
  } else if ((load_u32le(data + 136) & kMiscTextureCube) != 0) {
    out->shape = DdsShape::cube;
  } else if (elements > 1) {
    out->shape = DdsShape::array;
  }
  out->data_offset = kDdsDx10HeaderSize;
  const uint32_t dxgi = load_u32le(data + 128);
  const DdsLayoutFormat* row = row_of_dxgi(dxgi);
  if (row == nullptr) {
    out->name = L"DXGI_FORMAT " + std::to_wstring(dxgi);
    out->blocks = PixelBlocks{};
    return DdsHeaderStatus::undecodable;
  }
  take_row(*row, out);
  return status_of(*row);
}

bool same_pixels(const DdsLayout& dds, uint8_t format_code) {
  const TextureFormat* format = find_texture_format(format_code);
  return dds.decodable && format != nullptr && format->dds_pixels == dds.pixels;
}

}  // namespace

DdsHeaderStatus read_dds_header(const uint8_t* data, size_t size, DdsLayout* out) {
  if (data == nullptr || size < 4 || std::memcmp(data, "DDS ", 4) != 0) {
    return DdsHeaderStatus::not_accepted;
  }
  if (size < kDdsHeaderSize) return DdsHeaderStatus::cut_short;
  if (load_u32le(data + kOffSize) != 124 || load_u32le(data + kOffPfSize) != 32) {
    return DdsHeaderStatus::not_accepted;
  }
  DdsLayout d;
  const uint32_t caps2 = load_u32le(data + kOffCaps2);
  if ((caps2 & kCaps2Volume) != 0) {
    d.shape = DdsShape::volume;
  } else if ((caps2 & kCaps2Cubemap) != 0) {
    d.shape = DdsShape::cube;
  }
  d.height = load_u32le(data + kOffHeight);
  d.width = load_u32le(data + kOffWidth);
  d.mip_count = load_u32le(data + kOffMipMapCount);
  d.data_offset = kDdsHeaderSize;
  const uint32_t pf_flags = load_u32le(data + kOffPfFlags);
  const uint8_t* four_cc = data + kOffPfFourCC;
  DdsHeaderStatus status = DdsHeaderStatus::undecodable;
  if ((pf_flags & kDdsPfFourCC) != 0) {
    if (std::memcmp(four_cc, "DX10", 4) == 0) {
      status = read_dx10(data, size, &d);
      if (status == DdsHeaderStatus::cut_short || status == DdsHeaderStatus::not_accepted) {
        return status;
      }
    } else if (const DdsLayoutFormat* row = row_of_four_cc(four_cc)) {
      take_row(*row, &d);
      status = status_of(*row);
    } else {
      name_four_cc(four_cc, &d);
    }
  } else if ((pf_flags & (kDdsPfRgb | kDdsPfLuminance | kDdsPfAlpha)) != 0) {
    const DdsLayoutFormat* row = (pf_flags & kDdsPfRgb) != 0 ? row_of_masks(data) : nullptr;
    if (row != nullptr) {
      take_row(*row, &d);
      status = status_of(*row);
    } else if (!name_plain_pixels(data, pf_flags, &d)) {
      return DdsHeaderStatus::not_accepted;
    }
  } else {
    return DdsHeaderStatus::not_accepted;  // no pixel format at all
  }
  // Import takes one 2-D texture: which face or slice was meant is anyone's guess.
  if (d.shape != DdsShape::plain) {
    d.decodable = false;
    status = DdsHeaderStatus::undecodable;
  }
  *out = d;
  return status;
}

DdsFit dds_fits_texture(const DdsLayout& dds, uint64_t file_size, const TextureDescription& t) {
  if (!same_pixels(dds, t.format_code) || dds.width != t.width || dds.height != t.height) {
    return DdsFit::mismatch;
  }
  // The container's levels are the file's first levels, byte for byte: each
  // level that the container counts has both sides at least 1, where the
  // container's and the file's level sizes agree. A file that states no
  // count (0, as export writes it for a stored mip count of 0) is judged by
  // its bytes alone.
  if (dds.mip_count != 0 && dds.mip_count < t.levels_present) return DdsFit::incomplete;
  if (file_size < dds.data_offset || file_size - dds.data_offset < t.data_size) {
    return DdsFit::incomplete;
  }
  return DdsFit::fits;
}

namespace {

// A DDS file's levels go down to 1x1, each side at least 1.
uint32_t full_chain(const DdsLayout& dds) {
  uint32_t chain = 1;
  while (chain < 32 && ((dds.width >> chain) != 0 || (dds.height >> chain) != 0)) ++chain;
  return chain;
}

}  // namespace

uint32_t dds_levels_held(const DdsLayout& dds, uint64_t file_size) {
  const uint32_t chain = full_chain(dds);
  const uint32_t stated = dds.mip_count == 0 ? chain : std::min(dds.mip_count, chain);
  if (dds.blocks.bytes == 0) return dds.mip_count == 0 ? 1 : stated;
  uint64_t left = file_size < dds.data_offset ? 0 : file_size - dds.data_offset;
  for (uint32_t level = 0; level < stated; ++level) {
    const uint64_t w = std::max<uint64_t>(1, dds.width >> level);
    const uint64_t h = std::max<uint64_t>(1, dds.height >> level);
    const uint64_t bytes = level_bytes(dds.blocks, uint32_t(w), uint32_t(h));
    if (bytes > left) return level;
    left -= bytes;
  }
  return stated;
}

bool dds_cut_short(const DdsLayout& dds, uint64_t file_size) {
  const uint32_t held = dds_levels_held(dds, file_size);
  if (held == 0) return true;
  return dds.mip_count != 0 && held < std::min(dds.mip_count, full_chain(dds));
}

}  // namespace linkdata
