#include "archive/texture_patch.h"

#include <algorithm>

#include "archive/package.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "textures/container.h"
#include "textures/dds.h"
#include "textures/dds_reader.h"

namespace linkdata {
namespace {

// A texture that export would have written as a DDS file.
struct Located {
  uint32_t sub_index = 0;
  size_t container_offset = 0;  // in the entry content
  TextureDescription texture;
};

std::vector<Located> exported_textures(const uint8_t* content, size_t size) {
  std::vector<Located> out;
  for (const ContainerSpan& span : find_texture_containers(content, size)) {
    for (const TextureDescription& t : read_texture_container(content + span.offset, span.size)) {
      if (exported_as_dds(t)) out.push_back({span.sub_index, span.offset, t});
    }
  }
  return out;
}

const Located* find_texture(const std::vector<Located>& textures, const TextureFile& file) {
  for (const Located& l : textures) {
    if (l.sub_index == file.sub_index && l.texture.texture_index == file.texture_index) return &l;
  }
  return nullptr;
}

std::wstring patch_one(uint8_t* content, const std::vector<Located>& textures,
                       const TextureFile& file) {
  platform::File dds = platform::File::open_read(file.path);
  if (!dds.is_open()) return msg::file_open_failed(file.path);
  uint64_t file_size = 0;
  uint8_t header[kDdsDx10HeaderSize] = {};
  size_t got = 0;
  if (!dds.size(&file_size) ||
      !dds.read_at(0, header, size_t(std::min<uint64_t>(file_size, sizeof header)), &got)) {
    return msg::file_read_failed(file.path);
  }
  DdsLayout layout;
  switch (read_dds_header(header, got, &layout)) {
    case DdsHeaderStatus::not_accepted:
      return msg::texture_not_importable(file.path);
    case DdsHeaderStatus::cut_short:
      return msg::texture_incomplete(file.path);
    case DdsHeaderStatus::ok:
      break;
  }
  const Located* target = find_texture(textures, file);
  if (target == nullptr) return msg::texture_not_in_entry(file.path);
  const TextureDescription& t = target->texture;
  switch (dds_fits_texture(layout, file_size, t)) {
    case DdsFit::mismatch:
      return msg::texture_mismatch(file.path);
    case DdsFit::incomplete:
      return msg::texture_incomplete(file.path);
    case DdsFit::fits:
      break;
  }
  uint8_t* pixels = content + target->container_offset + size_t(t.data_position);
  if (!dds.read_at(layout.data_offset, pixels, t.data_size, &got)) {
    return msg::file_read_failed(file.path);
  }
  // The file shrank since its size was taken.
  if (got != t.data_size) return msg::texture_incomplete(file.path);
  return std::wstring();
}

}  // namespace

std::wstring patch_textures(uint8_t* content, size_t size, const std::vector<TextureFile>& files) {
  const std::vector<Located> textures = exported_textures(content, size);
  for (const TextureFile& file : files) {
    std::wstring failure = patch_one(content, textures, file);
    if (!failure.empty()) return failure;
  }
  return std::wstring();
}

}  // namespace linkdata
