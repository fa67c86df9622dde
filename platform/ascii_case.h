// Upper-case folding of ASCII letters only: a to z change, as the C
// library's toupper does in the classic locale, whatever the user's locale.
#pragma once

#include <string>

namespace linkdata {

inline wchar_t ascii_upper(wchar_t c) {
  return c >= L'a' && c <= L'z' ? wchar_t(c - L'a' + L'A') : c;
}

inline std::wstring ascii_upper(std::wstring text) {
  for (wchar_t& c : text) c = ascii_upper(c);
  return text;
}

}  // namespace linkdata
