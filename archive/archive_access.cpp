#include "archive/archive_access.h"

#include "archive/journal.h"
#include "platform/working_paths.h"

namespace linkdata {

bool prepare_archive_for_change(const std::wstring& archive_name) {
  if (!path_exists(archive_name)) {
    say(L"文件“" + archive_name + L"”不存在！\n");
    return false;
  }
  return recover_archive(archive_name);
}

}  // namespace linkdata
