// Reading a number the way the C runtime's _wtoi does, which is how the tool
// has always read entry numbers from arguments and file names.
#pragma once

#include <cstdint>
#include <string>

namespace linkdata {

// Skips white space, takes an optional sign and the digits up to the first
// other character; no digits gives 0; out-of-range values clamp to int32 bounds.
int32_t parse_leading_int(const std::wstring& text);

}  // namespace linkdata
