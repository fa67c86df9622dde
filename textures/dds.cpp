// The DDS headers of the supported textures.
#include "textures/dds.h"

#include <cstring>

#include "platform/little_endian.h"

namespace linkdata {

namespace {

constexpr uint32_t kFlagsTemplate = 0x00001007;   // CAPS | HEIGHT | WIDTH | PIXELFORMAT
constexpr uint32_t kFlagsMipmapped = 0x00021007;  // ... | MIPMAPCOUNT
constexpr uint32_t kCapsTexture = 0x00001000;
constexpr uint32_t kCapsMipmapped = 0x00401008;  // COMPLEX | TEXTURE | MIPMAP
constexpr uint32_t kCapsAlpha = 0x00001002;      // TEXTURE | ALPHA

std::array<uint8_t, kDdsHeaderSize> dds_template() {
  std::array<uint8_t, kDdsHeaderSize> h{};
  h[0] = 'D';
  h[1] = 'D';
  h[2] = 'S';
  h[3] = ' ';
  store_u32le(&h[kOffSize], 124);
  store_u32le(&h[kOffFlags], kFlagsTemplate);
  store_u32le(&h[kOffPfSize], 32);
  store_u32le(&h[kOffPfFlags], 0x00000004);  // DDPF_FOURCC
  h[kOffPfFourCC + 0] = 'D';
  h[kOffPfFourCC + 1] = 'X';
  h[kOffPfFourCC + 2] = 'T';
  h[kOffPfFourCC + 3] = '5';
  store_u32le(&h[kOffCaps], kCapsTexture);
  return h;
}

}  // namespace

bool exported_as_dds(const TextureDescription& t) {
  return find_texture_format(t.format_code) != nullptr && t.in_bounds;
}

std::array<uint8_t, kDdsHeaderSize> build_dds_header(const TextureDescription& t) {
  std::array<uint8_t, kDdsHeaderSize> h = dds_template();
  store_u32le(&h[kOffHeight], t.height);
  store_u32le(&h[kOffWidth], t.width);
  const TextureFormat* format = find_texture_format(t.format_code);
  if (format == nullptr) return h;
  const DdsPixelFormat& pf = format->dds;
  store_u32le(&h[kOffPfFlags], pf.flags);
  std::memcpy(&h[kOffPfFourCC], pf.four_cc, sizeof pf.four_cc);
  store_u32le(&h[kOffPfRgbBitCount], pf.rgb_bit_count);
  store_u32le(&h[kOffPfRMask], pf.r_mask);
  store_u32le(&h[kOffPfGMask], pf.g_mask);
  store_u32le(&h[kOffPfBMask], pf.b_mask);
  store_u32le(&h[kOffPfAMask], pf.a_mask);
  if (format->mip_chain) {
    // Mended: the count of levels that hold bytes, not the stored mip count,
    // except that a stored mip count of 0 is written as 0 (with mipmap flags).
    const uint32_t count = t.mip_count == 0 ? 0 : t.levels_present;
    store_u32le(&h[kOffMipMapCount], count);
    const bool single = count == 1;
    store_u32le(&h[kOffFlags], single ? kFlagsTemplate : kFlagsMipmapped);
    store_u32le(&h[kOffCaps], single ? kCapsTexture : kCapsMipmapped);
  } else if ((pf.flags & kDdsPfAlphaPixels) != 0) {
    store_u32le(&h[kOffCaps], kCapsAlpha);
  }
  return h;
}

}  // namespace linkdata
