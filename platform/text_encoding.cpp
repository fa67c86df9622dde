#include "platform/text_encoding.h"

#include <cstdint>

namespace linkdata {
namespace {

void append_code_point(std::string* out, uint32_t cp) {
  if (cp >= 0xDC80 && cp <= 0xDCFF) {  // an escaped raw byte
    out->push_back(char(cp - 0xDC00));
  } else if (cp < 0x80) {
    out->push_back(char(cp));
  } else if (cp < 0x800) {
    out->push_back(char(0xC0 | cp >> 6));
    out->push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(char(0xE0 | cp >> 12));
    out->push_back(char(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(char(0xF0 | cp >> 18));
    out->push_back(char(0x80 | (cp >> 12 & 0x3F)));
    out->push_back(char(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(char(0x80 | (cp & 0x3F)));
  }
}

void append_wide(std::wstring* out, uint32_t cp) {
  if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
    cp -= 0x10000;
    out->push_back(wchar_t(0xD800 + (cp >> 10)));
    out->push_back(wchar_t(0xDC00 + (cp & 0x3FF)));
  } else {
    out->push_back(wchar_t(cp));
  }
}

}  // namespace

std::string to_utf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = uint32_t(text[i]);
    if (sizeof(wchar_t) == 2 && cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size()) {
      uint32_t low = uint32_t(text[i + 1]);
      if (low >= 0xDC00 && low < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (cp > 0x10FFFF) cp = 0xFFFD;
    append_code_point(&out, cp);
  }
  return out;
}

std::wstring from_utf8(const std::string& bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const uint8_t b = uint8_t(bytes[i]);
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    uint32_t cp = len == 1 ? b : len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
    bool valid = len != 0 && i + len <= bytes.size();
    for (size_t k = 1; valid && k < len; ++k) {
      const uint8_t c = uint8_t(bytes[i + k]);
      valid = (c & 0xC0) == 0x80;
      cp = cp << 6 | (c & 0x3F);
    }
    // Reject overlong forms, surrogates and values beyond Unicode.
    static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (valid && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000))) valid = false;
    if (!valid) {
      out.push_back(wchar_t(0xDC00 + b));
      ++i;
      continue;
    }
    append_wide(&out, cp);
    i += len;
  }
  return out;
}

}  // namespace linkdata
