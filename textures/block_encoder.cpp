// A cluster fit over the orderings of the block's colours along their
// principal axis: every split of that order into the palette's clusters gets
// least-squares endpoints, the best split's line becomes the next axis, and
// the quantised endpoints are then refined against the palette that a decoder
// really builds from them (5:6:5 expansion, integer interpolation).
#include "textures/block_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>

#include "textures/block_palette.h"

namespace linkdata {
namespace {

struct Vec3 {
  float r = 0, g = 0, b = 0;
};
Vec3 operator+(Vec3 a, Vec3 b) { return {a.r + b.r, a.g + b.g, a.b + b.b}; }
Vec3 operator-(Vec3 a, Vec3 b) { return {a.r - b.r, a.g - b.g, a.b - b.b}; }
Vec3 operator*(Vec3 a, float s) { return {a.r * s, a.g * s, a.b * s}; }
float dot(Vec3 a, Vec3 b) { return a.r * b.r + a.g * b.g + a.b * b.b; }

// The block's pixels that count, as the fit sees them.
struct Points {
  Vec3 p[16];
  uint8_t pixel[16];  // where each point sits in the block
  int n = 0;
};

// An endpoint pair in 5:6:5; their order selects the mode (see ordered()).
struct Endpoints {
  uint16_t c0 = 0, c1 = 0;
};

// Nearest 5- or 6-bit value of a channel in 0..255.
int quantise(float v, float max) {
  const float clamped = v < 0 ? 0 : v > 255 ? 255 : v;
  return int(clamped * (max / 255.0f) + 0.5f);
}

uint16_t pack565(Vec3 c) {
  return uint16_t(quantise(c.r, 31) << 11 | quantise(c.g, 63) << 5 | quantise(c.b, 31));
}

Vec3 unpack565(uint16_t c) {
  const Rgb8 e = expand565(c);
  return {float(e.r), float(e.g), float(e.b)};
}

int pixel_error(const uint8_t* rgb, const Rgb8& c) {
  const int dr = int(rgb[0]) - c.r, dg = int(rgb[1]) - c.g, db = int(rgb[2]) - c.b;
  return dr * dr + dg * dg + db * db;
}

// Exact error of a colour block over the points, and the indices that give it.
// three_colour: c0 <= c1 is required of the caller; index 3 is left to the
// transparent pixels.
int64_t evaluate(const PixelBlock& block, const Points& pts, Endpoints e, bool three_colour,
                 uint8_t indices[16]) {
  Rgb8 palette[4];
  colour_palette(e.c0, e.c1, three_colour, palette);
  const int usable = three_colour ? 3 : 4;
  int64_t total = 0;
  for (int i = 0; i < pts.n; ++i) {
    const uint8_t* rgb = block.rgba[pts.pixel[i]];
    int best = pixel_error(rgb, palette[0]), best_index = 0;
    for (int k = 1; k < usable; ++k) {
      const int err = pixel_error(rgb, palette[k]);
      if (err < best) best = err, best_index = k;
    }
    indices[pts.pixel[i]] = uint8_t(best_index);
    total += best;
  }
  return total;
}

Vec3 principal_axis(const Points& pts) {
  Vec3 mean;
  for (int i = 0; i < pts.n; ++i) mean = mean + pts.p[i];
  mean = mean * (1.0f / float(pts.n));
  float cov[6] = {};  // rr rg rb gg gb bb
  for (int i = 0; i < pts.n; ++i) {
    const Vec3 d = pts.p[i] - mean;
    cov[0] += d.r * d.r, cov[1] += d.r * d.g, cov[2] += d.r * d.b;
    cov[3] += d.g * d.g, cov[4] += d.g * d.b, cov[5] += d.b * d.b;
  }
  // Power iteration from the row of largest norm converges on the axis of
  // largest variance for the few steps a 3x3 needs.
  Vec3 v{cov[0], cov[1], cov[2]};
  const Vec3 row1{cov[1], cov[3], cov[4]}, row2{cov[2], cov[4], cov[5]};
  if (dot(row1, row1) > dot(v, v)) v = row1;
  if (dot(row2, row2) > dot(v, v)) v = row2;
  for (int it = 0; it < 8; ++it) {
    const Vec3 w{cov[0] * v.r + cov[1] * v.g + cov[2] * v.b,
                 cov[1] * v.r + cov[3] * v.g + cov[4] * v.b,
                 cov[2] * v.r + cov[4] * v.g + cov[5] * v.b};
    const float len = std::sqrt(dot(w, w));
    if (len < 1e-12f) break;
    v = w * (1.0f / len);
  }
  return v;
}

// Least-squares endpoints for the best split of the ordered points into
// consecutive clusters; quantised, with the error of the ideal palette.
struct Fit {
  Vec3 a, b;
  float error = INFINITY;
};

// One split: aa, bb and ab are the sums of the squared weights and of
// their products over the points, ax and bx the weighted sums of the points.
void try_split(float aa, float bb, float ab, Vec3 ax, Vec3 bx, float xx, Fit* best) {
  const float det = aa * bb - ab * ab;
  if (det < 1e-6f) return;
  const float inv = 1.0f / det;
  const Vec3 a_ls = (ax * bb - bx * ab) * inv, b_ls = (bx * aa - ax * ab) * inv;
  // The error of the unquantised least-squares endpoints bounds that of any
  // endpoints for this split from below: most splits end here.
  if (xx - dot(a_ls, ax) - dot(b_ls, bx) >= best->error) return;
  const Vec3 a = unpack565(pack565(a_ls)), b = unpack565(pack565(b_ls));
  const float error =
      dot(a, a) * aa + dot(b, b) * bb + 2 * dot(a, b) * ab - 2 * dot(a, ax) - 2 * dot(b, bx) + xx;
  if (error < best->error) *best = {a, b, error};
}

// Every split of the ordered points into consecutive clusters: [0, i) at
// the first endpoint, then [i, j), [j, k) (four colours only) and the rest
// at the second.
void try_splits(int n, bool three_colour, const Vec3 prefix[17], float xx, Fit* best) {
  const Vec3 total = prefix[n];
  for (int i = 0; i <= n; ++i) {
    for (int j = i; j <= n; ++j) {
      const float n0 = float(i), n1 = float(j - i);
      const Vec3 s0 = prefix[i], s1 = prefix[j] - prefix[i];
      if (three_colour) {
        const float n2 = float(n - j);
        const Vec3 ax = s0 + s1 * 0.5f;
        try_split(n0 + n1 * 0.25f, n2 + n1 * 0.25f, n1 * 0.25f, ax, total - ax, xx, best);
        continue;
      }
      for (int k = j; k <= n; ++k) {
        const float n2 = float(k - j), n3 = float(n - k);
        const Vec3 ax = s0 + s1 * (2.0f / 3.0f) + (prefix[k] - prefix[j]) * (1.0f / 3.0f);
        try_split(n0 + (n1 * 4 + n2) * (1.0f / 9.0f), n3 + (n1 + n2 * 4) * (1.0f / 9.0f),
                  (n1 + n2) * (2.0f / 9.0f), ax, total - ax, xx, best);
      }
    }
  }
}

Fit cluster_fit(const Points& pts, bool three_colour) {
  Fit best;
  float xx = 0;
  for (int i = 0; i < pts.n; ++i) xx += dot(pts.p[i], pts.p[i]);
  Vec3 axis = principal_axis(pts);
  std::array<uint8_t, 16> order{}, last_order{};
  for (int iteration = 0; iteration < 8; ++iteration) {
    std::iota(order.begin(), order.begin() + pts.n, uint8_t(0));
    std::stable_sort(order.begin(), order.begin() + pts.n, [&](uint8_t x, uint8_t y) {
      return dot(pts.p[x], axis) < dot(pts.p[y], axis);
    });
    if (iteration > 0 && order == last_order) break;
    last_order = order;
    Vec3 prefix[17];
    for (int i = 0; i < pts.n; ++i) prefix[i + 1] = prefix[i] + pts.p[order[size_t(i)]];
    const float before = best.error;
    try_splits(pts.n, three_colour, prefix, xx, &best);
    if (!(best.error < before)) break;
    axis = best.b - best.a;
    if (dot(axis, axis) < 1e-6f) break;
  }
  return best;
}

// Endpoints for a block of one colour: per channel the pair whose palette
// entry one third of the way comes closest, from tables made once.
struct ChannelPair {
  uint8_t a = 0, b = 0;
  uint8_t error = 255;
};
using ChannelTable = std::array<ChannelPair, 256>;

ChannelTable make_table(int bits, bool three_colour) {
  ChannelTable table;
  const int max = (1 << bits) - 1;
  for (int a = 0; a <= max; ++a) {
    for (int b = 0; b <= max; ++b) {
      const int ea = bits == 5 ? (a << 3 | a >> 2) : (a << 2 | a >> 4);
      const int eb = bits == 5 ? (b << 3 | b >> 2) : (b << 2 | b >> 4);
      const int value = three_colour ? interpolate_half(ea, eb) : interpolate_third(ea, eb);
      for (int v = 0; v < 256; ++v) {
        const int err = std::abs(value - v);
        if (err < table[size_t(v)].error) table[size_t(v)] = {uint8_t(a), uint8_t(b), uint8_t(err)};
      }
    }
  }
  return table;
}

Endpoints single_colour(const uint8_t* rgb, bool three_colour) {
  static const ChannelTable five[2] = {make_table(5, false), make_table(5, true)};
  static const ChannelTable six[2] = {make_table(6, false), make_table(6, true)};
  const ChannelPair& r = five[three_colour][rgb[0]];
  const ChannelPair& g = six[three_colour][rgb[1]];
  const ChannelPair& b = five[three_colour][rgb[2]];
  return {uint16_t(r.a << 11 | g.a << 5 | b.a), uint16_t(r.b << 11 | g.b << 5 | b.b)};
}

// Puts the endpoints in the order that selects the mode.
Endpoints ordered(Endpoints e, bool three_colour) {
  if (three_colour ? e.c0 > e.c1 : e.c0 < e.c1) std::swap(e.c0, e.c1);
  return e;
}

// Steps each 5:6:5 field of either endpoint by one while that lowers the
// exact error.
int64_t refine(const PixelBlock& block, const Points& pts, bool three_colour, Endpoints* e) {
  uint8_t indices[16];
  int64_t best = evaluate(block, pts, ordered(*e, three_colour), three_colour, indices);
  static const uint16_t kSteps[3] = {1 << 11, 1 << 5, 1};
  static const uint16_t kFields[3] = {0xF800, 0x07E0, 0x001F};
  for (int round = 0; round < 16 && best > 0; ++round) {
    bool improved = false;
    for (int end = 0; end < 2; ++end) {
      for (int f = 0; f < 3; ++f) {
        for (int dir = -1; dir <= 1; dir += 2) {
          Endpoints t = *e;
          uint16_t& c = end == 0 ? t.c0 : t.c1;
          const int field = c & kFields[f];
          const int moved = field + dir * kSteps[f];
          if (moved < 0 || moved > kFields[f]) continue;
          c = uint16_t((c & ~kFields[f]) | moved);
          const int64_t err = evaluate(block, pts, ordered(t, three_colour), three_colour, indices);
          if (err < best) best = err, *e = t, improved = true;
        }
      }
    }
    if (!improved) break;
  }
  return best;
}

struct ColourResult {
  Endpoints e;
  bool three_colour = false;
  int64_t error = INT64_MAX;
};

ColourResult fit_mode(const PixelBlock& block, const Points& pts, bool three_colour) {
  ColourResult out;
  out.three_colour = three_colour;
  bool one_colour = true;
  for (int i = 1; i < pts.n; ++i) {
    one_colour =
        one_colour && std::memcmp(block.rgba[pts.pixel[i]], block.rgba[pts.pixel[0]], 3) == 0;
  }
  if (one_colour) {
    out.e = single_colour(block.rgba[pts.pixel[0]], three_colour);
  } else {
    const Fit fit = cluster_fit(pts, three_colour);
    out.e = std::isfinite(fit.error) ? Endpoints{pack565(fit.a), pack565(fit.b)}
                                     : single_colour(block.rgba[pts.pixel[0]], three_colour);
  }
  out.error = refine(block, pts, three_colour, &out.e);
  return out;
}

void write_colour_block(const PixelBlock& block, const Points& pts, const ColourResult& r,
                        uint8_t out[8]) {
  const Endpoints e = ordered(r.e, r.three_colour);
  uint8_t indices[16] = {};
  evaluate(block, pts, e, r.three_colour, indices);
  if (r.three_colour) {
    for (int i = 0; i < 16; ++i) {
      if ((block.mask >> i & 1) && block.rgba[i][3] < 128) indices[i] = 3;
    }
  } else if (e.c0 == e.c1) {
    // Equal endpoints select the three-colour mode; every entry that the
    // block uses is then the first endpoint.
    std::memset(indices, 0, sizeof indices);
  }
  out[0] = uint8_t(e.c0), out[1] = uint8_t(e.c0 >> 8);
  out[2] = uint8_t(e.c1), out[3] = uint8_t(e.c1 >> 8);
  for (int row = 0; row < 4; ++row) {
    out[4 + row] = uint8_t(indices[row * 4] | indices[row * 4 + 1] << 2 |
                           indices[row * 4 + 2] << 4 | indices[row * 4 + 3] << 6);
  }
}

Points points_of(const PixelBlock& block, bool opaque_only) {
  Points pts;
  for (int i = 0; i < 16; ++i) {
    if (!(block.mask >> i & 1) || (opaque_only && block.rgba[i][3] < 128)) continue;
    pts.p[pts.n] = {float(block.rgba[i][0]), float(block.rgba[i][1]), float(block.rgba[i][2])};
    pts.pixel[pts.n++] = uint8_t(i);
  }
  return pts;
}

// DXT5 alpha: the pair of endpoints (their order selects eight values or six
// plus 0 and 255) and its exact error with the best index per pixel.
int alpha_error(const PixelBlock& block, int a0, int a1, uint8_t indices[16]) {
  uint8_t palette[8];
  alpha_palette(uint8_t(a0), uint8_t(a1), palette);
  int total = 0;
  for (int i = 0; i < 16; ++i) {
    if (!(block.mask >> i & 1)) continue;
    int best = 1 << 20, best_index = 0;
    for (int k = 0; k < 8; ++k) {
      const int d = int(block.rgba[i][3]) - palette[k];
      if (d * d < best) best = d * d, best_index = k;
    }
    indices[i] = uint8_t(best_index);
    total += best;
  }
  return total;
}

void encode_alpha(const PixelBlock& block, uint8_t out[8]) {
  int lo = 255, hi = 0, lo_inner = 255, hi_inner = 0;
  for (int i = 0; i < 16; ++i) {
    if (!(block.mask >> i & 1)) continue;
    const int a = block.rgba[i][3];
    lo = std::min(lo, a), hi = std::max(hi, a);
    if (a != 0 && a != 255) lo_inner = std::min(lo_inner, a), hi_inner = std::max(hi_inner, a);
  }
  if (lo_inner > hi_inner) lo_inner = hi_inner = lo;
  uint8_t indices[16] = {};
  // Seeds: eight values over the whole range, six over the inner one.
  int best_a0 = hi, best_a1 = lo;
  int best = alpha_error(block, hi, lo, indices);
  const int six = alpha_error(block, lo_inner, hi_inner, indices);
  if (six < best) best = six, best_a0 = lo_inner, best_a1 = hi_inner;
  for (int round = 0; round < 32 && best > 0; ++round) {
    bool improved = false;
    for (int step : {-4, -1, 1, 4}) {
      for (int end = 0; end < 2; ++end) {
        int a0 = best_a0, a1 = best_a1;
        (end == 0 ? a0 : a1) += step;
        if (a0 < 0 || a0 > 255 || a1 < 0 || a1 > 255) continue;
        const int err = alpha_error(block, a0, a1, indices);
        if (err < best) best = err, best_a0 = a0, best_a1 = a1, improved = true;
      }
    }
    if (!improved) break;
  }
  alpha_error(block, best_a0, best_a1, indices);
  out[0] = uint8_t(best_a0), out[1] = uint8_t(best_a1);
  uint64_t bits = 0;
  for (int i = 15; i >= 0; --i) bits = bits << 3 | indices[i];
  for (int k = 0; k < 6; ++k) out[2 + k] = uint8_t(bits >> (8 * k));
}

}  // namespace

void encode_dxt1_block(const PixelBlock& block, uint8_t out[8]) {
  const Points opaque = points_of(block, true);
  int counted = 0;
  for (int i = 0; i < 16; ++i) counted += block.mask >> i & 1;
  ColourResult best;
  if (opaque.n == 0) {
    best.three_colour = true;  // every index is the transparent one
  } else {
    best = fit_mode(block, opaque, true);
    // Without transparent pixels the four-colour mode may do better.
    if (opaque.n == counted) {
      const ColourResult four = fit_mode(block, opaque, false);
      if (four.error <= best.error) best = four;
    }
  }
  write_colour_block(block, opaque, best, out);
}

void encode_dxt5_block(const PixelBlock& block, uint8_t out[16]) {
  encode_alpha(block, out);
  const Points pts = points_of(block, false);
  ColourResult colour;
  if (pts.n > 0) colour = fit_mode(block, pts, false);
  write_colour_block(block, pts, colour, out + 8);
}

}  // namespace linkdata
