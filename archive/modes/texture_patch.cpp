#include "archive/modes/texture_patch.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "archive/format/package.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/worker_pool.h"
#include "textures/container.h"
#include "textures/dds.h"
#include "textures/dds_reader.h"
#include "textures/png_image.h"
#include "textures/texture_encode.h"
#include "textures/texture_formats.h"

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

// The texture as refusals describe what a file should be.
std::wstring expected_shape(const TextureDescription& t) {
  return msg::texture_shape(texture_format_label(t.format_code), t.width, t.height,
                            t.levels_present);
}

std::wstring dds_unlike(const TextureFile& file, const TextureDescription& t,
                        const DdsLayout& layout, uint64_t file_size) {
  return msg::texture_unlike(file.path, expected_shape(t),
                             msg::texture_shape(pixels_name(layout.pixels), layout.width,
                                                layout.height, dds_levels_held(layout, file_size)));
}

// A texture file opened and its first bytes read, at most `n` of them:
// empty, or the message that names the file.
struct FileHead {
  platform::File file;
  uint64_t size = 0;
  size_t got = 0;
};

std::wstring open_with_head(const std::wstring& path, uint8_t* head, size_t n, FileHead* out) {
  out->file = platform::File::open_input(path);
  if (!out->file.is_open()) return msg::file_open_failed(path);
  if (!out->file.size(&out->size) ||
      !out->file.read_at(0, head, size_t(std::min<uint64_t>(out->size, n)), &out->got)) {
    return msg::file_read_failed(path);
  }
  return std::wstring();
}

std::wstring patch_dds(uint8_t* content, const std::vector<Located>& textures,
                       const TextureFile& file) {
  uint8_t header[kDdsDx10HeaderSize] = {};
  FileHead dds;
  const std::wstring failed = open_with_head(file.path, header, sizeof header, &dds);
  if (!failed.empty()) return failed;
  const uint64_t file_size = dds.size;
  DdsLayout layout;
  const DdsHeaderStatus status = read_dds_header(header, dds.got, &layout);
  if (status == DdsHeaderStatus::not_accepted) return msg::texture_not_importable(file.path);
  const Located* target = find_texture(textures, file);
  if (target == nullptr) return msg::texture_not_in_entry(file.path);
  const TextureDescription& t = target->texture;
  if (status == DdsHeaderStatus::cut_short) {
    return msg::texture_header_cut(file.path, expected_shape(t));
  }
  if (dds_fits_texture(layout, file_size, t) != DdsFit::fits) {
    return dds_unlike(file, t, layout, file_size);
  }
  uint8_t* pixels = content + target->container_offset + size_t(t.data_position);
  size_t got = 0;
  if (!dds.file.read_at(layout.data_offset, pixels, t.data_size, &got)) {
    return msg::file_read_failed(file.path);
  }
  // The file shrank since its size was taken.
  if (got != t.data_size) return dds_unlike(file, t, layout, layout.data_offset + got);
  return std::wstring();
}

// A picture is checked for its size by its header alone, before anything is
// allocated for its pixels, then decoded and compressed into the texture.
std::wstring patch_png(uint8_t* content, const std::vector<Located>& textures,
                       const TextureFile& file) {
  const Located* target = find_texture(textures, file);
  if (target == nullptr) return msg::texture_not_in_entry(file.path);
  const TextureDescription& t = target->texture;
  uint8_t header[kPngSizeBytes] = {};
  FileHead png;
  const std::wstring failed = open_with_head(file.path, header, sizeof header, &png);
  if (!failed.empty()) return failed;
  const uint64_t file_size = png.size;
  size_t got = png.got;
  uint32_t width = 0, height = 0;
  if (!read_png_size(header, got, &width, &height)) {
    return msg::picture_unreadable(file.path, t.width, t.height);
  }
  if (width != t.width || height != t.height) {
    return msg::picture_size_unlike(file.path, t.width, t.height, width, height);
  }
  if (file_size > SIZE_MAX) return msg::file_too_large(file.path);
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(static_cast<size_t>(file_size));
  } catch (const std::bad_alloc&) {
    return msg::file_too_large(file.path);
  }
  if (!png.file.read_at(0, bytes.data(), bytes.size(), &got)) {
    return msg::file_read_failed(file.path);
  }
  try {
    const RgbaPixels rgba = decode_png_rgba(bytes.data(), got, width, height);
    if (rgba == nullptr) return msg::picture_unreadable(file.path, t.width, t.height);
    bytes = std::vector<uint8_t>();  // only the pixels are needed from here on
    if (!encode_texture_pixels(rgba.get(), t, content + target->container_offset + t.data_position,
                               helper_threads() + 1)) {
      return msg::kImportInterrupted;
    }
  } catch (const std::bad_alloc&) {
    throw PictureOutOfMemory();
  }
  return std::wstring();
}

}  // namespace

std::wstring textures_given_twice(const std::vector<TextureFile>& files) {
  std::wstring message;
  for (size_t i = 0, j = 0; i < files.size(); i = j) {
    while (j < files.size() && files[j].sub_index == files[i].sub_index &&
           files[j].texture_index == files[i].texture_index) {
      ++j;
    }
    if (j - i == 2 && files[i].png != files[i + 1].png) {
      const TextureFile& png = files[i].png ? files[i] : files[i + 1];
      const TextureFile& dds = files[i].png ? files[i + 1] : files[i];
      message += msg::texture_given_twice(png.path, dds.path);
    } else if (j - i >= 2) {
      std::vector<std::wstring> paths;
      for (size_t k = i; k < j; ++k) paths.push_back(files[k].path);
      message += msg::texture_given_in_several_files(paths);
    }
  }
  return message;
}

std::wstring patch_textures(uint8_t* content, size_t size, const std::vector<TextureFile>& files) {
  std::wstring twice = textures_given_twice(files);
  if (!twice.empty()) return twice;
  const std::vector<Located> textures = exported_textures(content, size);
  for (const TextureFile& file : files) {
    std::wstring failure =
        file.png ? patch_png(content, textures, file) : patch_dds(content, textures, file);
    if (!failure.empty()) return failure;
  }
  return std::wstring();
}

}  // namespace linkdata
