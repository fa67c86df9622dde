// Field access on byte buffers. Every on-disk integer of the archive, the
// payload layout, texture containers and DDS headers is little-endian, and
// PNG's chunk fields are big-endian; all go through these, so the code never
// depends on host byte order or alignment.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linkdata {

inline uint32_t load_u32le(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t load_u64le(const uint8_t* p) {
  return uint64_t(load_u32le(p)) | uint64_t(load_u32le(p + 4)) << 32;
}

inline void store_u32le(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

inline void store_u64le(uint8_t* p, uint64_t v) {
  store_u32le(p, uint32_t(v));
  store_u32le(p + 4, uint32_t(v >> 32));
}

inline uint32_t load_u32be(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline void store_u32be(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Bounds-checked read: a field that does not lie wholly inside [data, data+size)
// yields false instead of reading past the buffer.
inline bool read_u32le_at(const uint8_t* data, size_t size, uint64_t offset, uint32_t* out) {
  if (offset > size || size - offset < 4) return false;
  *out = load_u32le(data + offset);
  return true;
}

}  // namespace linkdata
