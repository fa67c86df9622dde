#pragma once

#include <string>

namespace linkdata {

// Writes the loose files of the import directory back into the archive.
// Returns false when a failure message was printed.
bool run_import(const std::wstring& prefix, const std::wstring& letter);

}  // namespace linkdata
