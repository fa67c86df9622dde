#pragma once

#include <string>
#include <vector>

namespace linkdata {

enum ExitStatus : int { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

// Checks the arguments (program name excluded) and runs one operation.
int run_command_line(const std::vector<std::wstring>& args);

}  // namespace linkdata
