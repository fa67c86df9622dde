// What the gallery knows beyond the pictures, in two small text files that
// export and import leave in an entry's texture folder beside its pictures
// (Extracted/<L>/Textures/<n>/), since the page is rebuilt from that folder
// so that runs add up. Import never takes them back: their names are not
// texture names. Read back, they are any program's files: read in bounded
// sizes, only lines of the exact form taken, and the page escapes them all.
//
//   skipped.txt        written by export with p: the textures it found in the
//                      entry and left out for their format, one a line,
//                      "<sub>_<t> <format code> <width>x<height> <mip count>";
//                      an older one is emptied when there are none.
//   archive-entry.txt  the entry as the archive last held it, as far as the
//                      tool saw: its identity (below), written by export with
//                      p and by import for each entry it changed whose folder
//                      is there. A picture whose note carries another
//                      identity is older than the archive's entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace linkdata {

// An entry's content, as a picture's note and archive-entry.txt record it:
// "<size>:<crc32 in 8 lower-case hex digits>".
std::string entry_identity(const uint8_t* content, size_t size);

// The identity as archive-entry.txt holds it; nothing when the file is not
// there or does not hold exactly one identity. `not_regular` is set when
// the name holds something other than a regular file (never opened).
std::optional<std::string> read_entry_identity(const std::wstring& entry_dir, bool* not_regular);
// False when the file cannot be written (no older one is then left).
bool write_entry_identity(const std::wstring& entry_dir, const std::string& identity);
std::wstring entry_identity_path(const std::wstring& entry_dir);

struct SkippedTexture {
  uint32_t sub_index = 0;
  uint32_t texture_index = 0;
  uint32_t format_code = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t mip_count = 0;
};

// At most this many are read back from one folder.
constexpr size_t kMaxSkippedRead = 1024;

// The list as skipped.txt holds it, its well-formed lines only.
std::vector<SkippedTexture> read_skipped_textures(const std::wstring& entry_dir, bool* not_regular);
// Writes the list; an empty one only over an older list. False when it
// cannot be written.
bool write_skipped_textures(const std::wstring& entry_dir,
                            const std::vector<SkippedTexture>& skipped);
std::wstring skipped_textures_path(const std::wstring& entry_dir);

}  // namespace linkdata
