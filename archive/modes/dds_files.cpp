#include "archive/modes/dds_files.h"

#include <array>
#include <new>

#include "archive/modes/texture_file_name.h"
#include "platform/platform.h"
#include "platform/whole_file.h"
#include "platform/working_paths.h"
#include "textures/dds.h"

namespace linkdata {

bool write_dds_texture(const std::wstring& texture_dir, const TextureDescription& t,
                       const uint8_t* container, size_t container_size, uint32_t entry_number,
                       uint32_t sub_index) {
  if (!exported_as_dds(t) || container == nullptr) return true;
  // Re-checked here so that a caller-built description can never read past the container.
  if (t.data_position > container_size || t.data_size > container_size - t.data_position) {
    return true;
  }

  const std::array<uint8_t, kDdsHeaderSize> header = build_dds_header(t);

  ensure_directory(entry_texture_dir(texture_dir, entry_number));
  const std::wstring path = texture_file_path(texture_dir, entry_number, sub_index, t.texture_index,
                                              TextureFileType::dds);

  WholeFile file(path, kDdsHeaderSize + t.data_size);
  bool ok = file.is_open() && file.write_at(0, header.data(), header.size());
  if (ok && t.data_size != 0) {
    ok = file.write_at(kDdsHeaderSize, container + t.data_position, t.data_size);
  }
  ok = ok && file.finish();
  // No older texture stays under its name either, where it would pass for
  // this export's.
  if (!ok) platform::remove_file(path);
  return ok;
}

namespace {

// Textures cannot be held: told by the entry's texture folder, and the
// entry itself is still exported.
DdsFilesWritten textures_not_held(const std::wstring& texture_dir, uint32_t entry_number,
                                  DdsFilesWritten so_far) {
  so_far.unwritten.push_back(entry_texture_dir(texture_dir, entry_number));
  return so_far;
}

}  // namespace

DdsFilesWritten extract_textures(const std::wstring& texture_dir, const uint8_t* container,
                                 size_t container_size, uint32_t entry_number, uint32_t sub_index) {
  std::vector<TextureDescription> textures;
  try {
    if (container != nullptr) textures = read_texture_container(container, container_size);
  } catch (const std::bad_alloc&) {
    ensure_directory(texture_dir);
    return textures_not_held(texture_dir, entry_number, {});
  }
  return extract_textures(texture_dir, textures, container, container_size, entry_number,
                          sub_index);
}

DdsFilesWritten extract_textures(const std::wstring& texture_dir,
                                 const std::vector<TextureDescription>& textures,
                                 const uint8_t* container, size_t container_size,
                                 uint32_t entry_number, uint32_t sub_index) {
  DdsFilesWritten out;
  ensure_directory(texture_dir);
  if (container == nullptr) return out;
  try {
    for (const TextureDescription& t : textures) {
      if (!exported_as_dds(t)) continue;
      if (write_dds_texture(texture_dir, t, container, container_size, entry_number, sub_index)) {
        ++out.written;
      } else {
        out.unwritten.push_back(texture_file_path(texture_dir, entry_number, sub_index,
                                                  t.texture_index, TextureFileType::dds));
      }
    }
  } catch (const std::bad_alloc&) {
    return textures_not_held(texture_dir, entry_number, std::move(out));
  }
  return out;
}

}  // namespace linkdata
