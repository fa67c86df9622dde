// Conversions between the tool's wide strings and bytes.
#pragma once

#include <string>

namespace linkdata {

// UTF-8 of a wide string (UTF-16 or UTF-32, whichever wchar_t holds). Code
// points U+DC80..U+DCFF stand for raw bytes that were not valid UTF-8 when the
// text was decoded (file names in a legacy encoding) and turn back into them.
std::string to_utf8(const std::wstring& text);

// The inverse: invalid bytes become U+DC80 + byte, so names survive a round trip.
std::wstring from_utf8(const std::string& bytes);

}  // namespace linkdata
