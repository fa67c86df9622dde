#include "archive/modes/texture_file_name.h"

#include "platform/ascii_case.h"
#include "platform/working_paths.h"

namespace linkdata {

namespace {

// extension in upper case.
bool ends_with(const std::wstring& name, const std::wstring& extension) {
  if (name.size() < extension.size()) return false;
  for (size_t i = 0; i < extension.size(); ++i) {
    if (ascii_upper(name[name.size() - extension.size() + i]) != extension[i]) return false;
  }
  return true;
}

}  // namespace

std::wstring texture_file_name(uint32_t sub_index, uint32_t texture_index, TextureFileType type) {
  return std::to_wstring(sub_index) + L"_" + std::to_wstring(texture_index) +
         (type == TextureFileType::png ? L".png" : L".dds");
}

std::wstring entry_texture_dir(const std::wstring& texture_dir, uint32_t entry_number) {
  return join_path(texture_dir, std::to_wstring(entry_number));
}

std::wstring texture_file_path(const std::wstring& texture_dir, uint32_t entry_number,
                               uint32_t sub_index, uint32_t texture_index, TextureFileType type) {
  return join_path(entry_texture_dir(texture_dir, entry_number),
                   texture_file_name(sub_index, texture_index, type));
}

std::optional<uint64_t> texture_name_number(const std::wstring& text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    const uint64_t digit = uint64_t(c - L'0');
    value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
  }
  return value;
}

std::optional<TextureFileName> parse_texture_file_name(const std::wstring& name) {
  static const std::wstring kDds = L".DDS", kPng = L".PNG";  // of one length
  const bool png = ends_with(name, kPng);
  if (!png && !ends_with(name, kDds)) return std::nullopt;
  const std::wstring base = name.substr(0, name.size() - kDds.size());
  const size_t cut = base.find(L'_');
  if (cut == std::wstring::npos) return std::nullopt;
  const std::optional<uint64_t> sub = texture_name_number(base.substr(0, cut));
  const std::optional<uint64_t> texture = texture_name_number(base.substr(cut + 1));
  if (!sub || !texture) return std::nullopt;
  TextureFileName out;
  out.sub_index = *sub;
  out.texture_index = *texture;
  out.type = png ? TextureFileType::png : TextureFileType::dds;
  return out;
}

}  // namespace linkdata
