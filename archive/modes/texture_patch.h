// Putting edited DDS files back into an entry's content: each one replaces
// the pixel data of the texture that its name addresses, and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "archive/modes/import_names.h"

namespace linkdata {

// Memory ran out while a picture was decoded or compressed: unlike a file too
// large to be read, nothing names a file for it, and the run stops with the
// out-of-memory message.
struct PictureOutOfMemory : std::bad_alloc {};

// Files among one entry's (sorted by texture, as texture_files_in_import_order
// gives them) that name a texture another of them names too: another
// spelling of the folder's entry number (7, 007), leading zeros in the file
// name, another letter case of the extension, a picture beside a DDS file.
// Which one was meant is anyone's guess, so none of them may be taken. One
// message per such texture, naming all its files; empty when there is none.
std::wstring textures_given_twice(const std::vector<TextureFile>& files);

// Reads the files into the pixel data of their textures in content[0, size).
// The textures are located on the content as it was before the first file,
// so no file can move another one's texture. Gives the failure message, or
// an empty string when every file was taken; after a failure the content is
// partly patched and must not be written. Files that textures_given_twice
// refuses are refused here too, before any is read. A picture's compression
// stops at an interruption, which fails with import's interruption message.
// Throws PictureOutOfMemory, or std::bad_alloc for a file that cannot be held.
// `notes`, if given, gets for each file, in order, the lines that go after
// its success line (levels made, alpha dropped), or an empty text.
std::wstring patch_textures(uint8_t* content, size_t size, const std::vector<TextureFile>& files,
                            std::vector<std::wstring>* notes = nullptr);

}  // namespace linkdata
