#include "archive/texture_patch.h"

#include <algorithm>

#include "archive/package.h"
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
  if (!dds.is_open()) return file.path + L" 文件打开失败！\n";
  uint64_t file_size = 0;
  uint8_t header[kDdsDx10HeaderSize] = {};
  size_t got = 0;
  if (!dds.size(&file_size) ||
      !dds.read_at(0, header, size_t(std::min<uint64_t>(file_size, sizeof header)), &got)) {
    return file.path + L" 文件读取出错！\n";
  }
  DdsLayout layout;
  switch (read_dds_header(header, got, &layout)) {
    case DdsHeaderStatus::not_accepted: return file.path + L" 不是可以导入的 DDS 贴图文件！\n";
    case DdsHeaderStatus::cut_short: return file.path + L" 贴图文件不完整，无法导入！\n";
    case DdsHeaderStatus::ok: break;
  }
  const Located* target = find_texture(textures, file);
  if (target == nullptr) return file.path + L" 在条目中找不到对应的贴图，无法导入！\n";
  const TextureDescription& t = target->texture;
  switch (dds_fits_texture(layout, file_size, t)) {
    case DdsFit::mismatch: return file.path + L" 贴图格式或尺寸与原贴图不符，无法导入！\n";
    case DdsFit::incomplete: return file.path + L" 贴图文件不完整，无法导入！\n";
    case DdsFit::fits: break;
  }
  uint8_t* pixels = content + target->container_offset + size_t(t.data_position);
  if (!dds.read_at(layout.data_offset, pixels, t.data_size, &got)) {
    return file.path + L" 文件读取出错！\n";
  }
  // The file shrank since its size was taken.
  if (got != t.data_size) return file.path + L" 贴图文件不完整，无法导入！\n";
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
