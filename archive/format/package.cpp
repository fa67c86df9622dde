#include "archive/format/package.h"

#include "platform/little_endian.h"
#include "textures/container.h"

namespace linkdata {

bool is_package(const uint8_t* content, size_t size, uint32_t* sub_file_count) {
  uint32_t count = 0, first = 0, second = 0;
  if (!read_u32le_at(content, size, 0, &count) || !read_u32le_at(content, size, 4, &first) ||
      !read_u32le_at(content, size, 8, &second)) {
    return false;  // too short to be a package
  }
  // The first two table words are tested even for a single sub-file.
  if (count == 0 || count > kMaxSubFiles || first == 0 || second == 0 || first > size ||
      second > size) {
    return false;
  }
  *sub_file_count = count;
  return true;
}

std::vector<ContainerSpan> find_texture_containers(const uint8_t* content, size_t size) {
  std::vector<ContainerSpan> found;
  if (has_texture_magic(content, size)) {
    found.push_back({0, 0, size});
    return found;
  }
  uint32_t count = 0;
  if (!is_package(content, size, &count)) return found;
  for (uint32_t k = 0; k < count; ++k) {
    uint32_t start = 0, next = 0;
    if (!read_u32le_at(content, size, 4 + 4 * uint64_t(k), &start)) continue;
    uint64_t end = size;
    if (k + 1 < count) {
      if (!read_u32le_at(content, size, 4 + 4 * (uint64_t(k) + 1), &next)) continue;
      end = next;
    }
    const bool inside = start <= end && end <= size;
    if (inside && has_texture_magic(content + start, size_t(end - start))) {
      found.push_back({k, start, size_t(end - start)});
    }
  }
  return found;
}

}  // namespace linkdata
