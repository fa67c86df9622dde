#pragma once

#include <cstdint>
#include <string>

namespace linkdata {

// What a listing says of each entry: what its index record holds, or also
// what the entry holds, decoded as export decodes it.
enum class ListingDetail { index_only, contents };

// Lists entries first..last (clamped as export clamps them) of the archive
// from its header and index, and with ListingDetail::contents says what each
// entry holds. Console or tab-separated form by where standard output goes.
// False when a failure message was printed or an entry could not be read or
// decoded.
bool run_list(uint32_t first, uint32_t last, ListingDetail detail,
              const std::wstring& archive_name);

}  // namespace linkdata
