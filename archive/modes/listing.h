#pragma once

#include <cstdint>
#include <string>

namespace linkdata {

// Lists entries first..last (clamped as export clamps them) of the archive
// from its header and index; with `examine`, also decodes each entry as
// export does and says what it holds. Console or tab-separated form by where
// standard output goes. False when a failure message was printed or an
// entry could not be read or decoded.
bool run_list(uint32_t first, uint32_t last, bool examine, const std::wstring& archive_name);

}  // namespace linkdata
