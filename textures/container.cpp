// Reading a texture container held in memory.
#include "textures/container.h"

#include <cstring>

#include "platform/little_endian.h"

namespace linkdata {

namespace {

constexpr uint64_t kContainerHeaderSize = 20;  // magic, 4 unread, table offset, count
constexpr uint64_t kTextureHeaderSize = 8;

// True when [offset, offset + length) lies wholly inside a buffer of `size`
// bytes. Everything is 64-bit, so no sum can wrap for 32-bit inputs.
bool fits(uint64_t offset, uint64_t length, size_t size) {
  const uint64_t total = uint64_t(size);
  return offset <= total && length <= total - offset;
}

}  // namespace

bool has_texture_magic(const uint8_t* data, size_t size) {
  return data != nullptr && size >= sizeof kTextureMagic &&
         std::memcmp(data, kTextureMagic, sizeof kTextureMagic) == 0;
}

uint32_t block_data_size(uint32_t width, uint32_t height, uint8_t mip_count, uint32_t block_bytes,
                         uint32_t* levels_present) {
  return uint32_t(
      chain_bytes(PixelBlocks{4, block_bytes}, width, height, mip_count, levels_present));
}

// A texture table entry or texture header (with its extension length field)
// that lies outside the container ends the list there; the textures before it
// are kept.
std::vector<TextureDescription> read_texture_container(const uint8_t* data, size_t size) {
  std::vector<TextureDescription> out;
  if (data == nullptr || !fits(0, kContainerHeaderSize, size)) return out;

  const uint64_t table_offset = load_u32le(data + 12);
  const uint32_t count = load_u32le(data + 16);  // read once, before the first texture

  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entry_position = table_offset + 4 * uint64_t(i);
    if (!fits(entry_position, 4, size)) break;
    const uint64_t header_position = table_offset + load_u32le(data + entry_position);
    if (!fits(header_position, kTextureHeaderSize, size)) break;
    const uint8_t* header = data + header_position;

    TextureDescription t;
    t.texture_index = i;
    t.mip_count = uint8_t(header[0] >> 4);
    t.format_code = header[1];
    t.width = uint32_t(1) << (header[2] & 0x0F);  // low nibble: width exponent
    t.height = uint32_t(1) << (header[2] >> 4);   // high nibble: height exponent

    uint64_t data_position = header_position + kTextureHeaderSize;
    if (header[7] != 0) {
      if (!fits(header_position + kTextureHeaderSize, 4, size)) break;
      data_position =
          header_position + kTextureHeaderSize + load_u32le(header + kTextureHeaderSize);
    }
    t.data_position = data_position;

    // The byte count that must lie inside the container. It equals data_size,
    // except for a code-1 texture of 32768 x 32768 whose 32-bit size wraps to 0:
    // its real 4 GiB of pixels are checked, so it is marked out of bounds.
    uint64_t needed = 0;
    const TextureFormat* format = find_texture_format(t.format_code);
    if (format != nullptr) {  // else data_size stays 0: no DDS file is written for it
      needed = stored_bytes(*format, t.width, t.height, t.mip_count, &t.levels_present);
      t.data_size = uint32_t(needed);
    }
    t.in_bounds = fits(data_position, needed, size);
    out.push_back(t);
  }
  return out;
}

}  // namespace linkdata
