// The closing line of export and import on a console: what the run wrote,
// what it skipped and how long it took. Output that goes to a file or a pipe
// gets no such line, so scripts read exactly the lines they always did.
#pragma once

#include <chrono>
#include <cstdint>

namespace linkdata {

struct RunTally {
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  uint64_t files_written = 0;
  uint64_t textures_written = 0;  // texture files: DDS and PNG alike
  uint64_t textures_skipped = 0;  // their format is not one the tool writes
};

// Prints the summary line when standard output is a console.
void report_run_on_console(const RunTally& tally);

}  // namespace linkdata
