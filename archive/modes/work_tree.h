// The working folders of one archive letter, every path built in one place:
// "Extracted/<L>" with its textures, and "Import/<L>" with its textures,
// relative to the game folder, with the platform's separator.
#pragma once

#include <string>

namespace linkdata {

struct WorkTree {
  std::wstring letter;              // <L>, as the front end gives it
  std::wstring export_dir;          // Extracted/<L>
  std::wstring texture_dir;         // Extracted/<L>/Textures
  std::wstring import_dir;          // Import/<L>
  std::wstring import_texture_dir;  // Import/<L>/Textures
};

WorkTree work_tree_for(const std::wstring& letter);

}  // namespace linkdata
