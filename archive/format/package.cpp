#include "archive/format/package.h"

#include "platform/little_endian.h"
#include "textures/container.h"

namespace linkdata {

namespace {

// The package test on the first bytes of a content of content_size bytes.
bool package_table_fits(const uint8_t* head, size_t head_size, uint64_t content_size,
                        uint32_t* sub_file_count) {
  uint32_t count = 0, first = 0, second = 0;
  if (!read_u32le_at(head, head_size, 0, &count) || !read_u32le_at(head, head_size, 4, &first) ||
      !read_u32le_at(head, head_size, 8, &second)) {
    return false;  // too short to be a package
  }
  // The first two table words are tested even for a single sub-file.
  if (count == 0 || count > kMaxSubFiles || first == 0 || second == 0 || first > content_size ||
      second > content_size) {
    return false;
  }
  *sub_file_count = count;
  return true;
}

}  // namespace

bool is_package(const uint8_t* content, size_t size, uint32_t* sub_file_count) {
  return package_table_fits(content, size, size, sub_file_count);
}

bool may_hold_textures(const uint8_t* head, size_t head_size, uint64_t content_size) {
  uint32_t count = 0;
  return has_texture_magic(head, head_size) ||
         package_table_fits(head, head_size, content_size, &count);
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
