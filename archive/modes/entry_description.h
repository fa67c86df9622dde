// What the listing says about an entry's content: its kind and its textures,
// as export sees them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/format/codec.h"

namespace linkdata {

struct EntryDescription {
  std::wstring kind;
  std::wstring textures;  // "<sub>_<t> <format> <width>x<height> <levels>", "; " between
};

// A decoded content: a texture container, a package (with its sub-file
// count) or other data (its first four bytes).
EntryDescription describe_content(const uint8_t* content, size_t size);

// A plain entry whose first bytes show neither a texture container nor a
// package: other data, shown by its first bytes (up to four).
EntryDescription describe_plain(const uint8_t* head, size_t size);

// Why an entry could not be described.
EntryDescription describe_read_failure();
EntryDescription describe_decode_failure(DecodeStatus status);

}  // namespace linkdata
