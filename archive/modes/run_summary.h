// The closing line of export and import on a console: what the run wrote,
// what it skipped and how long it took. Output that goes to a file or a pipe
// gets no such line, so scripts read exactly the lines they always did.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace linkdata {

struct RunTally {
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  // Export: files written, texture files (DDS and PNG alike), textures
  // whose format is not one the tool writes, and the gallery page written.
  uint64_t files_written = 0;
  uint64_t textures_written = 0;  // import: the texture files put into entries
  uint64_t textures_skipped = 0;
  std::wstring gallery_page;
  // Import: entries written back, and how many of them went to the end.
  uint64_t entries_rewritten = 0;
  uint64_t entries_appended = 0;
};

// Print the summary line when standard output is a console.
void report_export_on_console(const RunTally& tally);
void report_import_on_console(const RunTally& tally);

}  // namespace linkdata
