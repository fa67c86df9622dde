// Turning an RGBA picture into a texture's pixel data, in the texture's own
// format and with its own number of levels.
#pragma once

#include <cstdint>
#include <vector>

#include "textures/container.h"
#include "textures/texture_formats.h"

namespace linkdata {

// One level of a picture: 8-bit RGBA, row by row.
struct RgbaLevel {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;
};

// The level below: half the width and height, each pixel the gamma-correct,
// alpha-weighted average of the 2x2 pixels above it. Both sides must be at
// least 2.
RgbaLevel halve_level(const uint8_t* rgba, uint32_t width, uint32_t height);

// Writes t.data_size bytes to `out` from a picture of the texture's top-level
// size: A8R8G8B8 as blue, green, red, alpha bytes; DXT1 and DXT5 with every
// level that the container counts, each made from the one above. Block
// compression runs on up to `threads` threads. A large picture takes many
// seconds, so an interruption (platform::interrupt_requested) is looked for
// between rows of blocks and between levels: false when one came before the
// end, and `out` is then partly written.
bool encode_texture_pixels(const uint8_t* rgba, const TextureDescription& t, uint8_t* out,
                           unsigned threads = 1);

// The levels of a texture that a DDS file of its own format did not hold:
// `pixels` holds the texture's pixel data (t.data_size bytes) with its first
// `given` levels in place; each further level is made from the one above,
// the last given one decoded, as encode_texture_pixels makes a picture's.
// False, with levels partly written, when an interruption came first.
bool complete_levels(const TextureDescription& t, uint32_t given, uint8_t* pixels,
                     unsigned threads = 1);

// `count` levels of a format, the first the picture as it is (width x
// height), each further one halved from the one before it; up to `threads`
// threads. False, with levels partly written, when an interruption came first.
bool encode_levels(const uint8_t* rgba, uint32_t width, uint32_t height,
                   const TextureFormat& format, uint32_t count, uint8_t* out, unsigned threads = 1);

// Encodes one level in the format of `format_code` (level_bytes of them;
// nothing for a code the tool does not write). False, with rows of blocks
// left unwritten, when an interruption came first.
bool encode_blocks(const uint8_t* rgba, uint32_t width, uint32_t height, uint8_t format_code,
                   uint8_t* out, unsigned threads = 1);

// Each format's level encoder, as the format table holds it (EncodeLevel).
// Block compression runs on up to `threads` threads.
bool encode_argb8_level(const uint8_t* rgba, uint32_t width, uint32_t height, uint8_t* out,
                        unsigned threads);
bool encode_dxt1_level(const uint8_t* rgba, uint32_t width, uint32_t height, uint8_t* out,
                       unsigned threads);
bool encode_dxt5_level(const uint8_t* rgba, uint32_t width, uint32_t height, uint8_t* out,
                       unsigned threads);

}  // namespace linkdata
