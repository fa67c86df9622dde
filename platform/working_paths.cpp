#include "platform/working_paths.h"

#include "platform/platform.h"

namespace linkdata {

const wchar_t* const kArchivePrefix = L"LINKDATA_EU_OS_EUNA.";

std::wstring join_path(const std::wstring& a, const std::wstring& b) {
  return a + platform::path_separator + b;
}

std::wstring folder_of(const std::wstring& path) {
  const size_t cut = path.find_last_of(platform::path_separator);
  return cut == std::wstring::npos ? L"." : path.substr(0, cut);
}

bool path_exists(const std::wstring& path) { return platform::name_exists(path); }

void ensure_directory(const std::wstring& path) {
  if (!path_exists(path)) platform::make_directory(path);
}

}  // namespace linkdata
