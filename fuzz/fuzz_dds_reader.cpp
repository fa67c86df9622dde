// The DDS header reader and the fit test on arbitrary file bytes of their
// real length: no read past them, and a file that is said to fit a texture
// really holds its pixel data behind the header.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "textures/container.h"
#include "textures/dds_reader.h"

using namespace linkdata;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> file(data, data + size);
  DdsLayout dds;
  if (read_dds_header(file.data(), file.size(), &dds) != DdsHeaderStatus::ok) return 0;
  if ((dds.data_offset != kDdsHeaderSize && dds.data_offset != kDdsDx10HeaderSize) ||
      dds.data_offset > file.size()) {
    std::abort();
  }
  // The textures a container could hold with the file's stated size and
  // mip count, in each format.
  uint64_t checksum = 0;
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
    const bool same = (code == kFormatArgb8 && dds.pixels == DdsPixels::bgra8) ||
                      (code == kFormatDxt1 && dds.pixels == DdsPixels::dxt1) ||
                      (code == kFormatDxt5 && dds.pixels == DdsPixels::dxt5);
    if (!same || file.size() - dds.data_offset < t.data_size) std::abort();
    for (uint32_t i = 0; i < t.data_size; i += 61) checksum += file[dds.data_offset + i];
  }
  volatile uint64_t sink = checksum;
  (void)sink;
  return 0;
}
