// Helpers shared by the tests: scratch folders, archive images built in
// memory, and running the built tool as its users do.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace linkdata::test {

using Bytes = std::vector<uint8_t>;

// A fresh empty folder under the system temp folder, removed on destruction.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string path;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Runs the current directory inside a scratch folder for the test's duration.
struct InScratchDir {
  InScratchDir();
  ~InScratchDir();
  ScratchDir dir;
  std::string previous;
};

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);
bool file_exists(const std::string& path);
Bytes text_bytes(const std::string& text);

// An entry of an archive image: either a plain content or a payload stored
// compressed (unpacked size = content length).
struct EntrySpec {
  Bytes stored;               // the bytes written into the payload area
  uint32_t unpacked_size = 0; // 0 = plain
  bool absent = false;        // record points at offset 0 with size 0
};

// Builds archive bytes: header, records, then each payload at a 2048-aligned
// position, padded to 2048. offset_unit goes into the header as given.
Bytes build_archive(const std::vector<EntrySpec>& entries, uint32_t offset_unit = 2048);
EntrySpec plain_entry(const Bytes& content);
EntrySpec compressed_entry(const Bytes& content);  // through compress_payload

struct Record {
  uint64_t payload_offset;
  uint32_t stored_size;
  uint32_t unpacked_size;
};
Record record_of(const Bytes& archive, uint32_t n);

// Deterministic filler: random-looking bytes with some repetition.
Bytes pattern_bytes(size_t n, uint32_t seed);

// Runs fn with the process's standard output sent to a file; returns its bytes.
std::string capture_stdout(const std::function<void()>& fn);

struct RunResult {
  int status = -1;
  std::string out;  // stdout bytes
};
// Runs the linkdata binary with the given arguments in `cwd`, with an empty
// environment unless `env` is given, stdin from /dev/null.
RunResult run_tool(const std::string& cwd, const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {});

}  // namespace linkdata::test
