// Finding the texture containers inside a decoded entry: the entry itself, or
// the sub-files of a package entry (u32 count, then u32 start offsets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace linkdata {

constexpr uint32_t kMaxSubFiles = 0x10000;

struct ContainerSpan {
  uint32_t sub_index = 0;  // 0 for the entry itself, k for sub-file k
  size_t offset = 0;       // from the start of the entry content
  size_t size = 0;
};

// True when an entry content is laid out as a package entry, with its
// sub-file count. A texture container is tested first by its callers.
bool is_package(const uint8_t* content, size_t size, uint32_t* sub_file_count);

// The first bytes of a content that tell whether it may hold textures.
constexpr size_t kTextureKindBytes = 12;

// True when a content of content_size bytes that begins with `head` (its
// first head_size bytes, kTextureKindBytes of them are enough) is a texture
// container or laid out as a package: the only contents in which
// find_texture_containers can find anything. So a content of other data is
// told apart without reading more of it.
bool may_hold_textures(const uint8_t* head, size_t head_size, uint64_t content_size);

// Every texture container of an entry content, in sub-file order. Sub-files
// whose bounds leave the content or run backwards are skipped.
std::vector<ContainerSpan> find_texture_containers(const uint8_t* content, size_t size);

}  // namespace linkdata
