// The listing's two output forms: aligned columns under a Chinese header with
// a summary for a console, and tab-separated lines for files and pipes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/modes/entry_description.h"

namespace linkdata {

struct ListedEntry {
  uint32_t n = 0;
  uint64_t position = 0;  // of the payload, in bytes
  uint32_t stored_size = 0;
  uint32_t content_size = 0;  // the unpacked size when compressed, else the stored size
  bool compressed = false;
  bool changed = false;
  EntryDescription description;  // with examination only
  std::wstring layer;            // with mods installed: the layer on top of a changed entry
};

struct ListingTotals {
  uint64_t entries = 0;
  uint64_t stored_bytes = 0;
  uint64_t compressed = 0;
  uint64_t changed = 0;
};

void add_to_totals(const ListedEntry& entry, ListingTotals* totals);

// `layered`: the archive has mods installed, and a last column names the
// layer on top of each changed entry.
std::wstring tsv_header(bool examined, bool layered = false);
std::wstring tsv_row(const ListedEntry& entry, bool examined, bool layered = false);

// Column widths, fixed before the first row so that rows can be written as
// they come: numbers up to the range's last entry number and positions and
// stored sizes up to the archive's length fit (larger ones push their row).
struct ConsoleLayout {
  bool examined = false;
  bool layered = false;
  size_t number = 0;
  size_t position = 0;
  size_t stored = 0;
  size_t content = 0;
  size_t kind = 0;
};

ConsoleLayout console_layout(bool examined, uint32_t last_number, uint64_t archive_length);
std::wstring console_header(const ConsoleLayout& layout);
std::wstring console_row(const ConsoleLayout& layout, const ListedEntry& entry);
std::wstring console_summary(const ListingTotals& totals);

// Columns a text takes on a console: two for each wide (CJK) character.
size_t display_width(const std::wstring& text);

}  // namespace linkdata
