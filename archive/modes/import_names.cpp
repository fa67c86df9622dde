#include "archive/modes/import_names.h"

#include <algorithm>
#include <sstream>

#include "archive/modes/texture_file_name.h"
#include "platform/ascii_case.h"
#include "platform/leading_int.h"
#include "platform/working_paths.h"

namespace linkdata {
namespace {

bool less_ignoring_case(const std::wstring& a, const std::wstring& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (ascii_upper(a[i]) != ascii_upper(b[i])) return ascii_upper(a[i]) < ascii_upper(b[i]);
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;  // names that differ only in case: a fixed order all the same
}

// extension in upper case.
bool ends_with(const std::wstring& name, const std::wstring& extension) {
  if (name.size() < extension.size()) return false;
  for (size_t i = 0; i < extension.size(); ++i) {
    if (ascii_upper(name[name.size() - extension.size() + i]) != extension[i]) return false;
  }
  return true;
}

bool ends_with_data(const std::wstring& name) { return ends_with(name, L".DATA"); }

// Names starting with a dot are hidden ones, never the user's files.
bool hidden(const platform::ListedName& listed) {
  return listed.name.empty() || listed.name[0] == L'.';
}

bool usable_folder(const platform::ListedName& listed) {
  return listed.is_directory && !hidden(listed);
}

bool usable_file(const platform::ListedName& listed) {
  return !listed.is_directory && !hidden(listed);
}

}  // namespace

std::vector<platform::ListedName> loose_files_in_import_order(
    const std::vector<platform::ListedName>& listing) {
  std::vector<platform::ListedName> out;
  for (const platform::ListedName& listed : listing) {
    if (ends_with_data(listed.name)) out.push_back(listed);
  }
  std::sort(out.begin(), out.end(),
            [](const auto& a, const auto& b) { return less_ignoring_case(a.name, b.name); });
  return out;
}

std::optional<int32_t> entry_number_of(const platform::ListedName& listed) {
  if (listed.is_directory || listed.name.empty() || listed.name[0] == L'.') return std::nullopt;
  const size_t dot = listed.name.rfind(L'.');
  const std::wstring base = dot == std::wstring::npos ? listed.name : listed.name.substr(0, dot);
  std::wistringstream in(base);
  in.imbue(std::locale::classic());
  double number;
  if (!(in >> number)) return std::nullopt;
  wchar_t extra;
  if (in >> extra) return std::nullopt;
  return parse_leading_int(base);
}

std::vector<TextureFile> texture_files_in_import_order(const std::wstring& import_dir) {
  std::vector<TextureFile> out;
  const std::wstring textures = join_path(import_dir, L"Textures");
  std::vector<platform::ListedName> folders;
  if (!platform::list_directory(textures, &folders)) return out;
  for (const platform::ListedName& folder : folders) {
    const std::optional<uint64_t> entry = texture_name_number(folder.name);
    if (!usable_folder(folder) || !entry) continue;
    const std::wstring folder_path = join_path(textures, folder.name);
    std::vector<platform::ListedName> files;
    if (!platform::list_directory(folder_path, &files)) continue;
    for (const platform::ListedName& file : files) {
      if (!usable_file(file)) continue;
      const std::optional<TextureFileName> name = parse_texture_file_name(file.name);
      if (!name) continue;
      TextureFile t;
      t.path = join_path(folder_path, file.name);
      t.entry = *entry;
      t.sub_index = name->sub_index;
      t.texture_index = name->texture_index;
      t.png = name->type == TextureFileType::png;
      out.push_back(std::move(t));
    }
  }
  std::sort(out.begin(), out.end(), [](const TextureFile& a, const TextureFile& b) {
    if (a.entry != b.entry) return a.entry < b.entry;
    if (a.sub_index != b.sub_index) return a.sub_index < b.sub_index;
    if (a.texture_index != b.texture_index) return a.texture_index < b.texture_index;
    return less_ignoring_case(a.path, b.path);
  });
  return out;
}

}  // namespace linkdata
