// Export's DDS files: every texture of a container that export writes,
// under <texture_dir>/<entry>/<sub>_<t>.dds, its header built in textures/
// and its pixel data copied from the container. Prints nothing: what could
// not be written comes back, for export to name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "textures/container.h"

namespace linkdata {

// Writes one supported texture to <texture_dir>/<entry>/<sub>_<index>.dds,
// making the entry's folder. True when written, or when there is nothing to
// write (a format export does not write, data past the container); false
// when the file cannot be created or written, and then no file is left
// under its name, not even an older one.
bool write_dds_texture(const std::wstring& texture_dir, const TextureDescription& t,
                       const uint8_t* container, size_t container_size, uint32_t entry_number,
                       uint32_t sub_index);

struct DdsFilesWritten {
  size_t written = 0;
  // In order, the files that could not be written; or the entry's texture
  // folder alone when memory could not hold the container's textures.
  std::vector<std::wstring> unwritten;
  bool all_written() const { return unwritten.empty(); }
};

// Writes every supported, in-bounds texture of a container, after making
// the texture folder (whatever the container holds).
DdsFilesWritten extract_textures(const std::wstring& texture_dir, const uint8_t* container,
                                 size_t container_size, uint32_t entry_number, uint32_t sub_index);
// The same for a container that read_texture_container has described already.
DdsFilesWritten extract_textures(const std::wstring& texture_dir,
                                 const std::vector<TextureDescription>& textures,
                                 const uint8_t* container, size_t container_size,
                                 uint32_t entry_number, uint32_t sub_index);

}  // namespace linkdata
