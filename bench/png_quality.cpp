// Block compression quality and speed of PNG import, against libsquish's
// iterative cluster fit (the yardstick) and stb_dxt's high-quality mode.
//
// Each picture is painted here, compressed by each encoder as the top level
// of a texture, decoded again with the tool's own decoder and compared with
// the painted picture: PSNR over the R, G, B and A bytes. Prints one table
// row per picture and format, then the encoding time per megapixel.
//
//   png_quality [--check DB]   exit status 1 when any picture's PSNR falls
//                              more than DB (default 0.3) below libsquish's
#include <squish.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#define STB_DXT_STATIC
#define STB_DXT_IMPLEMENTATION
#include <stb/stb_dxt.h>

#include "textures/container.h"
#include "textures/texture_encode.h"
#include "textures/texture_pixels.h"

namespace {

using linkdata::kFormatDxt1;
using linkdata::kFormatDxt5;

struct Picture {
  std::string name;
  uint32_t width, height;
  std::vector<uint8_t> rgba;
};

// A small deterministic generator, so every run paints the same pictures.
struct Random {
  uint32_t state;
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  float unit() { return float(next() & 0xFFFFFF) / float(0xFFFFFF); }
};

uint8_t to_byte(float v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

// Smooth value noise over several octaves: the soft gradients and fine
// grain of a photograph.
struct Noise {
  std::vector<float> lattice;
  explicit Noise(uint32_t seed) : lattice(256 * 256) {
    Random r{seed};
    for (float& v : lattice) v = r.unit();
  }
  float at(float x, float y) const {
    const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
    const float fx = x - float(x0), fy = y - float(y0);
    auto l = [&](int xi, int yi) { return lattice[size_t((yi & 255) * 256 + (xi & 255))]; };
    const float sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
    const float top = l(x0, y0) + (l(x0 + 1, y0) - l(x0, y0)) * sx;
    const float bottom = l(x0, y0 + 1) + (l(x0 + 1, y0 + 1) - l(x0, y0 + 1)) * sx;
    return top + (bottom - top) * sy;
  }
  float fractal(float x, float y) const {
    float sum = 0, amplitude = 0.5f, frequency = 1;
    for (int octave = 0; octave < 6; ++octave) {
      sum += amplitude * at(x * frequency, y * frequency);
      amplitude *= 0.5f, frequency *= 2;
    }
    return sum;
  }
};

Picture paint(const std::string& name, uint32_t w, uint32_t h,
              const std::function<void(uint32_t, uint32_t, uint8_t*)>& pixel) {
  Picture p{name, w, h, std::vector<uint8_t>(size_t(w) * h * 4)};
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) pixel(x, y, &p.rgba[(size_t(y) * w + x) * 4]);
  }
  return p;
}

// Pseudo-text: rows of 5x7 glyphs drawn at 3x scale with soft edges, black
// on white, the hard contrast of lettering.
Picture text_picture(uint32_t w, uint32_t h) {
  std::vector<float> ink(size_t(w) * h, 0);
  Random r{77};
  for (uint32_t line = 0; line + 1 < h / 27; ++line) {
    for (uint32_t glyph = 0; glyph * 18 + 18 < w; ++glyph) {
      const uint32_t bits = r.next();
      if ((bits & 7) == 0) continue;  // a space
      for (uint32_t gy = 0; gy < 7; ++gy) {
        for (uint32_t gx = 0; gx < 5; ++gx) {
          if (((r.next() >> 7) & 3) == 0) continue;
          for (uint32_t dy = 0; dy < 3; ++dy) {
            for (uint32_t dx = 0; dx < 3; ++dx) {
              ink[size_t(line * 27 + 4 + gy * 3 + dy) * w + glyph * 18 + 2 + gx * 3 + dx] = 1;
            }
          }
        }
      }
    }
  }
  return paint("text 256x256", w, h, [&](uint32_t x, uint32_t y, uint8_t* p) {
    float sum = 0;  // a 2x2 blur for anti-aliased edges
    for (uint32_t dy = 0; dy < 2; ++dy) {
      for (uint32_t dx = 0; dx < 2; ++dx)
        sum += ink[size_t(std::min(y + dy, h - 1)) * w + std::min(x + dx, w - 1)];
    }
    const uint8_t v = to_byte(255 - sum * 255 / 4);
    p[0] = p[1] = p[2] = v, p[3] = 255;
  });
}

std::vector<Picture> pictures() {
  std::vector<Picture> out;
  const Noise noise(1), noise2(2), noise3(3);
  auto photo = [&](uint32_t x, uint32_t y, uint8_t* p, float scale) {
    const float fx = float(x) / scale, fy = float(y) / scale;
    const float l = noise.fractal(fx, fy), u = noise2.fractal(fx * 0.7f, fy * 0.7f);
    p[0] = to_byte(255 * (0.2f + 1.1f * l * u + 0.2f * noise3.at(fx * 40, fy * 40)));
    p[1] = to_byte(255 * (0.9f * l));
    p[2] = to_byte(255 * (0.3f + 0.8f * (1 - u) * l));
    p[3] = 255;
  };
  out.push_back(paint("photo 1024x1024", 1024, 1024,
                      [&](uint32_t x, uint32_t y, uint8_t* p) { photo(x, y, p, 128); }));
  out.push_back(paint("photo 512x256", 512, 256,
                      [&](uint32_t x, uint32_t y, uint8_t* p) { photo(x, y, p, 32); }));
  // Flat-colour art: overlapping discs and bars of a few flat colours.
  out.push_back(paint("flat art 256x256", 256, 256, [](uint32_t x, uint32_t y, uint8_t* p) {
    static const uint8_t colours[6][3] = {{230, 57, 70},  {241, 250, 238}, {168, 218, 220},
                                          {69, 123, 157}, {29, 53, 87},    {255, 183, 3}};
    int c = 1;
    if ((x / 40 + y / 56) % 3 == 0) c = 2;
    const int dx = int(x) - 100, dy = int(y) - 120;
    if (dx * dx + dy * dy < 70 * 70) c = 0;
    if (dx * dx + dy * dy < 30 * 30) c = 5;
    if (y > 200 && x % 50 < 30) c = 4;
    if (x + y > 380) c = 3;
    p[0] = colours[c][0], p[1] = colours[c][1], p[2] = colours[c][2], p[3] = 255;
  }));
  out.push_back(text_picture(256, 256));
  // A colour over an alpha gradient, as in smoke, glow or shadow textures.
  out.push_back(paint("alpha gradient 128x128", 128, 128, [&](uint32_t x, uint32_t y, uint8_t* p) {
    const float dx = float(x) - 64, dy = float(y) - 64;
    const float d = std::sqrt(dx * dx + dy * dy) / 64;
    p[0] = to_byte(255 - 100 * d), p[1] = to_byte(160 + 60 * noise.fractal(x / 16.f, y / 16.f));
    p[2] = to_byte(40 + 100 * d), p[3] = to_byte(255 * std::max(0.0f, 1 - d));
  }));
  // A cut-out sprite: hard alpha edges around textured colour.
  out.push_back(paint("sprite cut-out 64x128", 64, 128, [&](uint32_t x, uint32_t y, uint8_t* p) {
    photo(x, y, p, 16);
    const float dx = (float(x) - 32) / 28, dy = (float(y) - 64) / 60;
    p[3] = dx * dx + dy * dy < 1 ? 255 : 0;
  }));
  out.push_back(paint("rgb sweep 256x64", 256, 64, [](uint32_t x, uint32_t y, uint8_t* p) {
    p[0] = uint8_t(x), p[1] = uint8_t(y * 4), p[2] = uint8_t(255 - x), p[3] = 255;
  }));
  out.push_back(paint("noise 16x16", 16, 16, [](uint32_t x, uint32_t y, uint8_t* p) {
    Random r{x * 131 + y * 7 + 1};
    r.next();
    p[0] = uint8_t(r.next()), p[1] = uint8_t(r.next()), p[2] = uint8_t(r.next());
    p[3] = uint8_t(128 + (r.next() & 127));
  }));
  out.push_back(paint("tiny 4x4", 4, 4, [](uint32_t x, uint32_t y, uint8_t* p) {
    p[0] = uint8_t(x * 80), p[1] = uint8_t(200 - y * 50), p[2] = uint8_t(x * y * 15);
    p[3] = uint8_t(255 - x * 20);
  }));
  return out;
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = double(a[i]) - double(b[i]);
    sum += d * d;
  }
  const double mse = sum / double(a.size());
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

using Encoder = std::function<std::vector<uint8_t>(const Picture&, uint8_t)>;

std::vector<uint8_t> ours(const Picture& p, uint8_t code) {
  std::vector<uint8_t> out(size_t(linkdata::top_level_bytes(code, p.width, p.height)));
  linkdata::encode_blocks(p.rgba.data(), p.width, p.height, code, out.data());
  return out;
}

std::vector<uint8_t> squish_fit(const Picture& p, uint8_t code) {
  std::vector<uint8_t> out(size_t(linkdata::top_level_bytes(code, p.width, p.height)));
  const int flags =
      (code == kFormatDxt1 ? squish::kDxt1 : squish::kDxt5) | squish::kColourIterativeClusterFit;
  squish::CompressImage(p.rgba.data(), int(p.width), int(p.height), out.data(), flags);
  return out;
}

std::vector<uint8_t> stb(const Picture& p, uint8_t code) {
  const size_t block_bytes = code == kFormatDxt1 ? 8 : 16;
  std::vector<uint8_t> out(size_t(linkdata::top_level_bytes(code, p.width, p.height)));
  uint8_t* at = out.data();
  for (uint32_t by = 0; by < p.height; by += 4) {
    for (uint32_t bx = 0; bx < p.width; bx += 4, at += block_bytes) {
      uint8_t block[64];
      for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t x = std::min(bx + i % 4, p.width - 1),
                       y = std::min(by + i / 4, p.height - 1);
        std::memcpy(block + i * 4, &p.rgba[(size_t(y) * p.width + x) * 4], 4);
      }
      stb_compress_dxt_block(at, block, code == kFormatDxt5, STB_DXT_HIGHQUAL);
    }
  }
  return out;
}

struct Score {
  double db;
  double seconds;
};

// CPU time of this thread: the machine may be shared with other work.
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

Score score(const Encoder& encode, const Picture& p, uint8_t code) {
  const double start = cpu_seconds();
  const std::vector<uint8_t> blocks = encode(p, code);
  const double seconds = cpu_seconds() - start;
  const std::vector<uint8_t> decoded =
      linkdata::decode_to_rgba(code, p.width, p.height, blocks.data(), blocks.size());
  return {psnr(decoded, p.rgba), seconds};
}

}  // namespace

int main(int argc, char** argv) {
  double allowed = 0.3;
  if (argc == 3 && std::strcmp(argv[1], "--check") == 0) allowed = std::atof(argv[2]);
  const std::vector<Picture> all = pictures();
  const Encoder encoders[3] = {ours, squish_fit, stb};
  double seconds[2][3] = {}, megapixels = 0;
  bool ok = true;
  std::printf(
      "| picture | format | linkdata dB | libsquish dB | stb_dxt dB | linkdata - libsquish |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (const Picture& p : all) {
    megapixels += double(p.width) * p.height / 1e6;
    for (int f = 0; f < 2; ++f) {
      const uint8_t code = f == 0 ? kFormatDxt1 : kFormatDxt5;
      Score s[3];
      for (int e = 0; e < 3; ++e) {
        s[e] = score(encoders[e], p, code);
        seconds[f][e] += s[e].seconds;
      }
      const double gap = s[0].db - s[1].db;
      ok = ok && gap >= -allowed;
      std::printf("| %s | %s | %.2f | %.2f | %.2f | %+.2f%s |\n", p.name.c_str(),
                  f == 0 ? "DXT1" : "DXT5", s[0].db, s[1].db, s[2].db, gap,
                  gap < -allowed ? " (below target)" : "");
    }
  }
  std::printf("\nencoding time, CPU seconds per megapixel (one thread, %.2f MP per format):\n",
              megapixels);
  std::printf("| format | linkdata | libsquish | stb_dxt |\n|---|---|---|---|\n");
  for (int f = 0; f < 2; ++f) {
    std::printf("| %s | %.3f | %.3f | %.3f |\n", f == 0 ? "DXT1" : "DXT5",
                seconds[f][0] / megapixels, seconds[f][1] / megapixels, seconds[f][2] / megapixels);
  }
  std::printf("\n%s\n", ok ? "every picture within target" : "SOME PICTURES BELOW TARGET");
  return ok ? 0 : 1;
}
