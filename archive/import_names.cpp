#include "archive/import_names.h"

#include <algorithm>
#include <sstream>

#include "platform/leading_int.h"

namespace linkdata {
namespace {

wchar_t fold(wchar_t c) { return c >= L'a' && c <= L'z' ? wchar_t(c - L'a' + L'A') : c; }

bool less_ignoring_case(const std::wstring& a, const std::wstring& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (fold(a[i]) != fold(b[i])) return fold(a[i]) < fold(b[i]);
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;  // names that differ only in case: a fixed order all the same
}

bool ends_with_data(const std::wstring& name) {
  static const std::wstring kExtension = L".DATA";
  if (name.size() < kExtension.size()) return false;
  for (size_t i = 0; i < kExtension.size(); ++i) {
    if (fold(name[name.size() - kExtension.size() + i]) != kExtension[i]) return false;
  }
  return true;
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

}  // namespace linkdata
