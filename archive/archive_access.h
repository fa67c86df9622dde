// Where every run that writes an archive begins, import and restore alike.
#pragma once

#include <string>

namespace linkdata {

// The archive must exist, and a commit that an earlier run left unfinished is
// undone before anything of it is read. False after a message.
bool prepare_archive_for_change(const std::wstring& archive_name);

}  // namespace linkdata
