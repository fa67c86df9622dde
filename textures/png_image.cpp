// stb_image with its PNG decoder only: no file access of its own, no other
// formats, no shared failure text that two threads could write at once.
// The pixel data is inflated here, never by stb: see decode_png_rgba.
#include "textures/png_image.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

// Set when an allocation of stb's fails, so that running out of memory is
// told apart from a damaged file.
thread_local bool g_stb_out_of_memory = false;

void* stb_malloc(size_t size) {
  void* p = std::malloc(size);
  if (p == nullptr && size != 0) g_stb_out_of_memory = true;
  return p;
}

void* stb_realloc(void* old, size_t size) {
  void* p = std::realloc(old, size);
  if (p == nullptr && size != 0) g_stb_out_of_memory = true;
  return p;
}

}  // namespace

#define STBI_MALLOC(size) stb_malloc(size)
#define STBI_REALLOC(p, size) stb_realloc(p, size)
#define STBI_FREE(p) std::free(p)
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_NO_FAILURE_STRINGS
// The largest side a texture can have.
#define STBI_MAX_DIMENSIONS (1 << 15)
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

#include "platform/little_endian.h"

namespace linkdata {
namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

struct ChunkSpan {
  size_t at = 0;  // of the chunk's length field
  uint32_t length = 0;
  bool is(const uint8_t* data, const char* type) const {
    return std::memcmp(data + at + 4, type, 4) == 0;
  }
  const uint8_t* body(const uint8_t* data) const { return data + at + 8; }
};

// The chunks up to and with IEND. False when one claims more bytes than the
// file has left, or the file ends before IEND: stb_image grows its buffer to
// a chunk's claim before it reads the chunk, so a few hostile bytes would cost
// gigabytes.
bool walk_chunks(const uint8_t* data, size_t size, std::vector<ChunkSpan>* out) {
  size_t at = 8;  // behind the signature
  for (;;) {
    if (size - at < 12) return false;
    const uint64_t chunk = 12 + uint64_t(load_u32be(data + at));
    if (chunk > size - at) return false;
    out->push_back({at, uint32_t(chunk - 12)});
    if (out->back().is(data, "IEND")) return true;
    at += size_t(chunk);
  }
}

// The bytes of the filtered rows that the IHDR chunk announces: each row is
// a filter byte and its pixels' bits rounded up to a byte, and an interlaced
// picture has the rows of seven reduced pictures. 0 for a header that no
// decoder takes.
uint64_t raw_size(const uint8_t* ihdr_body) {
  const uint32_t width = load_u32be(ihdr_body), height = load_u32be(ihdr_body + 4);
  const uint32_t depth = ihdr_body[8], colour = ihdr_body[9], interlace = ihdr_body[12];
  uint32_t channels = 0;
  switch (colour) {
    case 0:
      channels = (depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16) ? 1 : 0;
      break;
    case 3:
      channels = (depth == 1 || depth == 2 || depth == 4 || depth == 8) ? 1 : 0;
      break;
    case 2:
    case 4:
    case 6:
      channels = (depth == 8 || depth == 16) ? (colour == 2 ? 3 : colour == 4 ? 2 : 4) : 0;
      break;
  }
  if (channels == 0 || width == 0 || height == 0 || interlace > 1) return 0;
  auto rows = [&](uint64_t w, uint64_t h) {
    if (w == 0 || h == 0) return uint64_t(0);
    return h * (1 + (w * channels * depth + 7) / 8);
  };
  if (interlace == 0) return rows(width, height);
  // Adam7: each pass's first column and row, and its steps.
  static constexpr uint32_t kX[7] = {0, 4, 0, 2, 0, 1, 0}, kY[7] = {0, 0, 4, 0, 2, 0, 1};
  static constexpr uint32_t kDx[7] = {8, 8, 4, 4, 2, 2, 1}, kDy[7] = {8, 8, 8, 4, 4, 2, 2};
  uint64_t total = 0;
  for (int p = 0; p < 7; ++p) {
    const uint64_t w = width > kX[p] ? (uint64_t(width) - kX[p] + kDx[p] - 1) / kDx[p] : 0;
    const uint64_t h = height > kY[p] ? (uint64_t(height) - kY[p] + kDy[p] - 1) / kDy[p] : 0;
    total += rows(w, h);
  }
  return total;
}

// Inflates the IDAT chunks' bodies, in file order, as one stream.
class IdatInflater {
 public:
  IdatInflater(const uint8_t* data, const std::vector<ChunkSpan>& chunks)
      : data_(data), chunks_(chunks) {}
  ~IdatInflater() {
    if (started_) inflateEnd(&z_);
  }
  IdatInflater(const IdatInflater&) = delete;
  IdatInflater& operator=(const IdatInflater&) = delete;

  // The zlib header's two bytes, checked as stb checks them; the deflate
  // data behind them is inflated raw, and its checksum, which stb never
  // looks at, is not asked for either.
  bool begin() {
    uint8_t header[2];
    for (uint8_t& b : header) {
      if (!feed()) return false;
      b = *z_.next_in++;
      --z_.avail_in;
    }
    const bool header_ok =
        (header[0] * 256 + header[1]) % 31 == 0 && (header[0] & 15) == 8 && (header[1] & 0x20) == 0;
    return header_ok && begin_raw();
  }
  // For the pictures of Apple's CgBI variant, which stb takes without a zlib
  // header.
  bool begin_raw() {
    started_ = inflateInit2(&z_, -15) == Z_OK;
    if (!started_) throw std::bad_alloc();  // the only way it fails with these arguments
    return true;
  }

  // Exactly `n` bytes into `out`; false when the stream ends, or is damaged,
  // before.
  bool fill(uint8_t* out, size_t n) {
    z_.next_out = out;
    z_.avail_out = uInt(n);
    while (z_.avail_out > 0) {
      if (ended_ || !step()) return false;
    }
    return true;
  }

  // The stream ends here, with not one byte more.
  bool ends() {
    uint8_t extra = 0;
    while (!ended_) {
      z_.next_out = &extra;
      z_.avail_out = 1;
      if (!step() || z_.avail_out == 0) return false;
    }
    return true;
  }

 private:
  // One call of inflate, with input from the next IDAT chunks as needed.
  // False when the stream is damaged, or needs input that no chunk has left
  // (zlib may still hold output without any, so it is asked all the same).
  bool step() {
    const bool more = feed();
    const int status = inflate(&z_, Z_NO_FLUSH);
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    if (status == Z_STREAM_END) ended_ = true;
    if (status == Z_BUF_ERROR) return more;
    return status == Z_OK || status == Z_STREAM_END;
  }

  // Input available; false at the end of the last IDAT chunk.
  bool feed() {
    while (z_.avail_in == 0) {
      while (next_ < chunks_.size() && !chunks_[next_].is(data_, "IDAT")) ++next_;
      if (next_ == chunks_.size()) return false;
      const ChunkSpan& c = chunks_[next_++];
      z_.next_in = const_cast<uint8_t*>(c.body(data_));
      z_.avail_in = c.length;
    }
    return true;
  }

  const uint8_t* data_;
  const std::vector<ChunkSpan>& chunks_;
  size_t next_ = 0;
  z_stream z_{};
  bool started_ = false;
  bool ended_ = false;
};

void put_chunk_head(std::vector<uint8_t>* out, uint32_t length, const char* type) {
  uint8_t head[8];
  store_u32be(head, length);
  std::memcpy(head + 4, type, 4);
  out->insert(out->end(), head, head + 8);
}

constexpr size_t kStoredBlock = 65535;  // the most a stored deflate block holds

// The file again, with its IDAT chunks replaced by one whose zlib stream
// holds the filtered rows in stored blocks, inflated here to exactly the size
// the header announces: stb's own inflating grows its buffer for as long as
// the stream goes on, so a picture of a few KiB whose data inflates to
// gigabytes would take them all. Empty when the data inflates to more or
// less than that size, or the file is damaged. stb checks no CRC and no
// adler32, so none is computed for the bytes that never leave here.
std::vector<uint8_t> with_bounded_idat(const uint8_t* data, size_t size) {
  std::vector<ChunkSpan> chunks;
  if (!walk_chunks(data, size, &chunks) || !chunks.front().is(data, "IHDR") ||
      chunks.front().length != 13) {
    return {};
  }
  const uint64_t raw = raw_size(chunks.front().body(data));
  bool apple = false;
  size_t first_idat = chunks.size();
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (chunks[i].is(data, "CgBI")) apple = true;
    if (chunks[i].is(data, "IDAT") && first_idat == chunks.size()) first_idat = i;
  }
  if (raw == 0 || first_idat == chunks.size()) return {};
  const uint64_t blocks = (raw + kStoredBlock - 1) / kStoredBlock;
  const uint64_t stream = (apple ? 0 : 2 + 4) + blocks * 5 + raw;
  uint64_t rebuilt = sizeof kSignature + 12 + stream;
  for (const ChunkSpan& c : chunks) rebuilt += c.is(data, "IDAT") ? 0 : 12 + uint64_t(c.length);
  // stb takes the file's size as an int.
  if (rebuilt > uint64_t(INT_MAX)) return {};

  IdatInflater inflater(data, chunks);
  if (!(apple ? inflater.begin_raw() : inflater.begin())) return {};
  std::vector<uint8_t> out;
  out.reserve(size_t(rebuilt));
  out.insert(out.end(), data, data + chunks[first_idat].at);
  put_chunk_head(&out, uint32_t(stream), "IDAT");
  if (!apple) out.insert(out.end(), {0x78, 0x01});
  for (uint64_t left = raw; left > 0;) {
    const uint32_t n = uint32_t(std::min<uint64_t>(left, kStoredBlock));
    left -= n;
    const uint8_t head[5] = {uint8_t(left == 0 ? 1 : 0), uint8_t(n), uint8_t(n >> 8), uint8_t(~n),
                             uint8_t(~n >> 8)};
    out.insert(out.end(), head, head + 5);
    out.resize(out.size() + n);
    if (!inflater.fill(out.data() + out.size() - n, n)) return {};
  }
  if (!inflater.ends()) return {};
  if (!apple) out.insert(out.end(), 4, 0);  // adler32, unchecked
  out.insert(out.end(), 4, 0);              // CRC, unchecked
  // The other chunks after the first IDAT, up to IEND, stay as they were.
  for (size_t i = first_idat + 1; i < chunks.size(); ++i) {
    if (chunks[i].is(data, "IDAT")) continue;
    const uint8_t* from = data + chunks[i].at;
    out.insert(out.end(), from, from + 12 + chunks[i].length);
  }
  return out;
}

}  // namespace

bool read_png_size(const uint8_t* data, size_t size, uint32_t* width, uint32_t* height) {
  // Signature, then the first chunk: length 13, type IHDR, width, height.
  if (data == nullptr || size < kPngSizeBytes || std::memcmp(data, kSignature, 8) != 0 ||
      load_u32be(data + 8) != 13 || std::memcmp(data + 12, "IHDR", 4) != 0) {
    return false;
  }
  *width = load_u32be(data + 16);
  *height = load_u32be(data + 20);
  return true;
}

bool starts_like_png(const uint8_t* data, size_t size) {
  return data != nullptr && size > 0 &&
         std::memcmp(data, kSignature, std::min<size_t>(size, 8)) == 0;
}

namespace {

// TGA files begin with an 18-byte header and no magic: the header must name
// a colour-mapped, true-colour or grey picture (raw or run-length coded),
// with a colour map exactly when the type uses one, sides of at least one
// pixel and a pixel depth that TGA has.
bool plausible_tga(const uint8_t* h, size_t size) {
  if (size < 18) return false;
  const uint8_t map_type = h[1], type = h[2], depth = h[16];
  const bool mapped_type = type == 1 || type == 9;
  const bool known_type = mapped_type || type == 2 || type == 3 || type == 10 || type == 11;
  if (!known_type || map_type > 1 || (map_type == 1) != mapped_type) return false;
  if (map_type == 0) {
    for (size_t i = 3; i < 8; ++i) {
      if (h[i] != 0) return false;
    }
  } else if (h[7] != 15 && h[7] != 16 && h[7] != 24 && h[7] != 32) {
    return false;
  }
  const bool sides = (h[12] | h[13]) != 0 && (h[14] | h[15]) != 0;
  const bool known_depth = depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
  return sides && known_depth && (h[17] & 0xC0) == 0;
}

bool begins_with(const uint8_t* data, size_t size, size_t at, const char* magic, size_t n) {
  return size >= at + n && std::memcmp(data + at, magic, n) == 0;
}

}  // namespace

std::string other_picture_kind(const uint8_t* data, size_t size) {
  if (data == nullptr) return "";
  struct Magic {
    size_t at;
    const char* bytes;
    size_t n;
    const char* kind;
  };
  // A BMP file's four reserved bytes (at 6) are zero, which "BM" alone
  // would not tell.
  static const Magic kMagics[] = {{0, "\xFF\xD8\xFF", 3, "JPEG"}, {0, "GIF87a", 6, "GIF"},
                                  {0, "GIF89a", 6, "GIF"},        {8, "WEBP", 4, "WebP"},
                                  {0, "8BPS", 4, "PSD"},          {0, "II*\0", 4, "TIFF"},
                                  {0, "MM\0*", 4, "TIFF"},        {0, "DDS ", 4, "DDS"}};
  for (const Magic& m : kMagics) {
    if (!begins_with(data, size, m.at, m.bytes, m.n)) continue;
    if (m.at == 8 && !begins_with(data, size, 0, "RIFF", 4)) continue;
    return m.kind;
  }
  if (begins_with(data, size, 0, "BM", 2) && begins_with(data, size, 6, "\0\0\0\0", 4)) {
    return "BMP";
  }
  return plausible_tga(data, size) ? "TGA" : "";
}

bool png_cut_short(const uint8_t* data, size_t size) {
  std::vector<ChunkSpan> chunks;
  return starts_like_png(data, size) && (size < 8 || !walk_chunks(data, size, &chunks));
}

bool png_has_alpha(const uint8_t* data, size_t size) {
  std::vector<ChunkSpan> chunks;
  if (!starts_like_png(data, size) || size < 8 || !walk_chunks(data, size, &chunks) ||
      !chunks.front().is(data, "IHDR") || chunks.front().length != 13) {
    return false;
  }
  const uint8_t colour_type = chunks.front().body(data)[9];
  if (colour_type == 4 || colour_type == 6) return true;
  for (const ChunkSpan& c : chunks) {
    if (c.is(data, "tRNS")) return true;
  }
  return false;
}

void FreePixels::operator()(uint8_t* pixels) const { stbi_image_free(pixels); }

RgbaPixels decode_png_rgba(const uint8_t* data, size_t size, uint32_t width, uint32_t height) {
  uint32_t w0 = 0, h0 = 0;
  if (!read_png_size(data, size, &w0, &h0) || w0 != width || h0 != height) return nullptr;
  const std::vector<uint8_t> bounded = with_bounded_idat(data, size);
  if (bounded.empty()) return nullptr;
  int w = 0, h = 0, channels = 0;
  g_stb_out_of_memory = false;
  RgbaPixels pixels(
      stbi_load_from_memory(bounded.data(), int(bounded.size()), &w, &h, &channels, 4));
  if (pixels == nullptr && g_stb_out_of_memory) throw std::bad_alloc();
  if (pixels == nullptr || uint32_t(w) != width || uint32_t(h) != height) return nullptr;
  return pixels;
}

}  // namespace linkdata
