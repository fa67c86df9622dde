// A mod's folder, "Mods/<name>/": one folder per archive letter laid out as
// "Import/<letter>/", and an optional "mod.txt". It is a stranger's input:
// only regular files are read, no link is followed, and the text of mod.txt
// is read with a bound and shown escaped where it is not valid UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/modes/import_names.h"

namespace linkdata {

// mod.txt's fields, as their bytes stand in the file.
struct ModInfo {
  std::string title, version, author, description;
};

// At most this much of mod.txt is read; the rest is not looked at.
constexpr size_t kModInfoLimit = 64 * 1024;

// "key=value" lines (CR LF or LF; keys in any letter case, white space
// around them ignored; later lines win): title, version, author,
// description. Anything else is ignored.
ModInfo parse_mod_info(const uint8_t* data, size_t size);
ModInfo read_mod_info(const std::wstring& name);

// Bytes shown on a console or in a table cell: valid UTF-8 as it is; every
// byte that is not, every control character and every character that turns
// the direction of text as "\xNN" or "\uNNNN", so that nothing in a
// stranger's file can break a line or a column.
std::wstring shown_text(const std::string& bytes);

// A name that is one folder below "Mods": not empty, no separator, not "."
// or "..".
bool valid_mod_name(const std::wstring& name);
std::wstring mod_folder(const std::wstring& name);  // Mods/<name>
std::wstring mod_letter_folder(const std::wstring& name,
                               const std::wstring& letter);  // Mods/<name>/<L>
// The folders directly under Mods (not links), by name.
std::vector<std::wstring> mods_in_folder();
// The archive letters a mod has folders for, upper case, in order.
std::vector<std::wstring> mod_letters(const std::wstring& name);

// One letter's files of a mod, as import would take them from Import/<L>.
struct LooseFile {
  std::wstring path;  // as messages name it
  int32_t entry = 0;
};
struct ModLetterFiles {
  std::vector<LooseFile> loose;       // ascending entry
  std::vector<TextureFile> textures;  // as texture_files_in_import_order gives them
};

// Gathers one letter's files; empty, with the message, when a name is not a
// regular file or one entry is given by two loose files.
std::wstring gather_mod_files(const std::wstring& name, const std::wstring& letter,
                              ModLetterFiles* out);

// A checksum of every file a mod installs and of mod.txt: names, sizes and
// bytes. Zero when the folder is gone.
uint32_t mod_fingerprint(const std::wstring& name);

}  // namespace linkdata
