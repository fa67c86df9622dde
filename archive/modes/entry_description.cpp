#include "archive/modes/entry_description.h"

#include <algorithm>
#include <string>

#include "archive/format/package.h"
#include "platform/messages.h"
#include "textures/container.h"
#include "textures/texture_formats.h"

namespace linkdata {
namespace {

constexpr size_t kShownBytes = 4;
// A container's table can claim millions of textures that share one header;
// the cell stops growing here, so that it stays small beside the content.
constexpr size_t kMaxTexturesText = 64 * 1024;

// The first bytes as text when every one of them is printable ASCII, in hex
// otherwise (so that a byte such as a tab never breaks a line or a column).
std::wstring first_bytes(const uint8_t* data, size_t size) {
  const size_t n = std::min(size, kShownBytes);
  if (n == 0) return L"";
  const bool printable =
      std::all_of(data, data + n, [](uint8_t b) { return b >= 0x20 && b < 0x7F; });
  std::wstring out = L" ";
  if (printable) {
    out += L'"';
    for (size_t i = 0; i < n; ++i) out += wchar_t(data[i]);
    return out + L'"';
  }
  const wchar_t* const digits = L"0123456789ABCDEF";
  for (size_t i = 0; i < n; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 0x0F];
  }
  return out;
}

// Levels as the DDS file of a supported texture holds them; the stored mip
// count for the others.
std::wstring texture_text(const TextureDescription& t, uint32_t sub_index) {
  const bool written = find_texture_format(t.format_code) != nullptr;
  const uint32_t levels = written ? t.levels_present : t.mip_count;
  std::wstring text = std::to_wstring(sub_index) + L"_" + std::to_wstring(t.texture_index) + L" " +
                      texture_format_label(t.format_code) + L" " + std::to_wstring(t.width) + L"x" +
                      std::to_wstring(t.height) + L" " + std::to_wstring(levels);
  // Export writes no file for pixel data that reaches past the container.
  if (written && !t.in_bounds) text += msg::kTextureOutOfBounds;
  return text;
}

}  // namespace

EntryDescription describe_content(const uint8_t* content, size_t size) {
  EntryDescription d;
  uint32_t sub_files = 0;
  if (has_texture_magic(content, size)) {
    d.kind = msg::kKindTextureContainer;
  } else if (is_package(content, size, &sub_files)) {
    d.kind = msg::kind_package(sub_files);
  } else {
    d.kind = msg::kind_other(first_bytes(content, size));
  }
  for (const ContainerSpan& span : find_texture_containers(content, size)) {
    for (const TextureDescription& t : read_texture_container(content + span.offset, span.size)) {
      if (d.textures.size() >= kMaxTexturesText) {
        d.textures += msg::kTexturesCut;
        return d;
      }
      if (!d.textures.empty()) d.textures += L"; ";
      d.textures += texture_text(t, span.sub_index);
    }
  }
  return d;
}

EntryDescription describe_plain(const uint8_t* head, size_t size) {
  return EntryDescription{msg::kind_other(first_bytes(head, size)), L""};
}

EntryDescription describe_read_failure() { return EntryDescription{msg::kKindReadFailed, L""}; }

EntryDescription describe_decode_failure(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::length_mismatch:
      return EntryDescription{msg::kKindLengthWrong, L""};
    case DecodeStatus::out_of_memory:
      return EntryDescription{msg::kKindOutOfMemory, L""};
    default:
      return EntryDescription{msg::kKindDecodeFailed, L""};
  }
}

}  // namespace linkdata
