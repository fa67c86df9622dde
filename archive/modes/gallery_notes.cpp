#include "archive/modes/gallery_notes.h"

#include <cstdio>

#include "archive/safety/originals_check.h"
#include "platform/platform.h"
#include "platform/whole_file.h"
#include "platform/working_paths.h"

namespace linkdata {

namespace {

constexpr size_t kMaxIdentityFile = 64;
constexpr size_t kMaxSkippedFile = 64 * 1024;

// Up to `limit` bytes of a regular file; nothing for anything else.
std::optional<std::string> read_small_file(const std::wstring& path, size_t limit,
                                           bool* not_regular) {
  const platform::NameKind kind = platform::name_kind(path);
  if (kind == platform::NameKind::none) return std::nullopt;
  if (kind != platform::NameKind::file) {
    *not_regular = true;
    return std::nullopt;
  }
  platform::File file = platform::File::open_read(path);
  if (!file.is_open()) return std::nullopt;
  std::string bytes(limit, '\0');
  size_t got = 0;
  if (!file.read_at(0, bytes.data(), bytes.size(), &got)) return std::nullopt;
  bytes.resize(got);
  return bytes;
}

bool write_small_file(const std::wstring& path, const std::string& bytes) {
  WholeFile file(path, bytes.size());
  if (file.is_open() && file.write_at(0, bytes.data(), bytes.size()) && file.finish()) return true;
  platform::remove_file(path);
  return false;
}

// Decimal digits only, at most 10 of them and within 32 bits.
std::optional<uint32_t> small_number(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + uint64_t(c - '0');
  }
  if (value > UINT32_MAX) return std::nullopt;
  return uint32_t(value);
}

bool well_formed_identity(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon > 20) return false;
  for (size_t i = 0; i < colon; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  if (text.size() - colon - 1 != 8) return false;
  for (size_t i = colon + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at = text.find(separator); at != std::string::npos;
       at = text.find(separator, start)) {
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  parts.push_back(text.substr(start));
  return parts;
}

std::optional<SkippedTexture> skipped_line(const std::string& line) {
  const std::vector<std::string> fields = split(line, ' ');
  if (fields.size() != 4) return std::nullopt;
  const std::vector<std::string> name = split(fields[0], '_');
  const std::vector<std::string> size = split(fields[2], 'x');
  if (name.size() != 2 || size.size() != 2) return std::nullopt;
  const std::optional<uint32_t> sub = small_number(name[0]), index = small_number(name[1]),
                                code = small_number(fields[1]), width = small_number(size[0]),
                                height = small_number(size[1]), mips = small_number(fields[3]);
  if (!sub || !index || !code || !width || !height || !mips) return std::nullopt;
  return SkippedTexture{*sub, *index, *code, *width, *height, *mips};
}

}  // namespace

std::string entry_identity(const uint8_t* content, size_t size) {
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08x", unsigned(payload_checksum(content, size)));
  return std::to_string(size) + ":" + crc;
}

std::wstring entry_identity_path(const std::wstring& entry_dir) {
  return join_path(entry_dir, L"archive-entry.txt");
}

std::wstring skipped_textures_path(const std::wstring& entry_dir) {
  return join_path(entry_dir, L"skipped.txt");
}

std::optional<std::string> read_entry_identity(const std::wstring& entry_dir, bool* not_regular) {
  std::optional<std::string> text =
      read_small_file(entry_identity_path(entry_dir), kMaxIdentityFile, not_regular);
  if (!text) return std::nullopt;
  if (!text->empty() && text->back() == '\n') text->pop_back();
  if (!well_formed_identity(*text)) return std::nullopt;
  return text;
}

bool write_entry_identity(const std::wstring& entry_dir, const std::string& identity) {
  return write_small_file(entry_identity_path(entry_dir), identity + "\n");
}

std::vector<SkippedTexture> read_skipped_textures(const std::wstring& entry_dir,
                                                  bool* not_regular) {
  std::vector<SkippedTexture> out;
  const std::optional<std::string> text =
      read_small_file(skipped_textures_path(entry_dir), kMaxSkippedFile, not_regular);
  if (!text) return out;
  for (const std::string& line : split(*text, '\n')) {
    if (out.size() == kMaxSkippedRead) break;
    if (const std::optional<SkippedTexture> s = skipped_line(line)) out.push_back(*s);
  }
  return out;
}

bool write_skipped_textures(const std::wstring& entry_dir,
                            const std::vector<SkippedTexture>& skipped) {
  const std::wstring path = skipped_textures_path(entry_dir);
  // An older list is emptied, not deleted: export deletes nothing.
  if (skipped.empty() && platform::name_kind(path) == platform::NameKind::none) return true;
  std::string text;
  for (const SkippedTexture& s : skipped) {
    text += std::to_string(s.sub_index) + "_" + std::to_string(s.texture_index) + " " +
            std::to_string(s.format_code) + " " + std::to_string(s.width) + "x" +
            std::to_string(s.height) + " " + std::to_string(s.mip_count) + "\n";
  }
  return write_small_file(path, text);
}

}  // namespace linkdata
