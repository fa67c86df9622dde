// Decoding a texture's top level into 8-bit RGBA pixels, for writing it as a
// picture and for comparing pictures: DXT1 (BC1), DXT5 (BC3) and A8R8G8B8;
// and the levels of DDS files in other layouts, for import.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "textures/container.h"

namespace linkdata {

// Bytes that the top level of a texture of this format and size occupies;
// 0 for a format that cannot be decoded.
uint64_t top_level_bytes(uint8_t format_code, uint32_t width, uint32_t height);

// The top level as width x height RGBA pixels, 4 bytes each, top row first.
// `data` is the level's first byte and `size` how many bytes may be read
// from it. Empty when the format cannot be decoded or `size` is below
// top_level_bytes. A DXT1 block in its three-colour mode (first colour not
// above the second) decodes its fourth colour as transparent black.
std::vector<uint8_t> decode_to_rgba(uint8_t format_code, uint32_t width, uint32_t height,
                                    const uint8_t* data, size_t size);

// The same for a texture of a container, whose pixel data must lie inside it.
std::vector<uint8_t> decode_to_rgba(const TextureDescription& t, const uint8_t* container,
                                    size_t container_size);

// Each format's level decoder, as the format table holds it (DecodeLevel).
void decode_argb8_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba);
void decode_dxt1_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba);
void decode_dxt5_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba);

// The decoders of the DDS layouts that import takes from image editors
// (DecodeLevel too): DXT3 (BC2), 32-bit pixels without alpha, with red first,
// or both, and 24-bit pixels, blue first or red first.
void decode_dxt3_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba);
void decode_bgrx8_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba);
void decode_rgba8_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba);
void decode_rgbx8_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba);
void decode_bgr8_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba);
void decode_rgb8_level(const uint8_t* level, uint32_t width, uint32_t height, uint8_t* rgba);

}  // namespace linkdata
