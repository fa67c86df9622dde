// Writing the supported textures of a container as DDS files.
#include "textures/dds.h"

#include <cstring>
#include <new>
#include <string>

#include "platform/console.h"
#include "platform/little_endian.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/whole_file.h"
#include "platform/working_paths.h"

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

bool write_dds_texture(const std::wstring& texture_dir, const TextureDescription& t,
                       const uint8_t* container, size_t container_size, uint32_t entry_number,
                       uint32_t sub_index) {
  if (!exported_as_dds(t) || container == nullptr) return true;
  // Re-checked here so that a caller-built description can never read past the container.
  if (t.data_position > container_size || t.data_size > container_size - t.data_position) {
    return true;
  }

  const std::array<uint8_t, kDdsHeaderSize> header = build_dds_header(t);

  const std::wstring entry_dir = join_path(texture_dir, std::to_wstring(entry_number));
  ensure_directory(entry_dir);
  const std::wstring path = join_path(
      entry_dir, std::to_wstring(sub_index) + L"_" + std::to_wstring(t.texture_index) + L".dds");

  WholeFile file(path);
  bool ok = file.is_open() && file.write_at(0, header.data(), header.size());
  if (ok && t.data_size != 0) {
    ok = file.write_at(kDdsHeaderSize, container + t.data_position, t.data_size);
  }
  ok = ok && file.finish();
  if (!ok) {
    // No older texture stays under its name either, where it would pass for
    // this export's.
    platform::remove_file(path);
    say(msg::texture_write_failed(path));
  }
  return ok;
}

namespace {

// Textures cannot be held: reported by the entry's texture folder, and the
// entry itself is still exported.
bool textures_not_held(const std::wstring& texture_dir, uint32_t entry_number) {
  say(msg::texture_write_failed(join_path(texture_dir, std::to_wstring(entry_number))));
  return false;
}

}  // namespace

bool extract_textures(const std::wstring& texture_dir, const uint8_t* container,
                      size_t container_size, uint32_t entry_number, uint32_t sub_index,
                      size_t* written) {
  std::vector<TextureDescription> textures;
  try {
    if (container != nullptr) textures = read_texture_container(container, container_size);
  } catch (const std::bad_alloc&) {
    ensure_directory(texture_dir);
    return textures_not_held(texture_dir, entry_number);
  }
  return extract_textures(texture_dir, textures, container, container_size, entry_number, sub_index,
                          written);
}

bool extract_textures(const std::wstring& texture_dir,
                      const std::vector<TextureDescription>& textures, const uint8_t* container,
                      size_t container_size, uint32_t entry_number, uint32_t sub_index,
                      size_t* written) {
  ensure_directory(texture_dir);
  if (container == nullptr) return true;
  bool all_written = true;
  try {
    for (const TextureDescription& t : textures) {
      if (!exported_as_dds(t)) continue;
      if (write_dds_texture(texture_dir, t, container, container_size, entry_number, sub_index)) {
        if (written != nullptr) ++*written;
      } else {
        all_written = false;
      }
    }
  } catch (const std::bad_alloc&) {
    return textures_not_held(texture_dir, entry_number);
  }
  return all_written;
}

}  // namespace linkdata
