// Builds the seed corpora of the fuzz targets from a sample archive written
// by linkdata-sample, so that no binary inputs need to live in the tree.
//
//   fuzz_make_seeds ARCHIVE OUT_DIR
//
// writes OUT_DIR/<target>/seed-N for every fuzz target named in main(). Seeds
// stay small (the fuzzers run best on inputs of a few KiB), so large entries
// are left out.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/format/codec.h"
#include "archive/format/format.h"
#include "archive/format/package.h"
#include "archive/safety/mods_record.h"
#include "platform/little_endian.h"
#include "png_import_textures.h"
#include "textures/container.h"
#include "textures/dds.h"
#include "textures/texture_formats.h"
#include "tools/archive_builder.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using namespace linkdata;

constexpr size_t kMaxSeed = 48 * 1024;

struct Entry {
  Bytes stored;
  uint32_t unpacked_size = 0;
  Bytes content;
};

void write_seed(const fs::path& dir, const Bytes& bytes) {
  if (bytes.size() > kMaxSeed) return;
  size_t n = 0;
  while (fs::exists(dir / ("seed-" + std::to_string(n)))) ++n;
  std::ofstream out(dir / ("seed-" + std::to_string(n)), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// An archive of the given entries.
Bytes archive_of(const std::vector<const Entry*>& entries) {
  std::vector<archive_builder::StoredEntry> stored;
  for (const Entry* e : entries) stored.push_back({e->stored, e->unpacked_size});
  return archive_builder::archive_image(stored);
}

// A texture as export writes it, and the same pixels behind a DX10 header.
void write_dds_seeds(const fs::path& dir, const uint8_t* container, size_t size) {
  for (const TextureDescription& t : read_texture_container(container, size)) {
    const bool supported = t.format_code == kFormatArgb8 || t.format_code == kFormatDxt1 ||
                           t.format_code == kFormatDxt5;
    if (!supported || !t.in_bounds) continue;
    const auto header = build_dds_header(t);
    const uint8_t* pixels = container + t.data_position;
    Bytes file(header.begin(), header.end());
    file.insert(file.end(), pixels, pixels + t.data_size);
    write_seed(dir, file);
    Bytes dx10(header.begin(), header.end());
    std::memcpy(&dx10[84], "DX10", 4);
    dx10.resize(148, 0);
    store_u32le(&dx10[128], t.format_code == kFormatDxt1   ? 71
                            : t.format_code == kFormatDxt5 ? 77
                                                           : 87);
    store_u32le(&dx10[132], 3);
    store_u32le(&dx10[140], 1);
    dx10.insert(dx10.end(), pixels, pixels + t.data_size);
    write_seed(dir, dx10);
  }
}

void put_u32be(Bytes& b, uint32_t v) {
  b.resize(b.size() + 4);
  store_u32be(b.data() + b.size() - 4, v);
}

void put_chunk(Bytes& png, const char* type, const Bytes& body) {
  put_u32be(png, uint32_t(body.size()));
  const size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), body.begin(), body.end());
  put_u32be(png, uint32_t(crc32(0, png.data() + start, uInt(png.size() - start))));
}

// A PNG file written here by hand: colour type and bit depth as given, rows
// of patterned bytes under every row filter in turn.
Bytes png_file(uint32_t w, uint32_t h, uint8_t colour_type, uint8_t depth) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  put_u32be(ihdr, w);
  put_u32be(ihdr, h);
  ihdr.insert(ihdr.end(), {depth, colour_type, 0, 0, 0});
  put_chunk(png, "IHDR", ihdr);
  if (colour_type == 3) {
    Bytes palette, alpha;
    for (int i = 0; i < 256; ++i) {
      palette.insert(palette.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)});
      alpha.push_back(uint8_t(i * 3));
    }
    put_chunk(png, "PLTE", palette);
    put_chunk(png, "tRNS", alpha);
  }
  const uint32_t channels = colour_type == 6 ? 4 : colour_type == 2 ? 3 : colour_type == 4 ? 2 : 1;
  const size_t row_bytes = size_t(w) * channels * depth / 8;
  Bytes raw;
  for (uint32_t y = 0; y < h; ++y) {
    raw.push_back(uint8_t(y % 5));
    for (size_t x = 0; x < row_bytes; ++x) raw.push_back(uint8_t(x * 13 + y * 29));
  }
  uLongf packed_size = compressBound(uLong(raw.size()));
  Bytes packed(packed_size);
  compress(packed.data(), &packed_size, raw.data(), uLong(raw.size()));
  packed.resize(packed_size);
  put_chunk(png, "IDAT", packed);
  put_chunk(png, "IEND", {});
  return png;
}

// For each texture of the PNG import target: pictures of its size in the
// common PNG variants, and hostile ones (a wrong CRC, cut short, a header
// claiming 30000x30000, a chunk claiming more than the file holds).
void write_png_seeds(const fs::path& dir) {
  for (uint8_t i = 0; i < 3; ++i) {
    const fuzz_support::PngTarget& t = fuzz_support::kPngTargets[i];
    const uint32_t w = fuzz_support::target_width(t), h = fuzz_support::target_height(t);
    const struct {
      uint8_t colour_type, depth;
    } variants[] = {{6, 8}, {3, 8}, {0, 16}, {2, 16}, {4, 8}, {6, 16}, {0, 1}};
    for (const auto& v : variants) {
      Bytes seed = {i};
      const Bytes png = png_file(w, h, v.colour_type, v.depth);
      seed.insert(seed.end(), png.begin(), png.end());
      write_seed(dir, seed);
    }
    Bytes bad_crc = {i};
    const Bytes png = png_file(w, h, 6, 8);
    bad_crc.insert(bad_crc.end(), png.begin(), png.end());
    bad_crc[1 + 8 + 8 + 13] ^= 0xFF;  // the IHDR's CRC
    write_seed(dir, bad_crc);
    write_seed(dir, Bytes(bad_crc.begin(), bad_crc.begin() + std::ptrdiff_t(bad_crc.size() / 2)));
    // The picture's file with its size changed (and the CRC left wrong).
    Bytes huge = {i};
    huge.insert(huge.end(), png.begin(), png.end());
    for (size_t at : {size_t(1 + 16), size_t(1 + 20)}) {
      const uint8_t size[4] = {0, 0, 0x75, 0x30};  // 30000, big-endian
      std::memcpy(&huge[at], size, 4);
    }
    write_seed(dir, huge);
    // An IDAT claiming a gibibyte behind the header: the decoder must not
    // grow a buffer to the claim (fuzzing found it did).
    Bytes claim = {i};
    claim.insert(claim.end(), png.begin(), png.begin() + 8 + 25);  // signature, IHDR
    const uint8_t idat[12] = {0x40, 0, 0, 0, 'I', 'D', 'A', 'T', 0, 0, 0, 0};
    claim.insert(claim.end(), idat, idat + sizeof idat);
    write_seed(dir, claim);
  }
}

// A DDS file of a layout of the table, its header legacy where the layout
// has a legacy form, DX10 otherwise; `levels` levels of patterned bytes.
Bytes dds_of_layout(const DdsLayoutFormat& row, uint32_t w, uint32_t h, uint32_t levels) {
  const bool dx10 = row.dds.flags == 0;
  Bytes d(dx10 ? 148 : 128, 0);
  std::memcpy(d.data(), "DDS ", 4);
  store_u32le(&d[4], 124);
  store_u32le(&d[8], 0x00021007);
  store_u32le(&d[12], h);
  store_u32le(&d[16], w);
  store_u32le(&d[28], levels);
  store_u32le(&d[76], 32);
  if (dx10) {
    store_u32le(&d[80], kDdsPfFourCC);
    std::memcpy(&d[84], "DX10", 4);
    store_u32le(&d[128], row.dxgi_formats[0]);
    store_u32le(&d[132], 3);  // 2-D
    store_u32le(&d[140], 1);  // one element
  } else {
    store_u32le(&d[80], row.dds.flags);
    std::memcpy(&d[84], row.dds.four_cc, 4);
    store_u32le(&d[88], row.dds.rgb_bit_count);
    store_u32le(&d[92], row.dds.r_mask);
    store_u32le(&d[96], row.dds.g_mask);
    store_u32le(&d[100], row.dds.b_mask);
    store_u32le(&d[104], row.dds.a_mask);
  }
  store_u32le(&d[108], 0x1000);
  uint64_t bytes = 0;
  for (uint32_t k = 0; k < levels; ++k) {
    bytes += level_bytes(row.blocks, std::max(1u, w >> k), std::max(1u, h >> k));
  }
  for (uint64_t i = 0; i < bytes; ++i) d.push_back(uint8_t(i * 29 + (i >> 7) * 3));
  return d;
}

// For each PNG import target, DDS files in its stead (byte 0 of 3 to 5): every
// layout of the table with one level and with all, so that the file's own
// bytes, its levels completed, and its pixels decoded and compressed again
// are all reached, and a layout named but not decodable. The DDS reader's
// target gets the files alone.
void write_dds_import_seeds(const fs::path& dir, const fs::path& reader_dir) {
  for (uint8_t i = 0; i < 3; ++i) {
    const fuzz_support::PngTarget& t = fuzz_support::kPngTargets[i];
    const uint32_t w = fuzz_support::target_width(t), h = fuzz_support::target_height(t);
    uint32_t chain = 1;
    while ((w >> chain) != 0 || (h >> chain) != 0) ++chain;
    for (const DdsLayoutFormat& row : all_dds_layouts()) {
      if (row.decode == nullptr && std::strcmp(row.name, "BC7") != 0) continue;
      for (uint32_t levels : {1u, chain}) {
        Bytes seed = {uint8_t(i + 3)};
        const Bytes dds = dds_of_layout(row, w, h, levels);
        seed.insert(seed.end(), dds.begin(), dds.end());
        write_seed(dir, seed);
        if (i == 0) write_seed(reader_dir, dds);
      }
    }
  }
}

Bytes import_input(uint8_t entry, const Bytes& archive, const Bytes& loose) {
  Bytes out(5, 0);
  out[0] = entry;
  store_u32le(out.data() + 1, uint32_t(archive.size()));
  out.insert(out.end(), archive.begin(), archive.end());
  out.insert(out.end(), loose.begin(), loose.end());
  return out;
}

// The import's input with the loose file's length, then damage to the file
// of originals.
Bytes originals_input(uint8_t entry, const Bytes& archive, const Bytes& loose,
                      const Bytes& damage) {
  Bytes out(9, 0);
  out[0] = entry;
  store_u32le(out.data() + 1, uint32_t(archive.size()));
  store_u32le(out.data() + 5, uint32_t(loose.size()));
  out.insert(out.end(), archive.begin(), archive.end());
  out.insert(out.end(), loose.begin(), loose.end());
  out.insert(out.end(), damage.begin(), damage.end());
  return out;
}

// A zlib stream of src at the given level, with the preset dictionary when
// one is given; raw deflate data for window_bits -15.
Bytes deflate_bytes(const Bytes& src, int level, int window_bits = 15, const Bytes& dictionary = {},
                    int strategy = Z_DEFAULT_STRATEGY) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, window_bits, 8, strategy) != Z_OK) return {};
  if (!dictionary.empty())
    deflateSetDictionary(&stream, dictionary.data(), uInt(dictionary.size()));
  Bytes out(deflateBound(&stream, uLong(src.size())));
  stream.next_in = const_cast<Bytef*>(src.data());
  stream.avail_in = uInt(src.size());
  stream.next_out = out.data();
  stream.avail_out = uInt(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

Bytes text_like(size_t n) {
  static const char kWords[] = "chunk of words that repeat, with a number now and then 1234 ";
  Bytes out(n);
  uint32_t state = 12345;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1103515245u + 12345u;
    out[i] = (state >> 28) == 0 ? uint8_t(state >> 16) : uint8_t(kWords[i % (sizeof kWords - 1)]);
  }
  return out;
}

// Bytes that compress about 2:1, as game data does: runs of words between
// runs of noise, in several blocks' worth of symbols at the lower levels.
Bytes half_compressible(size_t n) {
  Bytes out = text_like(n);
  uint32_t state = 777;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1103515245u + 12345u;
    if ((i / 64) % 2 == 1) out[i] = uint8_t(state >> 16);
  }
  return out;
}

// Seeds of the differential inflater target: byte 0 even takes the chunk as
// it stands, odd wraps raw deflate data (see fuzz_inflate_diff.cpp).
void write_inflate_seeds(const fs::path& dir, const std::vector<Entry>& entries) {
  const auto as_is = [&dir](const Bytes& chunk) {
    Bytes seed{0};
    seed.insert(seed.end(), chunk.begin(), chunk.end());
    write_seed(dir, seed);
  };
  for (size_t n :
       {size_t(0), size_t(1), size_t(100), size_t(32768), size_t(65536), size_t(65537)}) {
    as_is(deflate_bytes(text_like(n), 9));
  }
  Bytes noise(20000);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = uint8_t((i * 2654435761u) >> 13);
  as_is(deflate_bytes(noise, 0));  // stored blocks
  as_is(deflate_bytes(text_like(3000), 1));
  const Bytes valid = deflate_bytes(text_like(5000), 9);
  as_is(Bytes(valid.begin(), valid.end() - 5));  // cut
  Bytes trailing = valid;
  trailing.insert(trailing.end(), {0x78, 0x9C, 0x01, 0x02});
  as_is(trailing);
  Bytes bad_adler = valid;
  bad_adler.back() ^= 1;
  as_is(bad_adler);
  as_is(deflate_bytes(text_like(2000), 9, 15, text_like(300)));  // FDICT
  // Every level, and the strategies other encoders' settings amount to, on
  // data that takes several blocks.
  const Bytes half = half_compressible(32768);
  for (int level = 1; level <= 9; ++level) as_is(deflate_bytes(half, level));
  for (int strategy : {Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
    as_is(deflate_bytes(half, 6, 15, {}, strategy));
  }
  for (size_t n : {size_t(40), size_t(4000), size_t(40000)}) {
    Bytes seed{1};
    const Bytes raw = deflate_bytes(text_like(n), n == 40 ? 9 : 6, -15);
    seed.insert(seed.end(), raw.begin(), raw.end());
    write_seed(dir, seed);
  }
  // The chunks of a few of the sample's compressed entries.
  size_t taken = 0;
  for (const Entry& e : entries) {
    if (e.unpacked_size == 0 || taken >= 8) continue;
    size_t pos = 4;
    while (pos + 4 <= e.stored.size() && taken < 8) {
      const uint32_t length = load_u32le(e.stored.data() + pos);
      if (length == 0 || length > e.stored.size() - pos - 4) break;
      as_is(Bytes(e.stored.begin() + std::ptrdiff_t(pos + 4),
                  e.stored.begin() + std::ptrdiff_t(pos + 4 + length)));
      pos += 4 + length;
      ++taken;
    }
  }
}

// Records of mods: a whole entry and a texture of the sample's first
// entries, pending and committed, and mod.txt texts.
void write_mods_seeds(const fs::path& dir, const std::vector<Entry>& entries) {
  ModsRecord r;
  r.identity = {123456, uint32_t(entries.size()), 0x1234};
  ModLayer layer;
  layer.name = "hair";
  layer.title = "Hair";
  for (uint32_t n = 0; n < entries.size() && n < 2; ++n) {
    const Bytes& c = entries[n].content;
    ModEntry e;
    e.entry = n;
    e.whole = n == 0;
    if (e.whole) {
      e.content = entries[n].stored;
      e.content_size = uint32_t(c.size());
    } else {
      e.textures.push_back(
          {0, 2, Bytes(c.begin(), c.begin() + std::ptrdiff_t(std::min<size_t>(c.size(), 64)))});
    }
    layer.entries.push_back(std::move(e));
  }
  r.layers = {layer, ModLayer{}};
  r.states.push_back({0, {1, 2, 3}, 0xABCD});
  write_seed(dir, encode_mods_record(r, ModsRecordKind::committed));
  r.touched = {0, 1};
  write_seed(dir, encode_mods_record(r, ModsRecordKind::pending));
  const std::string text = "title=Hair\r\nversion=1.0\nauthor=\xE5\xBC\xA0\ndescription=a\xFF\tb\n";
  write_seed(dir, Bytes(text.begin(), text.end()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fuzz_make_seeds ARCHIVE OUT_DIR\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const Bytes archive((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (archive.size() < 16 || load_u32le(archive.data()) != kArchiveMagic) {
    std::fprintf(stderr, "fuzz_make_seeds: %s is not an archive\n", argv[1]);
    return 1;
  }
  const uint32_t count = load_u32le(archive.data() + 4);
  const uint32_t unit = load_u32le(archive.data() + 8);

  std::vector<Entry> entries;
  for (uint32_t n = 0; n < count && 16 + 16 * uint64_t(n + 1) <= archive.size(); ++n) {
    const IndexRecord r = decode_record(archive.data() + 16 + 16 * size_t(n));
    const uint64_t pos = r.payload_offset * unit;
    if (pos > archive.size() || r.stored_size > archive.size() - pos) continue;
    Entry e;
    e.stored.assign(archive.begin() + std::ptrdiff_t(pos),
                    archive.begin() + std::ptrdiff_t(pos + r.stored_size));
    e.unpacked_size = r.unpacked_size;
    if (e.unpacked_size == 0) {
      e.content = e.stored;
    } else {
      DecodeResult d = decode_payload(e.stored.data(), e.stored.size(), r.stored_size);
      if (d.status != DecodeStatus::ok) continue;
      e.content.assign(d.content.begin(), d.content.end());
    }
    entries.push_back(std::move(e));
  }

  const fs::path out = argv[2];
  for (const char* target :
       {"decode", "container", "examine", "export", "import", "dds_reader", "inflate_diff",
        "png_import", "originals", "deflate_diff", "mods", "gallery_notes"}) {
    fs::remove_all(out / target);
    fs::create_directories(out / target);
  }

  std::vector<const Entry*> small;
  for (const Entry& e : entries) {
    if (e.stored.size() <= kMaxSeed / 4) small.push_back(&e);
    if (e.unpacked_size != 0) write_seed(out / "decode", e.stored);
    write_seed(out / "examine", e.content);
    // The encoder's: a limit of half the payload's share, then the content.
    if (!e.content.empty()) {
      Bytes deflate_seed(1, 128);
      deflate_seed.insert(
          deflate_seed.end(), e.content.begin(),
          e.content.begin() + std::ptrdiff_t(std::min(e.content.size(), kMaxSeed - 1)));
      write_seed(out / "deflate_diff", deflate_seed);
    }
    for (const ContainerSpan& span : find_texture_containers(e.content.data(), e.content.size())) {
      // The container target adds the magic itself.
      write_seed(out / "container",
                 Bytes(e.content.begin() + std::ptrdiff_t(span.offset + 8),
                       e.content.begin() + std::ptrdiff_t(span.offset + span.size)));
      write_dds_seeds(out / "dds_reader", e.content.data() + span.offset, span.size);
    }
    const Bytes single = archive_of({&e});
    write_seed(out / "export", single);
    // The same bytes back, a shorter content, and a longer one that must be appended.
    write_seed(out / "import", import_input(0, single, e.content));
    if (!e.content.empty()) {
      write_seed(out / "import",
                 import_input(0, single,
                              Bytes(e.content.begin(),
                                    e.content.begin() + std::ptrdiff_t(e.content.size() / 2 + 1))));
    }
    Bytes longer = e.content;
    longer.insert(longer.end(), 3000, uint8_t('x'));
    write_seed(out / "import", import_input(0, single, longer));
    // Sound, a byte flipped in the header, in a record, and cut short.
    for (const Bytes& damage : {Bytes{}, Bytes{9, 0, 1}, Bytes{70, 0, 0x80}, Bytes{200}}) {
      write_seed(out / "originals", originals_input(0, single, longer, damage));
    }
  }
  const Bytes several = archive_of(small);
  write_seed(out / "export", several);
  for (uint8_t n = 0; n < small.size() && n < 8; ++n) {
    write_seed(out / "import", import_input(n, several, small[n]->content));
  }
  write_inflate_seeds(out / "inflate_diff", entries);
  write_png_seeds(out / "png_import");
  write_dds_import_seeds(out / "png_import", out / "dds_reader");
  write_mods_seeds(out / "mods", entries);
  // The gallery's notes as export writes them: a list of left-out textures,
  // an identity, and a list with lines another program added.
  for (const std::string note : {"0_1 2 16x16 1\n", "30760:88abd7bf\n",
                                 "0_1 2 16x16 1\n1_0 9 8x4 3\nnot a line\n00_01 2 1x1 1\n"}) {
    write_seed(out / "gallery_notes", Bytes(note.begin(), note.end()));
  }
  return 0;
}
