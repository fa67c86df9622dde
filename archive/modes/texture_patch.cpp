#include "archive/modes/texture_patch.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <utility>

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
#include "textures/texture_pixels.h"

namespace linkdata {
namespace {

// A texture of the content, whatever its format.
struct Located {
  uint32_t sub_index = 0;
  size_t container_offset = 0;  // in the entry content
  TextureDescription texture;
};

std::vector<Located> content_textures(const uint8_t* content, size_t size) {
  std::vector<Located> out;
  for (const ContainerSpan& span : find_texture_containers(content, size)) {
    for (const TextureDescription& t : read_texture_container(content + span.offset, span.size)) {
      out.push_back({span.sub_index, span.offset, t});
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

// Why a file's texture cannot take it whatever the file holds: none of that
// number, a format that export does not write either (named, since the
// listing shows it), or pixel data past its container. Empty when it can.
std::wstring texture_unavailable(const Located* target, const TextureFile& file) {
  if (target == nullptr) return msg::texture_not_in_entry(file.path);
  const TextureDescription& t = target->texture;
  if (find_texture_format(t.format_code) == nullptr) {
    return msg::texture_format_unsupported(file.path, texture_format_label(t.format_code));
  }
  if (!exported_as_dds(t)) return msg::texture_not_in_entry(file.path);
  return std::wstring();
}

// The texture as refusals describe what a file should be.
std::wstring expected_shape(const TextureDescription& t) {
  return msg::texture_shape(texture_format_label(t.format_code), t.width, t.height,
                            t.levels_present);
}

// A DDS file that import cannot take, as its refusal describes it.
std::wstring found_shape(const DdsLayout& layout, uint64_t file_size) {
  const std::wstring shape = msg::texture_shape(layout.name, layout.width, layout.height,
                                                dds_levels_held(layout, file_size));
  switch (layout.shape) {
    case DdsShape::cube:
      return msg::cube_map_shape(shape);
    case DdsShape::volume:
      return msg::volume_shape(shape);
    case DdsShape::array:
      return msg::texture_array_shape(shape);
    case DdsShape::plain:
      break;
  }
  return shape;
}

std::wstring dds_unlike(const TextureFile& file, const TextureDescription& t,
                        const DdsLayout& layout, uint64_t file_size) {
  return msg::texture_unlike(file.path, expected_shape(t),
                             msg::texture_shape(layout.name, layout.width, layout.height,
                                                dds_levels_held(layout, file_size)));
}

// Whether the texture's top level, as the content holds it before the file
// goes in, is opaque in every pixel: a file without alpha loses nothing then.
bool top_level_opaque(const TextureDescription& t, const uint8_t* pixels) {
  const std::vector<uint8_t> rgba =
      decode_to_rgba(t.format_code, t.width, t.height, pixels, t.data_size);
  for (size_t i = 3; i < rgba.size(); i += 4) {
    if (rgba[i] != 255) return false;
  }
  return true;
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

// A DDS file of another layout than the texture's: its top level decoded to
// pixels and compressed into the texture's format with all its levels, as a
// picture is.
std::wstring convert_dds(uint8_t* pixels, const TextureDescription& t, const TextureFile& file,
                         FileHead& dds, const DdsLayout& layout, std::wstring* note) {
  const uint64_t top = level_bytes(layout.blocks, layout.width, layout.height);
  if (top > SIZE_MAX) return msg::file_too_large(file.path);
  try {
    std::vector<uint8_t> level;
    try {
      level.resize(size_t(top));
    } catch (const std::bad_alloc&) {
      return msg::file_too_large(file.path);
    }
    size_t got = 0;
    if (!dds.file.read_at(layout.data_offset, level.data(), level.size(), &got)) {
      return msg::file_read_failed(file.path);
    }
    // The file shrank since its size was taken.
    if (got != level.size()) return dds_unlike(file, t, layout, layout.data_offset + got);
    const DdsLayoutFormat& row = dds_layout_format(layout.pixels);
    std::vector<uint8_t> rgba(size_t(uint64_t(t.width) * t.height * 4));
    row.decode(level.data(), t.width, t.height, rgba.data());
    level = std::vector<uint8_t>();
    if (!row.alpha && !top_level_opaque(t, pixels)) *note += msg::texture_alpha_dropped(file.path);
    if (!encode_texture_pixels(rgba.data(), t, pixels, helper_threads() + 1)) {
      return msg::kImportInterrupted;
    }
  } catch (const std::bad_alloc&) {
    throw PictureOutOfMemory();
  }
  return std::wstring();
}

// A DDS file of the texture's format whose levels, all whole, stop short of
// the texture's: they are copied, and the rest made from the last of them.
std::wstring complete_dds(uint8_t* pixels, const TextureDescription& t, const TextureFile& file,
                          FileHead& dds, const DdsLayout& layout, uint32_t given,
                          std::wstring* note) {
  const TextureFormat& format = *find_texture_format(t.format_code);
  const uint64_t bytes = chain_bytes(format.blocks, t.width, t.height, uint8_t(given), nullptr);
  size_t got = 0;
  if (!dds.file.read_at(layout.data_offset, pixels, size_t(bytes), &got)) {
    return msg::file_read_failed(file.path);
  }
  if (got != bytes) return dds_unlike(file, t, layout, layout.data_offset + got);
  try {
    if (!complete_levels(t, given, pixels, helper_threads() + 1)) return msg::kImportInterrupted;
  } catch (const std::bad_alloc&) {
    throw PictureOutOfMemory();
  }
  *note += msg::texture_levels_made(file.path, given, t.levels_present - given);
  return std::wstring();
}

std::wstring patch_dds(uint8_t* content, const std::vector<Located>& textures,
                       const TextureFile& file, std::wstring* note) {
  uint8_t header[kDdsDx10HeaderSize] = {};
  FileHead dds;
  const std::wstring failed = open_with_head(file.path, header, sizeof header, &dds);
  if (!failed.empty()) return failed;
  const uint64_t file_size = dds.size;
  DdsLayout layout;
  const DdsHeaderStatus status = read_dds_header(header, dds.got, &layout);
  if (status == DdsHeaderStatus::not_accepted) return msg::texture_not_importable(file.path);
  const Located* target = find_texture(textures, file);
  const std::wstring unavailable = texture_unavailable(target, file);
  if (!unavailable.empty()) return unavailable;
  const TextureDescription& t = target->texture;
  if (status == DdsHeaderStatus::cut_short) {
    return msg::texture_header_cut(file.path, expected_shape(t));
  }
  if (status == DdsHeaderStatus::undecodable) {
    return msg::texture_undecodable(file.path, expected_shape(t), found_shape(layout, file_size),
                                    texture_format_label(t.format_code));
  }
  uint8_t* pixels = content + target->container_offset + size_t(t.data_position);
  const DdsFit fit = dds_fits_texture(layout, file_size, t);
  if (fit == DdsFit::fits) {
    size_t got = 0;
    if (!dds.file.read_at(layout.data_offset, pixels, t.data_size, &got)) {
      return msg::file_read_failed(file.path);
    }
    // The file shrank since its size was taken.
    if (got != t.data_size) return dds_unlike(file, t, layout, layout.data_offset + got);
    return std::wstring();
  }
  // Another size, or bytes that end before the levels the header states:
  // nothing of it can be trusted to be the texture.
  if (layout.width != t.width || layout.height != t.height || dds_cut_short(layout, file_size)) {
    return dds_unlike(file, t, layout, file_size);
  }
  if (fit == DdsFit::incomplete) {
    return complete_dds(pixels, t, file, dds, layout, dds_levels_held(layout, file_size), note);
  }
  return convert_dds(pixels, t, file, dds, layout, note);
}

// What a file under a .png name that does not begin as one is, in the
// refusal's words.
std::wstring picture_refusal(const TextureFile& file, const TextureDescription& t,
                             const uint8_t* head, size_t got, uint64_t file_size) {
  if (file_size == 0) return msg::picture_empty(file.path, t.width, t.height);
  if (starts_like_png(head, got) && got < kPngSizeBytes) {
    return msg::picture_cut_short(file.path, t.width, t.height);
  }
  const std::string kind = other_picture_kind(head, got);
  if (kind.empty()) return msg::picture_unreadable(file.path, t.width, t.height);
  return msg::picture_of_other_kind(file.path, t.width, t.height,
                                    std::wstring(kind.begin(), kind.end()));
}

// A picture is checked for its size by its header alone, before anything is
// allocated for its pixels, then decoded and compressed into the texture.
std::wstring patch_png(uint8_t* content, const std::vector<Located>& textures,
                       const TextureFile& file, std::wstring* note) {
  const Located* target = find_texture(textures, file);
  const std::wstring unavailable = texture_unavailable(target, file);
  if (!unavailable.empty()) return unavailable;
  const TextureDescription& t = target->texture;
  uint8_t header[kPngSizeBytes] = {};
  FileHead png;
  const std::wstring failed = open_with_head(file.path, header, sizeof header, &png);
  if (!failed.empty()) return failed;
  const uint64_t file_size = png.size;
  size_t got = png.got;
  uint32_t width = 0, height = 0;
  if (!read_png_size(header, got, &width, &height)) {
    return picture_refusal(file, t, header, got, file_size);
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
  uint8_t* pixels = content + target->container_offset + t.data_position;
  try {
    const RgbaPixels rgba = decode_png_rgba(bytes.data(), got, width, height);
    if (rgba == nullptr) {
      return png_cut_short(bytes.data(), got)
                 ? msg::picture_cut_short(file.path, t.width, t.height)
                 : msg::picture_unreadable(file.path, t.width, t.height);
    }
    if (!png_has_alpha(bytes.data(), got) && !top_level_opaque(t, pixels)) {
      *note += msg::texture_alpha_dropped(file.path);
    }
    bytes = std::vector<uint8_t>();  // only the pixels are needed from here on
    if (!encode_texture_pixels(rgba.get(), t, pixels, helper_threads() + 1)) {
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

std::wstring patch_textures(uint8_t* content, size_t size, const std::vector<TextureFile>& files,
                            std::vector<std::wstring>* notes) {
  std::wstring twice = textures_given_twice(files);
  if (!twice.empty()) return twice;
  const std::vector<Located> textures = content_textures(content, size);
  std::vector<std::wstring> said(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    const TextureFile& file = files[i];
    std::wstring failure = file.png ? patch_png(content, textures, file, &said[i])
                                    : patch_dds(content, textures, file, &said[i]);
    if (!failure.empty()) return failure;
  }
  if (notes != nullptr) *notes = std::move(said);
  return std::wstring();
}

}  // namespace linkdata
