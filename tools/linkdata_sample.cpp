// linkdata-sample: writes a deterministic LINKDATA archive for tests and
// benchmarks.
//
//   linkdata-sample [--level N] [--data mixed|literal] DIR [LETTER] [SIZE_MIB]
//   linkdata-sample [--level N] [--data mixed|literal] DIR LETTER small COUNT
//
// writes DIR/LINKDATA_EU_OS_EUNA.<LETTER> (LETTER defaults to A and is folded
// to upper case; DIR is created when missing). The same arguments always give
// the same bytes. Every archive starts with these entries:
//
//    0  plain       0 bytes
//    1  plain       3000 bytes of text (slot 4096)
//    2  plain       2048 bytes, a byte ramp (exactly one slot)
//    3  plain       texture container, one DXT1 16x16 with 5 mips
//                   (stored plain: export and the listing find it all the same)
//    4  compressed  20000 bytes of text, one chunk
//    5  compressed  204800 bytes of mixed data, 7 chunks
//    6  compressed  38768 bytes: zlib chunk (32768 bytes), plain chunk
//                   (1000 bytes, first byte 'p'), zlib chunk (5000 bytes)
//    7  compressed  texture container with 5 textures:
//                     0  DXT1 64x64, mip count 7
//                     1  format code 2 (not exported), 16x16, 512 bytes
//                     2  DXT5 128x128, mip count 8 (low nibble of byte 0 set)
//                     3  32-bit ARGB 32x32
//                     4  DXT1 64 wide x 32 high, mip count 6, behind a
//                        0x20-byte extension block
//    8  compressed  package of 3 sub-files: 200 bytes of text, a texture
//                   container (one DXT5 32x32, mip count 6), 1000 bytes of
//                   mixed data
//    9  compressed  1 byte
//   10  compressed  32768 bytes, exactly one block
//   11  compressed  32769 bytes, the second chunk holds 1 byte
//   12  compressed  10000 bytes: zlib chunk (6000 bytes), empty chunk, zlib
//                   chunk (4000 bytes), terminator, then 8 zero bytes that
//                   the stored size counts
//
// With SIZE_MIB, generated entries follow until the file holds about that
// many MiB: two thirds compressed, 4 KiB to 16 MiB each, mostly small; half of
// the compressed ones of 1 MiB and more are DXT5 texture containers.
//
// With small COUNT, COUNT generated entries follow instead, of 200 bytes to
// 8 KiB each, two thirds compressed: the archive of many small files.
//
// --level N (1-9, default 9, the tool's own) is the zlib level of every zlib
// chunk, as another packer could have chosen it. --data literal makes the
// generated entries' data (not the texture containers) mostly bytes from
// small alphabets: it packs about 1.7:1, near the default `mixed` data's
// 2:1, but as coded literals rather than long matches, so that a chunk takes
// two deflate blocks where a `mixed` one mostly takes one.

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "archive/format/codec.h"
#include "archive/format/format.h"
#include "platform/little_endian.h"
#include "textures/container.h"
#include "tools/archive_builder.h"

namespace {

namespace fs = std::filesystem;
using linkdata::store_u32le;
using linkdata::store_u64le;
using linkdata::archive_builder::ArchiveLayout;
using linkdata::archive_builder::package;
using linkdata::archive_builder::StoredEntry;
using Bytes = std::vector<uint8_t>;

// The command line's choices.
int g_level = linkdata::kCompressionLevel;
bool g_literal_data = false;

// splitmix64: fixed output on every platform, unlike std:: distributions.
struct Rng {
  uint64_t state = 0;
};

uint64_t next_u64(Rng& rng) {
  uint64_t z = (rng.state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint32_t next_below(Rng& rng, uint32_t n) { return uint32_t(next_u64(rng) % n); }

uint64_t round_up(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

void put_u32(Bytes& out, size_t pos, uint32_t value) { store_u32le(out.data() + pos, value); }

void append_u32(Bytes& out, uint32_t value) {
  out.resize(out.size() + 4);
  put_u32(out, out.size() - 4, value);
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

void fill_random(uint8_t* p, size_t n, Rng& rng) {
  uint8_t word[8];
  for (size_t i = 0; i < n; i += 8) {
    store_u64le(word, next_u64(rng));
    std::memcpy(p + i, word, std::min<size_t>(8, n - i));
  }
}

// 64-byte records: about a third fresh random bytes, the rest repeats from a
// small dictionary. zlib level 9 packs this about 2:1 and runs fast on it,
// since every match is either long or absent.
Bytes mixed_data(size_t size, Rng& rng) {
  constexpr size_t kRecord = 64;
  constexpr size_t kDictionaryRecords = 64;
  Bytes dictionary(kRecord * kDictionaryRecords);
  fill_random(dictionary.data(), dictionary.size(), rng);
  Bytes out(size);
  for (size_t pos = 0; pos < size; pos += kRecord) {
    size_t n = std::min(kRecord, size - pos);
    uint64_t pick = next_u64(rng);
    if (pick % 100 < 35) {
      fill_random(out.data() + pos, n, rng);
    } else {
      std::memcpy(out.data() + pos, dictionary.data() + (pick >> 32) % kDictionaryRecords * kRecord,
                  n);
    }
  }
  // A first word above 0x10000 keeps the content from passing as a package.
  if (size >= 4) out[3] |= 0x80;
  return out;
}

// 64-byte records: a quarter of them repeats from a small dictionary, the
// rest bytes drawn from an alphabet of 16 values that changes every 4 KiB.
// zlib packs this about 1.7:1 at every level, mostly as coded literals, so a
// 32 KiB block takes two deflate blocks.
Bytes literal_data(size_t size, Rng& rng) {
  constexpr size_t kRecord = 64;
  constexpr size_t kDictionaryRecords = 32;
  constexpr size_t kRegion = 4096;
  Bytes dictionary(kRecord * kDictionaryRecords);
  fill_random(dictionary.data(), dictionary.size(), rng);
  uint8_t alphabet[16];
  Bytes out(size);
  for (size_t pos = 0; pos < size; pos += kRecord) {
    const size_t n = std::min(kRecord, size - pos);
    if (pos % kRegion == 0) fill_random(alphabet, sizeof alphabet, rng);
    const uint64_t pick = next_u64(rng);
    if (pick % 4 == 0) {
      std::memcpy(out.data() + pos, dictionary.data() + (pick >> 32) % kDictionaryRecords * kRecord,
                  n);
      continue;
    }
    for (size_t i = 0; i < n; i += 16) {
      const uint64_t draws = next_u64(rng);
      for (size_t k = 0; k < 16 && i + k < n; ++k)
        out[pos + i + k] = alphabet[(draws >> (4 * k)) & 15];
    }
  }
  // A first word above 0x10000 keeps the content from passing as a package.
  if (size >= 4) out[3] |= 0x80;
  return out;
}

Bytes text_data(size_t size, const std::string& prefix) {
  std::string text;
  for (uint32_t line = 0; text.size() < size; ++line) {
    text += prefix + ", line " + std::to_string(line) +
            ": the quick brown fox jumps over the lazy dog 0123456789\n";
  }
  return Bytes(text.begin(), text.begin() + std::ptrdiff_t(size));
}

// ---------------------------------------------------------------------------
// Texture containers

struct TexturePlan {
  uint8_t format = 0;
  uint8_t width_exponent = 0;
  uint8_t height_exponent = 0;
  uint8_t mip_count = 1;
  uint8_t byte0_low = 0;           // low nibble of byte 0, ignored by readers
  uint32_t extension_length = 0;   // 0: no extension block
  uint32_t other_format_size = 0;  // pixel bytes of a format without a size rule
  bool noisy = false;              // packs like real DXT data; see write_block_levels
};

struct Level {
  uint32_t width;
  uint32_t height;
};

// The stored levels, largest first; halving stops once a side reaches 0.
std::vector<Level> stored_levels(const TexturePlan& t) {
  Level level{1u << t.width_exponent, 1u << t.height_exponent};
  std::vector<Level> levels{level};
  for (uint32_t i = 1; i < t.mip_count; ++i) {
    level.width /= 2;
    level.height /= 2;
    if (level.width == 0 || level.height == 0) break;
    levels.push_back(level);
  }
  return levels;
}

uint32_t block_bytes(uint8_t format) { return format == linkdata::kFormatDxt1 ? 8 : 16; }

uint32_t pixel_data_size(const TexturePlan& t) {
  if (t.format == linkdata::kFormatArgb8) {
    return (1u << t.width_exponent) * (1u << t.height_exponent) * 4;
  }
  if (t.format != linkdata::kFormatDxt1 && t.format != linkdata::kFormatDxt5) {
    return t.other_format_size;
  }
  uint32_t size = 0;
  for (const Level& l : stored_levels(t)) {
    size += (l.width + 3) / 4 * ((l.height + 3) / 4) * block_bytes(t.format);
  }
  return size;
}

uint32_t rgb565(uint32_t r, uint32_t g, uint32_t b) {
  return (r >> 3) << 11 | (g >> 2) << 5 | (b >> 3);
}

uint32_t ramp(uint32_t i, uint32_t count) { return count > 1 ? 255 * i / (count - 1) : 128; }

// Colour part of a block: red grows to the right, green downwards, blue
// darkens with the mip level. Inside the block each row fades from c0 to c1.
void write_colour_block(uint8_t* p, uint32_t bx, uint32_t by, uint32_t bw, uint32_t bh,
                        uint32_t level, Rng* noise) {
  uint32_t r = ramp(bx, bw);
  uint32_t g = ramp(by, bh);
  uint32_t b = level < 6 ? 255 - 40 * level : 0;
  uint32_t c0 = rgb565(r, g, b);
  uint32_t c1 = rgb565(r * 3 / 4, g * 3 / 4, b * 3 / 4);
  if (c0 <= c1) c0 = c1 + 1;  // c0 > c1 selects the four-colour mode
  store_u32le(p, c0 | c1 << 16);
  // Without noise, the codes 0, 2, 3, 1 of each row run from c0 to c1.
  store_u32le(p + 4, noise ? uint32_t(next_u64(*noise)) : 0x78787878u);
}

void write_alpha_block(uint8_t* p, uint32_t bx, uint32_t by, uint32_t bw, uint32_t bh, Rng* noise) {
  uint32_t a = 255 - 191 * (bx + by) / std::max(1u, bw + bh - 2);
  p[0] = uint8_t(a);
  p[1] = uint8_t(a / 2);
  uint8_t indices[8] = {};
  if (noise) store_u64le(indices, next_u64(*noise));
  std::memcpy(p + 2, indices, 6);
}

// Noisy textures (generated entries) go by groups of four blocks: either
// gradient blocks with random indices or a copy of one of 64 random tiles.
// zlib level 9 packs that about 2:1, like real DXT data, and fast, because
// every match is either long or absent.
void write_block_levels(uint8_t* p, const TexturePlan& t, Rng& rng) {
  constexpr uint32_t kGroup = 4;
  constexpr uint32_t kTiles = 64;
  const uint32_t unit = block_bytes(t.format);
  Bytes tiles;
  if (t.noisy) {
    tiles.resize(kTiles * kGroup * unit);
    fill_random(tiles.data(), tiles.size(), rng);
  }
  const uint8_t* tile = nullptr;
  uint64_t block = 0;
  uint32_t level_number = 0;
  for (const Level& l : stored_levels(t)) {
    uint32_t bw = (l.width + 3) / 4;
    uint32_t bh = (l.height + 3) / 4;
    for (uint32_t by = 0; by < bh; ++by) {
      for (uint32_t bx = 0; bx < bw; ++bx, ++block, p += unit) {
        if (t.noisy && block % kGroup == 0) {
          tile = next_below(rng, 100) < 45 ? nullptr
                                           : tiles.data() + next_below(rng, kTiles) * kGroup * unit;
        }
        if (tile) {
          std::memcpy(p, tile + block % kGroup * unit, unit);
          continue;
        }
        Rng* noise = t.noisy ? &rng : nullptr;
        if (t.format == linkdata::kFormatDxt5) {
          write_alpha_block(p, bx, by, bw, bh, noise);
          write_colour_block(p + 8, bx, by, bw, bh, level_number, noise);
        } else {
          write_colour_block(p, bx, by, bw, bh, level_number, noise);
        }
      }
    }
    ++level_number;
  }
}

// A8R8G8B8, stored B, G, R, A: gradients with an 8-pixel checker in blue.
void write_argb(uint8_t* p, const TexturePlan& t) {
  uint32_t w = 1u << t.width_exponent;
  uint32_t h = 1u << t.height_exponent;
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x, p += 4) {
      uint32_t blue = ((x / 8 + y / 8) & 1) ? 255 : 32;
      store_u32le(p, 0xFFu << 24 | ramp(x, w) << 16 | ramp(y, h) << 8 | blue);
    }
  }
}

// Header "GT1G0600", table at 0x20 whose entries count from the table start,
// then each texture's 8-byte header (and extension block) and pixel data,
// every header on a 16-byte boundary.
Bytes texture_container(const std::vector<TexturePlan>& textures, Rng& rng) {
  constexpr uint32_t kTableOffset = 0x20;
  const uint32_t count = uint32_t(textures.size());
  Bytes out(kTableOffset + 4 * count);
  std::memcpy(out.data(), linkdata::kTextureMagic, sizeof linkdata::kTextureMagic);
  put_u32(out, 8, 0x00000101);  // not read by the tool
  put_u32(out, 12, kTableOffset);
  put_u32(out, 16, count);
  for (uint32_t i = 0; i < count; ++i) {
    const TexturePlan& t = textures[i];
    out.resize(round_up(out.size(), 16));
    const size_t header = out.size();
    put_u32(out, kTableOffset + 4 * i, uint32_t(header - kTableOffset));
    const uint32_t data_size = pixel_data_size(t);
    out.resize(header + 8 + t.extension_length + data_size);
    out[header] = uint8_t(t.mip_count << 4 | (t.byte0_low & 0x0F));
    out[header + 1] = t.format;
    out[header + 2] = uint8_t(t.height_exponent << 4 | t.width_exponent);
    out[header + 7] = t.extension_length ? 1 : 0;
    if (t.extension_length) {
      put_u32(out, header + 8, t.extension_length);
      std::fill(out.begin() + std::ptrdiff_t(header + 12),
                out.begin() + std::ptrdiff_t(header + 8 + t.extension_length), uint8_t(0xEE));
    }
    uint8_t* pixels = out.data() + header + 8 + t.extension_length;
    if (t.format == linkdata::kFormatDxt1 || t.format == linkdata::kFormatDxt5) {
      write_block_levels(pixels, t, rng);
    } else if (t.format == linkdata::kFormatArgb8) {
      write_argb(pixels, t);
    } else {
      for (uint32_t k = 0; k < data_size; ++k) pixels[k] = uint8_t(k * 7);
    }
  }
  return out;
}

TexturePlan dxt(uint8_t format, uint8_t width_exponent, uint8_t height_exponent, uint8_t mips) {
  TexturePlan t;
  t.format = format;
  t.width_exponent = width_exponent;
  t.height_exponent = height_exponent;
  t.mip_count = mips;
  return t;
}

// Square DXT5 textures with full mip chains, largest first, filling most of
// the budget (at least one texture).
std::vector<TexturePlan> bulk_texture_set(uint32_t budget) {
  std::vector<TexturePlan> set;
  uint64_t used = 0x20;
  for (uint8_t e = 11; e >= 6 && set.size() < 16;) {
    TexturePlan t = dxt(linkdata::kFormatDxt5, e, e, uint8_t(e + 1));
    t.noisy = true;
    uint64_t cost = 4 + 16 + 8 + pixel_data_size(t);
    if (used + cost <= budget || (set.empty() && e == 6)) {
      set.push_back(t);
      used += cost;
    } else {
      --e;
    }
  }
  return set;
}

// ---------------------------------------------------------------------------
// Entries and payloads

enum class ChunkKind { zlib, plain, empty };

struct ChunkPlan {
  ChunkKind kind;
  size_t begin;  // range of the content the chunk carries
  size_t length;
};

struct Entry {
  Bytes content;
  bool compressed = false;
  std::vector<ChunkPlan> chunks;  // compressed entries only
  uint32_t trailing_zeros = 0;    // zero bytes behind the terminator, inside the stored size
};

// The encoder's own cut: 32 KiB blocks, each one zlib stream.
std::vector<ChunkPlan> block_chunks(size_t size) {
  std::vector<ChunkPlan> chunks;
  for (size_t pos = 0; pos < size; pos += linkdata::kBlockSize) {
    chunks.push_back({ChunkKind::zlib, pos, std::min<size_t>(linkdata::kBlockSize, size - pos)});
  }
  return chunks;
}

Entry plain_entry(Bytes content) {
  Entry e;
  e.content = std::move(content);
  return e;
}

Entry compressed_entry(Bytes content) {
  Entry e;
  e.compressed = true;
  e.chunks = block_chunks(content.size());
  e.content = std::move(content);
  return e;
}

// u32 total size | { u32 length | bytes }* | u32 0 | trailing zeros
std::optional<StoredEntry> store_entry(Entry e) {
  StoredEntry stored;
  if (!e.compressed) {
    stored.stored = std::move(e.content);
    return stored;
  }
  Bytes& out = stored.stored;
  append_u32(out, uint32_t(e.content.size()));
  for (const ChunkPlan& c : e.chunks) {
    const uint8_t* source = e.content.data() + c.begin;
    if (c.kind == ChunkKind::zlib) {
      uLongf length = compressBound(uLong(c.length));
      const size_t at = out.size() + 4;
      out.resize(at + length);
      if (compress2(out.data() + at, &length, source, uLong(c.length), g_level) != Z_OK ||
          out[at] != linkdata::kZlibMarker) {
        return std::nullopt;
      }
      out.resize(at + length);
      put_u32(out, at - 4, uint32_t(length));
    } else if (c.kind == ChunkKind::plain) {
      if (c.length == 0 || source[0] == linkdata::kZlibMarker) return std::nullopt;
      append_u32(out, uint32_t(c.length));
      out.insert(out.end(), source, source + c.length);
    } else {
      append_u32(out, 0);
    }
  }
  append_u32(out, 0);
  out.resize(out.size() + e.trailing_zeros);
  stored.unpacked_size = uint32_t(e.content.size());
  return stored;
}

// Runs make(0) .. make(count - 1) on `workers` threads. Each result lands in
// its own slot, so the output does not depend on which thread made it.
template <typename Make>
std::vector<std::optional<StoredEntry>> parallel_store(size_t count, unsigned workers, Make make) {
  std::vector<std::optional<StoredEntry>> results(count);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next++) < count;) results[i] = make(i);
  };
  std::vector<std::thread> helpers;
  for (size_t t = 1; t < std::min<size_t>(workers, count); ++t) helpers.emplace_back(work);
  work();
  for (std::thread& t : helpers) t.join();
  return results;
}

Bytes byte_ramp(size_t size) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = uint8_t(i);
  return out;
}

// The fixed entries listed at the top of this file, in that order.
std::vector<Entry> fixed_entries() {
  using linkdata::kFormatArgb8;
  using linkdata::kFormatDxt1;
  using linkdata::kFormatDxt5;
  Rng rng{0x4C494E4B44415441ull};
  std::vector<Entry> entries;

  entries.push_back(plain_entry({}));
  entries.push_back(plain_entry(text_data(3000, "plain entry 1")));
  entries.push_back(plain_entry(byte_ramp(2048)));
  entries.push_back(plain_entry(texture_container({dxt(kFormatDxt1, 4, 4, 5)}, rng)));

  entries.push_back(compressed_entry(text_data(20000, "compressed entry 4")));
  entries.push_back(compressed_entry(mixed_data(200 * 1024, rng)));

  {
    Bytes content = mixed_data(32768, rng);
    append(content, text_data(1000, "plain chunk"));
    append(content, mixed_data(5000, rng));
    Entry e;
    e.compressed = true;
    e.chunks = {{ChunkKind::zlib, 0, 32768},
                {ChunkKind::plain, 32768, 1000},
                {ChunkKind::zlib, 33768, 5000}};
    e.content = std::move(content);
    entries.push_back(std::move(e));
  }

  {
    TexturePlan unsupported = dxt(2, 4, 4, 1);
    unsupported.other_format_size = 512;
    TexturePlan dxt5 = dxt(kFormatDxt5, 7, 7, 8);
    dxt5.byte0_low = 0x5;
    TexturePlan extended = dxt(kFormatDxt1, 6, 5, 6);
    extended.extension_length = 0x20;
    entries.push_back(compressed_entry(texture_container(
        {dxt(kFormatDxt1, 6, 6, 7), unsupported, dxt5, dxt(kFormatArgb8, 5, 5, 1), extended},
        rng)));
  }

  entries.push_back(compressed_entry(
      package({text_data(200, "package sub-file 0"),
               texture_container({dxt(kFormatDxt5, 5, 5, 6)}, rng), mixed_data(1000, rng)})));

  entries.push_back(compressed_entry({0x42}));
  entries.push_back(compressed_entry(mixed_data(32768, rng)));
  entries.push_back(compressed_entry(mixed_data(32769, rng)));

  {
    Entry e;
    e.compressed = true;
    e.content = mixed_data(10000, rng);
    e.chunks = {
        {ChunkKind::zlib, 0, 6000}, {ChunkKind::empty, 6000, 0}, {ChunkKind::zlib, 6000, 4000}};
    e.trailing_zeros = 8;
    entries.push_back(std::move(e));
  }
  return entries;
}

// ---------------------------------------------------------------------------
// Generated entries

enum class GeneratedKind { plain, compressed, textures };

struct GeneratedEntry {
  GeneratedKind kind;
  uint32_t size;  // content size (for textures: the budget)
  uint64_t seed;
};

// Content sizes: an octave of 4 KiB << k, k the smaller of two draws from
// 0..11, so small entries dominate and the 8-16 MiB octave is rare.
uint32_t draw_size(Rng& rng) {
  uint32_t octave = std::min(next_below(rng, 12), next_below(rng, 12));
  uint32_t low = 4096u << octave;
  return low + next_below(rng, low);
}

// Stored sizes are estimated from measured ratios: mixed data packs about
// 1.98:1, literal data about 1.69:1, noisy DXT5 containers about 1.85:1.
uint64_t estimated_slot(const GeneratedEntry& g) {
  uint64_t stored = g.size;
  if (g.kind == GeneratedKind::compressed) {
    stored = g_literal_data ? g.size / 5 * 3 : g.size / 2 + g.size / 128;
  }
  if (g.kind == GeneratedKind::textures) stored = g.size / 2 + g.size / 25;
  return linkdata::round_up_to_write_unit(stored);
}

std::vector<GeneratedEntry> plan_generated(uint64_t target_bytes, size_t fixed_count,
                                           uint64_t fixed_slots) {
  Rng rng{0x53414D504C45ull};
  std::vector<GeneratedEntry> plan;
  uint64_t payload_bytes = fixed_slots;
  for (;;) {
    const uint64_t index_end = linkdata::round_up_to_write_unit(
        linkdata::kArchiveHeaderSize + linkdata::kRecordSize * (fixed_count + plan.size()));
    if (index_end + payload_bytes >= target_bytes) break;
    const uint64_t room = target_bytes - index_end - payload_bytes;
    GeneratedEntry g;
    g.size = draw_size(rng);
    g.kind = next_below(rng, 3) == 0 ? GeneratedKind::plain : GeneratedKind::compressed;
    if (g.kind == GeneratedKind::compressed && g.size >= (1u << 20) && (next_u64(rng) & 1)) {
      g.kind = GeneratedKind::textures;
    }
    // The last entries shrink to what is left, so small targets are met too.
    const uint64_t fits = g.kind == GeneratedKind::plain ? room : 2 * room;
    g.size = uint32_t(std::max<uint64_t>(4096, std::min<uint64_t>(g.size, fits)));
    g.seed = next_u64(rng);
    payload_bytes += estimated_slot(g);
    plan.push_back(g);
  }
  return plan;
}

constexpr uint32_t kSmallMin = 200;
constexpr uint32_t kSmallMax = 8192;

std::vector<GeneratedEntry> plan_small(uint32_t count) {
  Rng rng{0x534D414C4Cull};
  std::vector<GeneratedEntry> plan(count);
  for (GeneratedEntry& g : plan) {
    g.size = kSmallMin + next_below(rng, kSmallMax - kSmallMin + 1);
    g.kind = next_below(rng, 3) == 0 ? GeneratedKind::plain : GeneratedKind::compressed;
    g.seed = next_u64(rng);
  }
  return plan;
}

Entry generate(const GeneratedEntry& g) {
  Rng rng{g.seed};
  switch (g.kind) {
    case GeneratedKind::plain:
      return plain_entry(g_literal_data ? literal_data(g.size, rng) : mixed_data(g.size, rng));
    case GeneratedKind::compressed:
      return compressed_entry(g_literal_data ? literal_data(g.size, rng) : mixed_data(g.size, rng));
    case GeneratedKind::textures:
      break;
  }
  return compressed_entry(texture_container(bulk_texture_set(g.size), rng));
}

// ---------------------------------------------------------------------------
// Archive file

// The head (header and index) goes first with the index zeroed; payloads are
// streamed behind it, each in its slot (see tools/archive_builder.h); the head
// is written again last, once the layout has filled in the records.
// Generated entries are made and packed in parallel, a batch of up to 64 MiB
// of content at a time, and written in entry order.
bool write_archive(const fs::path& path, std::vector<StoredEntry> fixed,
                   const std::vector<GeneratedEntry>& generated, unsigned workers) {
  constexpr uint64_t kBatchBytes = 64u << 20;
  const uint32_t count = uint32_t(fixed.size() + generated.size());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    std::fprintf(stderr, "linkdata-sample: cannot create %s\n", path.string().c_str());
    return false;
  }
  ArchiveLayout layout(count);
  const Bytes& head = layout.head();
  out.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));

  const Bytes zeros(linkdata::archive_builder::kSlotUnit);
  uint32_t n = 0;
  auto write_entry = [&](const StoredEntry& stored) {
    const size_t padding = layout.place(stored);
    ++n;
    out.write(reinterpret_cast<const char*>(stored.stored.data()),
              std::streamsize(stored.stored.size()));
    out.write(reinterpret_cast<const char*>(zeros.data()), std::streamsize(padding));
  };

  for (const StoredEntry& stored : fixed) write_entry(stored);
  fixed.clear();
  for (size_t first = 0; first < generated.size() && out;) {
    size_t last = first;
    uint64_t bytes = 0;
    while (last < generated.size() &&
           (last == first || bytes + generated[last].size <= kBatchBytes)) {
      bytes += generated[last++].size;
    }
    std::vector<std::optional<StoredEntry>> batch =
        parallel_store(last - first, workers,
                       [&](size_t i) { return store_entry(generate(generated[first + i])); });
    for (const std::optional<StoredEntry>& stored : batch) {
      if (!stored) {
        std::fprintf(stderr, "linkdata-sample: compressing entry %u failed\n", unsigned(n));
        return false;
      }
      write_entry(*stored);
    }
    first = last;
  }
  out.seekp(0);
  out.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "linkdata-sample: writing %s failed\n", path.string().c_str());
    return false;
  }
  return true;
}

int usage() {
  std::fputs(
      "usage: linkdata-sample [OPTIONS] DIR [LETTER] [SIZE_MIB]\n"
      "       linkdata-sample [OPTIONS] DIR LETTER small COUNT\n"
      "  writes DIR/LINKDATA_EU_OS_EUNA.<LETTER>; LETTER is one letter, default A\n"
      "  SIZE_MIB (1-65536): add generated entries up to about that many MiB\n"
      "  small COUNT (1-1000000): add COUNT entries of 200 bytes to 8 KiB instead\n"
      "  --level N (1-9): zlib level of the chunks, default 9\n"
      "  --data mixed|literal: generated data of long repeats (default, about\n"
      "    2:1) or mostly of coded literals (about 1.7:1, two deflate blocks a chunk)\n",
      stderr);
  return 2;
}

// A decimal number from 1 to max, digits only.
std::optional<uint32_t> parse_count(const std::string& text, uint32_t max) {
  if (text.empty() || text.size() > 7) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + uint32_t(c - '0');
  }
  if (value < 1 || value > max) return std::nullopt;
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  // Options first, then the positional arguments, which keep their places.
  std::vector<char*> positional = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--level" && i + 1 < argc) {
      std::optional<uint32_t> level = parse_count(argv[++i], 9);
      if (!level) return usage();
      g_level = int(*level);
    } else if (arg == "--data" && i + 1 < argc) {
      const std::string kind = argv[++i];
      if (kind != "mixed" && kind != "literal") return usage();
      g_literal_data = kind == "literal";
    } else if (arg.rfind("--", 0) == 0) {
      return usage();
    } else {
      positional.push_back(argv[i]);
    }
  }
  argc = int(positional.size());
  argv = positional.data();
  if (argc < 2 || argc > 5 || argv[1][0] == '\0') return usage();
  char letter = 'A';
  if (argc >= 3) {
    const std::string arg = argv[2];
    if (arg.size() != 1 ||
        !((arg[0] >= 'A' && arg[0] <= 'Z') || (arg[0] >= 'a' && arg[0] <= 'z'))) {
      return usage();
    }
    letter = arg[0] >= 'a' ? char(arg[0] - 'a' + 'A') : arg[0];
  }
  uint32_t size_mib = 0;
  uint32_t small_count = 0;
  if (argc == 4) {
    std::optional<uint32_t> parsed = parse_count(argv[3], 65536);
    if (!parsed) return usage();
    size_mib = *parsed;
  } else if (argc == 5) {
    std::optional<uint32_t> parsed = parse_count(argv[4], 1000000);
    if (std::string(argv[3]) != "small" || !parsed) return usage();
    small_count = *parsed;
  }

  const fs::path dir = argv[1];
  std::error_code ec;
  fs::create_directory(dir, ec);
  if (ec || !fs::is_directory(dir, ec)) {
    std::fprintf(stderr, "linkdata-sample: cannot create directory %s\n", dir.string().c_str());
    return 1;
  }

  const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
  std::vector<Entry> entries = fixed_entries();
  std::vector<std::optional<StoredEntry>> packed = parallel_store(
      entries.size(), workers, [&](size_t i) { return store_entry(std::move(entries[i])); });
  std::vector<StoredEntry> fixed;
  uint64_t fixed_slots = 0;
  for (std::optional<StoredEntry>& stored : packed) {
    if (!stored) {
      std::fprintf(stderr, "linkdata-sample: compressing entry %zu failed\n", fixed.size());
      return 1;
    }
    fixed_slots += linkdata::round_up_to_write_unit(stored->stored.size());
    fixed.push_back(std::move(*stored));
  }
  const std::vector<GeneratedEntry> generated =
      small_count != 0 ? plan_small(small_count)
                       : plan_generated(uint64_t(size_mib) << 20, fixed.size(), fixed_slots);

  const fs::path path = dir / (std::string("LINKDATA_EU_OS_EUNA.") + letter);
  return write_archive(path, std::move(fixed), generated, workers) ? 0 : 1;
}
