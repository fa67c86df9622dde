// PNG encoding through stb_image_write, whose deflate and checksum are
// replaced by libdeflate's or zlib's: stb's own deflate is slow and
// compresses poorly, and its checksum goes a byte at a time.
#include "textures/png_picture.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "platform/crc32.h"

#ifdef LINKDATA_DEFLATE_WITH_LIBDEFLATE
#include <libdeflate.h>

#include "platform/reusable_objects.h"
#else
#include <zlib.h>
#endif

namespace {

unsigned int fast_crc32(const unsigned char* data, int length) {
  return unsigned(linkdata::crc32_of(0, data, size_t(length)));
}

#ifdef LINKDATA_DEFLATE_WITH_LIBDEFLATE
void free_compressor(libdeflate_compressor* c) { libdeflate_free_compressor(c); }

// Compressors are leased for a picture and kept for the next: making one
// costs more than compressing a small picture.
linkdata::ReusableObjects<libdeflate_compressor, free_compressor>::Lease lease_compressor() {
  static linkdata::ReusableObjects<libdeflate_compressor, free_compressor> compressors;
  return compressors.lease([] { return libdeflate_alloc_compressor(1); });
}

unsigned char* fast_zlib_compress(unsigned char* data, int length, int* out_length, int) {
  const auto lease = lease_compressor();
  libdeflate_compressor* compressor = lease.get();
  if (compressor == nullptr) return nullptr;
  const size_t bound = libdeflate_zlib_compress_bound(compressor, size_t(length));
  auto* out = static_cast<unsigned char*>(std::malloc(bound));
  const size_t written =
      out == nullptr ? 0 : libdeflate_zlib_compress(compressor, data, size_t(length), out, bound);
  if (written == 0 || written > size_t(INT32_MAX)) {
    std::free(out);
    return nullptr;
  }
  *out_length = int(written);
  return out;
}
#else
unsigned char* fast_zlib_compress(unsigned char* data, int length, int* out_length, int) {
  uLongf bound = compressBound(uLong(length));
  auto* out = static_cast<unsigned char*>(std::malloc(bound));
  if (out == nullptr) return nullptr;
  if (compress2(out, &bound, data, uLong(length), 1) != Z_OK || bound > uLongf(INT32_MAX)) {
    std::free(out);
    return nullptr;
  }
  *out_length = int(bound);
  return out;
}
#endif

}  // namespace

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#define STBIW_ZLIB_COMPRESS fast_zlib_compress
// stb's own checksum goes a byte at a time; the library's is several times faster.
#define STBIW_CRC32 fast_crc32
#include <stb/stb_image_write.h>

#include "platform/little_endian.h"
#include "textures/png_image.h"

namespace linkdata {

namespace {

constexpr char kNoteKeyword[] = "linkdata";
constexpr size_t kIhdrEnd = 8 + 8 + 13 + 4;  // signature, then the header chunk

// No row filter: a decoded block texture has at most four colours in each
// 4x4 block, so prediction gains little (within 10% of the size with "sub"
// or "up" on the textures tried) and deflate's matches do the work; stb's
// trial of all five filters per row would double the time.
void choose_png_filter() {
  static std::once_flag once;
  std::call_once(once, [] { stbi_write_force_png_filter = 0; });
}

struct StbFree {
  void operator()(unsigned char* p) const { STBIW_FREE(p); }
};

}  // namespace

bool picture_size_allowed(uint32_t width, uint32_t height) {
  return width >= 1 && height >= 1 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
         uint64_t(width) * height <= kMaxPicturePixels;
}

std::vector<uint8_t> encode_png(const uint8_t* rgba, uint32_t width, uint32_t height,
                                const std::string& note) {
  if (rgba == nullptr || !picture_size_allowed(width, height)) return {};
  choose_png_filter();
  int length = 0;
  const std::unique_ptr<unsigned char, StbFree> png(
      stbi_write_png_to_mem(rgba, int(width * 4), int(width), int(height), 4, &length));
  // stb gives nothing only when an allocation failed, its own or the
  // compressor's.
  if (!png) throw std::bad_alloc();
  if (size_t(length) < kIhdrEnd) return {};

  // The note goes in as a tEXt chunk: keyword, a zero byte, the text.
  std::vector<uint8_t> chunk(8);  // length and type, filled in below
  chunk.insert(chunk.end(), kNoteKeyword, kNoteKeyword + sizeof kNoteKeyword);  // with its 0
  chunk.insert(chunk.end(), note.begin(), note.end());
  const uint32_t data_length = uint32_t(chunk.size() - 8);
  store_u32be(chunk.data(), data_length);
  std::memcpy(chunk.data() + 4, "tEXt", 4);
  chunk.resize(chunk.size() + 4);
  store_u32be(chunk.data() + chunk.size() - 4,
              stbiw__crc32(chunk.data() + 4, int(chunk.size() - 8)));

  std::vector<uint8_t> out;
  out.reserve(size_t(length) + chunk.size());
  out.insert(out.end(), png.get(), png.get() + kIhdrEnd);
  out.insert(out.end(), chunk.begin(), chunk.end());
  out.insert(out.end(), png.get() + kIhdrEnd, png.get() + length);
  return out;
}

bool read_png_summary(const uint8_t* data, size_t size, PngSummary* out) {
  uint32_t width = 0, height = 0;
  if (data == nullptr || size < kIhdrEnd || !read_png_size(data, size, &width, &height)) {
    return false;
  }
  *out = PngSummary{};
  out->width = width;
  out->height = height;
  size_t at = kIhdrEnd;
  while (size - at >= 12) {
    const uint32_t length = load_u32be(data + at);
    if (std::memcmp(data + at + 4, "IDAT", 4) == 0 || length > size - at - 12) break;
    const uint8_t* body = data + at + 8;
    if (std::memcmp(data + at + 4, "tEXt", 4) == 0 && length >= sizeof kNoteKeyword &&
        std::memcmp(body, kNoteKeyword, sizeof kNoteKeyword) == 0) {
      out->note.assign(body + sizeof kNoteKeyword, body + length);
      break;
    }
    at += 12 + size_t(length);
  }
  return true;
}

}  // namespace linkdata
