#pragma once

#include <string>
#include <vector>

namespace linkdata {

enum ExitStatus : int { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

// Checks the arguments (program name excluded) and runs one operation.
int run_command_line(const std::vector<std::wstring>& args);

// _wtoi: skip white space, optional sign, digits up to the first other
// character; no digits gives 0; out-of-range values clamp to int32 bounds.
int32_t parse_leading_int(const std::wstring& text);

}  // namespace linkdata
