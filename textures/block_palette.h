// The palettes that DXT1 and DXT5 blocks select their pixels from, with the
// integer rounding that common decoders use (interpolation truncated).
#pragma once

#include <cstdint>

namespace linkdata {

struct Rgb8 {
  uint8_t r = 0, g = 0, b = 0;
};

inline Rgb8 expand565(uint16_t c) {
  const int r = c >> 11, g = (c >> 5) & 63, b = c & 31;
  return {uint8_t(r << 3 | r >> 2), uint8_t(g << 2 | g >> 4), uint8_t(b << 3 | b >> 2)};
}

inline int interpolate_third(int a, int b) { return (2 * a + b) / 3; }
inline int interpolate_half(int a, int b) { return (a + b) / 2; }

// Four colours; in three-colour mode the fourth is transparent black (here
// black; its alpha is the caller's business).
inline void colour_palette(uint16_t c0, uint16_t c1, bool three_colour, Rgb8 out[4]) {
  const Rgb8 a = expand565(c0), b = expand565(c1);
  out[0] = a;
  out[1] = b;
  if (three_colour) {
    out[2] = {uint8_t(interpolate_half(a.r, b.r)), uint8_t(interpolate_half(a.g, b.g)),
              uint8_t(interpolate_half(a.b, b.b))};
    out[3] = {};
  } else {
    out[2] = {uint8_t(interpolate_third(a.r, b.r)), uint8_t(interpolate_third(a.g, b.g)),
              uint8_t(interpolate_third(a.b, b.b))};
    out[3] = {uint8_t(interpolate_third(b.r, a.r)), uint8_t(interpolate_third(b.g, a.g)),
              uint8_t(interpolate_third(b.b, a.b))};
  }
}

// Eight alpha values when a0 > a1, else six and then 0 and 255.
inline void alpha_palette(uint8_t a0, uint8_t a1, uint8_t out[8]) {
  out[0] = a0;
  out[1] = a1;
  if (a0 > a1) {
    for (int k = 1; k < 7; ++k) out[1 + k] = uint8_t(((7 - k) * a0 + k * a1) / 7);
  } else {
    for (int k = 1; k < 5; ++k) out[1 + k] = uint8_t(((5 - k) * a0 + k * a1) / 5);
    out[6] = 0;
    out[7] = 255;
  }
}

}  // namespace linkdata
