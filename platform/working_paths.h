// Names of the working tree beside the archives, the existence test, and the
// two paths shared between the front end, export, import and texture output.
#pragma once

#include <string>

namespace linkdata {

extern const wchar_t* const kArchivePrefix;  // "LINKDATA_EU_OS_EUNA."

// Set by export on every run; read by texture extraction.
extern std::wstring g_texture_directory_path;
// Set by the front end before import; read by import.
extern std::wstring g_import_directory_path;

// Joins path pieces with the platform separator.
std::wstring join_path(const std::wstring& a, const std::wstring& b);
// The folder a file is in, where its name is created and removed.
std::wstring folder_of(const std::wstring& path);

bool path_exists(const std::wstring& path);
void ensure_directory(const std::wstring& path);

}  // namespace linkdata
