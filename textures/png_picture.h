// PNG files of textures: encoding an RGBA picture with a short note about
// its texture, and reading size and note back from the start of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace linkdata {

// The largest picture written: a side of 8192 pixels at most and 16 Mi
// pixels in all, so that a picture and its encoding stay within a few hundred
// MiB while several are encoded at once.
constexpr uint32_t kMaxPictureSide = 8192;
constexpr uint64_t kMaxPicturePixels = uint64_t(1) << 24;

bool picture_size_allowed(uint32_t width, uint32_t height);

// An 8-bit RGBA PNG of width x height pixels (rows top first), compressed at a
// fast level, with `note` in a tEXt chunk right after the header. Empty when
// the size is not allowed; throws std::bad_alloc when memory runs out.
std::vector<uint8_t> encode_png(const uint8_t* rgba, uint32_t width, uint32_t height,
                                const std::string& note);

struct PngSummary {
  uint32_t width = 0;
  uint32_t height = 0;
  std::string note;  // empty when the file carries none
};

// The size from the header and the note, if any, from the chunks that stand
// before the pixel data, within the first `size` bytes of a file. False when
// the bytes do not start like a PNG file.
bool read_png_summary(const uint8_t* data, size_t size, PngSummary* out);

}  // namespace linkdata
