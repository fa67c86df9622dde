#include "archive/modes/work_tree.h"

#include "platform/working_paths.h"

namespace linkdata {

WorkTree work_tree_for(const std::wstring& letter) {
  WorkTree tree;
  tree.letter = letter;
  tree.export_dir = join_path(L"Extracted", letter);
  tree.texture_dir = join_path(tree.export_dir, L"Textures");
  tree.import_dir = join_path(L"Import", letter);
  tree.import_texture_dir = join_path(tree.import_dir, L"Textures");
  return tree;
}

}  // namespace linkdata
