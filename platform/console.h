// The tool's messages on the console: every text it prints goes through say().
#pragma once

#include <string>

namespace linkdata {

// Writes a message to the console.
void say(const std::wstring& text);

// Says a failure message and gives false, for a step that ends with
// `return fail(message);`.
bool fail(const std::wstring& message);

}  // namespace linkdata
