// stb_image with its PNG decoder only: no file access of its own, no other
// formats, no shared failure text that two threads could write at once.
#include "textures/png_image.h"

#include <climits>
#include <cstring>
#include <vector>

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

// Walks the chunks up to IEND. False when one claims more bytes than the
// file has left, or the file ends before IEND: stb_image grows its buffer
// to a chunk's claim before it reads the chunk, so a few hostile bytes would
// cost gigabytes. IDAT chunks
// of length 0 are left out of `*out` (stb copies one through a null buffer
// when it comes first); `*out` stays empty when nothing is left out.
bool walk_chunks(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  size_t at = 8;  // behind the signature
  bool dropped = false;
  bool end = false;
  while (!end) {
    // A file that stops before IEND is cut short: stb would read what is left
    // of a chunk head as a claim all the same.
    if (size - at < 12) return false;
    const uint64_t chunk = 12 + uint64_t(load_u32be(data + at));
    if (chunk > size - at) return false;
    end = std::memcmp(data + at + 4, "IEND", 4) == 0;
    const bool empty_idat = chunk == 12 && std::memcmp(data + at + 4, "IDAT", 4) == 0;
    if (empty_idat && !dropped) {
      out->assign(data, data + at);
      dropped = true;
    } else if (dropped && !empty_idat) {
      out->insert(out->end(), data + at, data + at + chunk);
    }
    at += size_t(chunk);
  }
  if (dropped) out->insert(out->end(), data + at, data + size);
  return true;
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

void FreePixels::operator()(uint8_t* pixels) const { stbi_image_free(pixels); }

RgbaPixels decode_png_rgba(const uint8_t* data, size_t size, uint32_t width, uint32_t height) {
  if (size > size_t(INT_MAX) || size < 8) return nullptr;
  std::vector<uint8_t> cleaned;
  if (!walk_chunks(data, size, &cleaned)) return nullptr;
  if (!cleaned.empty()) data = cleaned.data(), size = cleaned.size();
  int w = 0, h = 0, channels = 0;
  RgbaPixels pixels(stbi_load_from_memory(data, int(size), &w, &h, &channels, 4));
  if (pixels == nullptr || uint32_t(w) != width || uint32_t(h) != height) return nullptr;
  return pixels;
}

}  // namespace linkdata
