#include "archive/modes/listing_format.h"

#include <algorithm>

#include "platform/messages.h"

namespace linkdata {
namespace {

const wchar_t* const kGap = L"  ";
// Wide enough for every kind but the longest failure reasons.
constexpr size_t kKindWidth = 24;

bool is_wide(wchar_t c) {
  const uint32_t u = uint32_t(c);
  return (u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0xA4CF) ||
         (u >= 0xAC00 && u <= 0xD7A3) || (u >= 0xF900 && u <= 0xFAFF) ||
         (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFF60) ||
         (u >= 0xFFE0 && u <= 0xFFE6);
}

std::wstring pad_left(const std::wstring& text, size_t width) {
  const size_t w = display_width(text);
  return w >= width ? text : std::wstring(width - w, L' ') + text;
}

std::wstring pad_right(const std::wstring& text, size_t width) {
  const size_t w = display_width(text);
  return w >= width ? text : text + std::wstring(width - w, L' ');
}

size_t digits(uint64_t value) { return std::to_wstring(value).size(); }

std::wstring flag(bool value) { return value ? L"1" : L"0"; }

}  // namespace

size_t display_width(const std::wstring& text) {
  size_t width = 0;
  for (wchar_t c : text) width += is_wide(c) ? 2 : 1;
  return width;
}

void add_to_totals(const ListedEntry& entry, ListingTotals* totals) {
  ++totals->entries;
  totals->stored_bytes += entry.stored_size;
  if (entry.compressed) ++totals->compressed;
  if (entry.changed) ++totals->changed;
}

std::wstring tsv_header(bool examined, bool layered) {
  std::wstring line = std::wstring(msg::kNumberTitle) + L'\t' + msg::kPositionTitle + L'\t' +
                      msg::kStoredTitle + L'\t' + msg::kContentTitle + L'\t' +
                      msg::kCompressedTitle + L'\t' + msg::kChangedTitle;
  if (examined) line += std::wstring(L"\t") + msg::kKindTitle + L'\t' + msg::kTexturesTitle;
  if (layered) line += std::wstring(L"\t") + msg::kModTitle;
  return line + L'\n';
}

std::wstring tsv_row(const ListedEntry& e, bool examined, bool layered) {
  std::wstring line = std::to_wstring(e.n) + L'\t' + std::to_wstring(e.position) + L'\t' +
                      std::to_wstring(e.stored_size) + L'\t' + std::to_wstring(e.content_size) +
                      L'\t' + flag(e.compressed) + L'\t' + flag(e.changed);
  if (examined) line += L'\t' + e.description.kind + L'\t' + e.description.textures;
  if (layered) line += L'\t' + e.layer;
  return line + L'\n';
}

ConsoleLayout console_layout(bool examined, uint32_t last_number, uint64_t archive_length) {
  ConsoleLayout l;
  l.examined = examined;
  l.number = std::max(display_width(msg::kNumberTitle), digits(last_number));
  l.position = std::max(display_width(msg::kPositionTitle), digits(archive_length));
  l.stored = std::max(display_width(msg::kStoredTitle), digits(archive_length));
  l.content = std::max(display_width(msg::kContentTitle), digits(UINT32_MAX));
  l.kind = kKindWidth;
  return l;
}

std::wstring console_header(const ConsoleLayout& l) {
  std::wstring line = pad_left(msg::kNumberTitle, l.number) + kGap +
                      pad_left(msg::kPositionTitle, l.position) + kGap +
                      pad_left(msg::kStoredTitle, l.stored) + kGap +
                      pad_left(msg::kContentTitle, l.content) + kGap + msg::kCompressedTitle +
                      kGap + msg::kChangedTitle;
  if (l.examined) line += kGap + pad_right(msg::kKindTitle, l.kind) + kGap + msg::kTexturesTitle;
  if (l.layered) line += std::wstring(kGap) + msg::kModTitle;
  return line + L'\n';
}

std::wstring console_row(const ConsoleLayout& l, const ListedEntry& e) {
  std::wstring line = pad_left(std::to_wstring(e.n), l.number) + kGap +
                      pad_left(std::to_wstring(e.position), l.position) + kGap +
                      pad_left(std::to_wstring(e.stored_size), l.stored) + kGap +
                      pad_left(std::to_wstring(e.content_size), l.content) + kGap +
                      pad_left(flag(e.compressed), display_width(msg::kCompressedTitle)) + kGap +
                      pad_left(flag(e.changed), display_width(msg::kChangedTitle));
  if (l.examined) {
    line += kGap + pad_right(e.description.kind, l.kind) + kGap + e.description.textures;
  }
  if (l.layered) line += kGap + e.layer;
  // No trailing blanks on a row without textures or layer.
  if (l.examined || l.layered) line.erase(line.find_last_not_of(L' ') + 1);
  return line + L'\n';
}

std::wstring console_summary(const ListingTotals& t) {
  return msg::listing_summary(t.entries, t.stored_bytes, t.compressed, t.changed);
}

}  // namespace linkdata
