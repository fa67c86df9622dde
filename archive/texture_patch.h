// Putting edited DDS files back into an entry's content: each one replaces
// the pixel data of the texture that its name addresses, and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/import_names.h"

namespace linkdata {

namespace platform {
class File;
}

// An entry's content as export gives it: a plain entry's payload, or a
// compressed one decoded. Bytes past archive_length read as zeros, as in
// export. Gives the failure message that export prints for the same
// failure, or an empty string.
std::wstring read_entry_content(platform::File& archive, uint64_t archive_length, uint32_t n,
                                const IndexRecord& record, std::vector<uint8_t>* content);

// Reads the files into the pixel data of their textures in content[0, size).
// The textures are located on the content as it was before the first file,
// so no file can move another one's texture. Gives the failure message, or
// an empty string when every file was taken; after a failure the content is
// partly patched and must not be written.
std::wstring patch_textures(uint8_t* content, size_t size, const std::vector<TextureFile>& files);

}  // namespace linkdata
