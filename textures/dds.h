// The DDS header of a texture that export writes as a DDS file: bytes
// built from its description, nothing written (archive/modes/dds_files.h
// writes the files).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "textures/container.h"

namespace linkdata {

constexpr size_t kDdsHeaderSize = 128;

// Header field offsets (magic included).
constexpr size_t kOffSize = 4;
constexpr size_t kOffFlags = 8;
constexpr size_t kOffHeight = 12;
constexpr size_t kOffWidth = 16;
constexpr size_t kOffMipMapCount = 28;
constexpr size_t kOffPfSize = 76;
constexpr size_t kOffPfFlags = 80;
constexpr size_t kOffPfFourCC = 84;
constexpr size_t kOffPfRgbBitCount = 88;
constexpr size_t kOffPfRMask = 92;
constexpr size_t kOffPfGMask = 96;
constexpr size_t kOffPfBMask = 100;
constexpr size_t kOffPfAMask = 104;
constexpr size_t kOffCaps = 108;
constexpr size_t kOffCaps2 = 112;

// The 128-byte header (magic included) for a texture of a format that export
// writes (find_texture_format); the bare template for any other code.
std::array<uint8_t, kDdsHeaderSize> build_dds_header(const TextureDescription& t);

// Whether export writes the texture as a DDS file: a format of the table
// whose data lies within its container.
bool exported_as_dds(const TextureDescription& t);

}  // namespace linkdata
