// The archives' name prefix, paths joined with the platform's separator,
// and the existence test.
#pragma once

#include <string>

namespace linkdata {

extern const wchar_t* const kArchivePrefix;  // "LINKDATA_EU_OS_EUNA."

// Joins path pieces with the platform separator.
std::wstring join_path(const std::wstring& a, const std::wstring& b);
// The folder a file is in, where its name is created and removed.
std::wstring folder_of(const std::wstring& path);

bool path_exists(const std::wstring& path);
void ensure_directory(const std::wstring& path);

}  // namespace linkdata
