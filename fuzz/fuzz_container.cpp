// The texture container reader and the DDS header on arbitrary container
// bytes of their real length: no read past the container, and every
// description that claims to be in bounds really is.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/little_endian.h"
#include "textures/container.h"
#include "textures/dds.h"

using namespace linkdata;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Containers always start with the magic; the fuzzer supplies the rest.
  std::vector<uint8_t> container(kTextureMagic, kTextureMagic + sizeof kTextureMagic);
  container.insert(container.end(), data, data + size);
  container.shrink_to_fit();

  uint32_t expected_index = 0;
  uint64_t checksum = 0;
  for (const TextureDescription& t : read_texture_container(container.data(), container.size())) {
    if (t.texture_index != expected_index++) std::abort();
    const bool supported = t.format_code == kFormatArgb8 || t.format_code == kFormatDxt1 ||
                           t.format_code == kFormatDxt5;
    if (!supported) continue;
    if (t.width == 0 || t.width > 32768 || t.height == 0 || t.height > 32768) std::abort();
    if (!t.in_bounds) continue;
    if (t.data_position > container.size() || t.data_size > container.size() - t.data_position) {
      std::abort();
    }
    // Touch the pixel bytes as the DDS writer would copy them.
    for (uint32_t i = 0; i < t.data_size; i += 61)
      checksum += container[size_t(t.data_position + i)];
    if (t.data_size != 0) checksum += container[size_t(t.data_position + t.data_size - 1)];

    const auto header = build_dds_header(t);
    if (std::memcmp(header.data(), "DDS ", 4) != 0 || load_u32le(&header[4]) != 124 ||
        load_u32le(&header[12]) != t.height || load_u32le(&header[16]) != t.width ||
        load_u32le(&header[20]) != 0) {
      std::abort();
    }
  }
  volatile uint64_t sink = checksum;
  (void)sink;
  return 0;
}
