// Reading PNG files that are to replace a texture's pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace linkdata {

// The bytes a PNG file's width and height are read from: the signature and
// the IHDR chunk up to its height.
constexpr size_t kPngSizeBytes = 24;

// Width and height as the IHDR chunk states them; false when the bytes do not
// begin like a PNG file. Nothing of the pixels is looked at, so a header that
// claims a huge picture costs nothing.
bool read_png_size(const uint8_t* data, size_t size, uint32_t* width, uint32_t* height);

// Whether the bytes begin as a PNG file does, as far as they go: a file
// shorter than its signature and header that starts so was cut short.
bool starts_like_png(const uint8_t* data, size_t size);

// What kind of picture a file that is not a PNG file is, told by its first
// bytes alone (kPngSizeBytes of them are enough): "JPEG", "BMP", "GIF",
// "WebP", "PSD", "TIFF", "DDS", or "TGA" for a header that a TGA file could
// have (TGA has no magic, so only a plausible header counts); empty for
// anything else. Nothing but PNG is ever decoded.
std::string other_picture_kind(const uint8_t* data, size_t size);

// Whether a PNG file ends before its IEND chunk: cut short, or still being
// saved.
bool png_cut_short(const uint8_t* data, size_t size);

// Whether a PNG file's pixels carry alpha: an alpha channel (grey or colour
// with alpha) or a tRNS chunk (a palette's or a colour key's transparency).
bool png_has_alpha(const uint8_t* data, size_t size);

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
