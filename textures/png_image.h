// Reading PNG files that are to replace a texture's pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace linkdata {

// The bytes a PNG file's width and height are read from: the signature and
// the IHDR chunk up to its height.
constexpr size_t kPngSizeBytes = 24;

// Width and height as the IHDR chunk states them; false when the bytes do not
// begin like a PNG file. Nothing of the pixels is looked at, so a header that
// claims a huge picture costs nothing.
bool read_png_size(const uint8_t* data, size_t size, uint32_t* width, uint32_t* height);

struct FreePixels {
  void operator()(uint8_t* pixels) const;
};
using RgbaPixels = std::unique_ptr<uint8_t[], FreePixels>;

// The picture as 8-bit RGBA, row by row (palette, grey and 16-bit pictures
// converted); null when the file cannot be decoded, its size is not
// width x height, or its pixel data inflates to more or fewer bytes than its
// header announces (inflating stops there, so the memory a file costs follows
// its size and its header, never its compressed data). Throws std::bad_alloc
// when memory runs out.
RgbaPixels decode_png_rgba(const uint8_t* data, size_t size, uint32_t width, uint32_t height);

}  // namespace linkdata
