#include "platform/leading_int.h"

#include <climits>

namespace linkdata {
namespace {

bool is_space(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

}  // namespace

int32_t parse_leading_int(const std::wstring& text) {
  size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > int64_t(INT32_MAX) + 1) value = int64_t(INT32_MAX) + 1;  // saturate
  }
  if (negative) return value > INT32_MAX ? INT32_MIN : int32_t(-value);
  return value > INT32_MAX ? INT32_MAX : int32_t(value);
}

}  // namespace linkdata
