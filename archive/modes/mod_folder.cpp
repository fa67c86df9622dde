#include "archive/modes/mod_folder.h"

#include <algorithm>
#include <map>

#include "archive/safety/checked_reads.h"
#include "platform/ascii_case.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "platform/working_paths.h"

namespace linkdata {
namespace {

std::string trimmed(const std::string& s) {
  const char* space = " \t\r";
  const size_t a = s.find_first_not_of(space);
  if (a == std::string::npos) return std::string();
  return s.substr(a, s.find_last_not_of(space) - a + 1);
}

std::string lower_ascii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return s;
}

bool is_ascii_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool is_folder(const std::wstring& path) {
  return platform::name_kind(path) == platform::NameKind::folder;
}

// Carries a checksum over a file's bytes, read in blocks; false when it
// cannot be read.
bool crc_file(const std::wstring& path, uint32_t* crc) {
  platform::File f = platform::File::open_read(path);
  if (!f.is_open()) return false;
  std::vector<uint8_t> block(1 << 16);
  for (uint64_t at = 0;;) {
    size_t got = 0;
    if (!f.read_at(at, block.data(), block.size(), &got)) return false;
    if (got == 0) return true;
    *crc = crc_of(*crc, block.data(), got);
    at += got;
  }
}

void crc_text(const std::wstring& text, uint32_t* crc) {
  const std::string bytes = to_utf8(text) + '\0';
  *crc = crc_of(*crc, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

ModInfo parse_mod_info(const uint8_t* data, size_t size) {
  ModInfo info;
  const std::string text(reinterpret_cast<const char*>(data), std::min(size, kModInfoLimit));
  size_t at = 0;
  // A byte order mark some editors write.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) at = 3;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = lower_ascii(trimmed(line.substr(0, eq)));
    const std::string value = trimmed(line.substr(eq + 1));
    if (key == "title") info.title = value;
    if (key == "version") info.version = value;
    if (key == "author") info.author = value;
    if (key == "description") info.description = value;
  }
  return info;
}

ModInfo read_mod_info(const std::wstring& name) {
  platform::File f = platform::File::open_read(join_path(mod_folder(name), L"mod.txt"));
  if (!f.is_open()) return ModInfo{};
  std::vector<uint8_t> bytes(kModInfoLimit);
  size_t got = 0;
  if (!f.read_at(0, bytes.data(), bytes.size(), &got)) return ModInfo{};
  return parse_mod_info(bytes.data(), got);
}

std::wstring shown_text(const std::string& bytes) {
  std::wstring out;
  for (wchar_t c : from_utf8(bytes)) {
    const uint32_t cp = uint32_t(c);
    wchar_t escaped[16];
    if (cp >= 0xDC80 && cp <= 0xDCFF) {
      std::swprintf(escaped, 16, L"\\x%02X", unsigned(cp - 0xDC00));
    } else if (cp < 0x20 || cp == 0x7F) {
      std::swprintf(escaped, 16, L"\\x%02X", unsigned(cp));
    } else if ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)) {
      std::swprintf(escaped, 16, L"\\u%04X", unsigned(cp));
    } else {
      out += c;
      continue;
    }
    out += escaped;
  }
  return out;
}

bool valid_mod_name(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  return name.find_first_of(L"/\\:") == std::wstring::npos;
}

std::wstring mod_folder(const std::wstring& name) { return join_path(L"Mods", name); }

std::wstring mod_letter_folder(const std::wstring& name, const std::wstring& letter) {
  return join_path(mod_folder(name), letter);
}

std::vector<std::wstring> mods_in_folder() {
  std::vector<platform::ListedName> listing;
  std::vector<std::wstring> out;
  if (!platform::list_directory(L"Mods", &listing)) return out;
  for (const platform::ListedName& l : listing) {
    if (valid_mod_name(l.name) && l.name[0] != L'.' && is_folder(mod_folder(l.name))) {
      out.push_back(l.name);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::wstring> mod_letters(const std::wstring& name) {
  std::vector<platform::ListedName> listing;
  std::vector<std::wstring> out;
  if (!is_folder(mod_folder(name)) || !platform::list_directory(mod_folder(name), &listing)) {
    return out;
  }
  for (const platform::ListedName& l : listing) {
    if (l.name.size() != 1 || !is_ascii_letter(l.name[0])) continue;
    if (!is_folder(mod_letter_folder(name, l.name))) continue;
    const std::wstring letter = ascii_upper(l.name);
    if (std::find(out.begin(), out.end(), letter) == out.end()) out.push_back(letter);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::wstring gather_mod_files(const std::wstring& name, const std::wstring& letter,
                              ModLetterFiles* out) {
  *out = ModLetterFiles{};
  // The folder of that letter as it is spelled on the disk.
  std::wstring dir = mod_letter_folder(name, letter);
  if (!is_folder(dir)) {
    const std::wstring lower(1, wchar_t(letter[0] - L'A' + L'a'));
    dir = mod_letter_folder(name, lower);
  }
  std::vector<platform::ListedName> listing;
  platform::list_directory(dir, &listing);
  std::map<int32_t, std::vector<std::wstring>> by_entry;
  for (const platform::ListedName& listed : loose_files_in_import_order(listing)) {
    const std::optional<int32_t> entry = entry_number_of(listed);
    if (!entry) continue;
    const std::wstring path = join_path(dir, listed.name);
    if (platform::name_kind(path) != platform::NameKind::file) {
      return msg::mod_file_not_regular(path);
    }
    by_entry[*entry].push_back(path);
  }
  std::wstring twice;
  for (const auto& [entry, paths] : by_entry) {
    if (paths.size() > 1) twice += msg::mod_entry_given_twice(paths);
    out->loose.push_back({paths.front(), entry});
  }
  if (!twice.empty()) return twice;
  const std::wstring textures = join_path(dir, L"Textures");
  if (platform::name_kind(textures) == platform::NameKind::link) {
    return msg::mod_file_not_regular(textures);
  }
  for (TextureFile& t : texture_files_in_import_order(dir)) {
    const std::wstring folder = folder_of(t.path);
    if (!is_folder(folder)) return msg::mod_file_not_regular(folder);
    if (platform::name_kind(t.path) != platform::NameKind::file) {
      return msg::mod_file_not_regular(t.path);
    }
    out->textures.push_back(std::move(t));
  }
  return std::wstring();
}

uint32_t mod_fingerprint(const std::wstring& name) {
  if (!is_folder(mod_folder(name))) return 0;
  uint32_t crc = 0;
  const std::wstring info = join_path(mod_folder(name), L"mod.txt");
  crc_text(L"mod.txt", &crc);
  crc_file(info, &crc);
  for (const std::wstring& letter : mod_letters(name)) {
    ModLetterFiles files;
    crc_text(letter, &crc);
    if (!gather_mod_files(name, letter, &files).empty()) {
      crc_text(L"?", &crc);
      continue;
    }
    for (const LooseFile& f : files.loose) {
      crc_text(f.path, &crc);
      if (!crc_file(f.path, &crc)) crc_text(L"?", &crc);
    }
    for (const TextureFile& t : files.textures) {
      crc_text(t.path, &crc);
      if (!crc_file(t.path, &crc)) crc_text(L"?", &crc);
    }
  }
  // Zero stands for a folder that is gone.
  return uint32_t(crc) == 0 ? 1 : uint32_t(crc);
}

}  // namespace linkdata
