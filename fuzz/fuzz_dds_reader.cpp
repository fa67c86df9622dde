// The DDS header reader and the fit test on arbitrary file bytes of their
// real length: no read past them, and a file that is said to fit a texture
// really holds its pixel data behind the header. A layout said to be
// decodable decodes its top level from the bytes its level sizes give.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "textures/container.h"
#include "textures/dds_reader.h"
#include "textures/texture_formats.h"

using namespace linkdata;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> file(data, data + size);
  DdsLayout dds;
  const DdsHeaderStatus status = read_dds_header(file.data(), file.size(), &dds);
  if (status != DdsHeaderStatus::ok && status != DdsHeaderStatus::undecodable) return 0;
  if ((dds.data_offset != kDdsHeaderSize && dds.data_offset != kDdsDx10HeaderSize) ||
      dds.data_offset > file.size() || dds.name.empty() ||
      dds.decodable != (status == DdsHeaderStatus::ok)) {
    std::abort();
  }
  const uint32_t held = dds_levels_held(dds, file.size());
  // No level whole is a file cut short, whatever its header states.
  if (held == 0 && !dds_cut_short(dds, file.size())) std::abort();
  uint64_t checksum = held;
  if (status == DdsHeaderStatus::ok && held > 0 &&
      uint64_t(dds.width) * dds.height <= (uint64_t(1) << 20)) {
    const DdsLayoutFormat& row = dds_layout_format(dds.pixels);
    const uint64_t top = level_bytes(row.blocks, dds.width, dds.height);
    if (file.size() - dds.data_offset < top) std::abort();
    // Exactly the level's bytes, so that a read past them is caught.
    const std::vector<uint8_t> level(file.begin() + std::ptrdiff_t(dds.data_offset),
                                     file.begin() + std::ptrdiff_t(dds.data_offset + top));
    std::vector<uint8_t> rgba(size_t(dds.width) * dds.height * 4);
    row.decode(level.data(), dds.width, dds.height, rgba.data());
    for (size_t i = 0; i < rgba.size(); i += 97) checksum += rgba[i];
  }
  // The textures a container could hold with the file's stated size and
  // mip count, in each format.
  for (const uint8_t code : {kFormatArgb8, kFormatDxt1, kFormatDxt5}) {
    TextureDescription t;
    t.format_code = code;
    t.width = dds.width;
    t.height = dds.height;
    t.mip_count = uint8_t(dds.mip_count & 15);
    if (code == kFormatArgb8) {
      t.data_size = t.width * t.height * 4;
      t.levels_present = 1;
    } else {
      t.data_size = block_data_size(t.width, t.height, t.mip_count, code == kFormatDxt1 ? 8 : 16,
                                    &t.levels_present);
    }
    if (dds_fits_texture(dds, file.size(), t) != DdsFit::fits) continue;
    const bool same = dds.decodable && find_texture_format(code)->dds_pixels == dds.pixels;
    if (!same || file.size() - dds.data_offset < t.data_size) std::abort();
    for (uint32_t i = 0; i < t.data_size; i += 61) checksum += file[dds.data_offset + i];
  }
  volatile uint64_t sink = checksum;
  (void)sink;
  return 0;
}
