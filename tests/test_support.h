// Helpers shared by the tests: scratch folders, archive images built in
// memory, and running the built tool as its users do.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/byte_buffer.h"
#include "tools/archive_builder.h"

// AddressSanitizer and ThreadSanitizer reserve terabytes of address space for
// their shadow memory, so tests that limit it (RLIMIT_AS) cannot run there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LINKDATA_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LINKDATA_UNDER_SANITIZER 1
#endif
#endif

namespace linkdata {

// The payload codec one call at a time, as the tests use it: no value on
// any failure.
std::optional<std::vector<uint8_t>> compress_payload(const uint8_t* source, uint32_t size);
std::optional<ByteBuffer> decompress_payload(const uint8_t* payload, uint32_t stored_size);

// An export with DDS files when with_textures is set, as most tests run it.
bool run_export(int32_t first, int32_t last, bool with_textures, const std::wstring& archive_name,
                const std::wstring& letter);

}  // namespace linkdata

namespace linkdata::test {

using Bytes = std::vector<uint8_t>;

// The archive the tests work on (letter A) and the files kept beside it.
inline const std::string kArchive = "LINKDATA_EU_OS_EUNA.A";
inline const std::string kJournal = "LINKDATA_EU_OS_EUNA.A-journal";
inline const std::string kOriginals = "LINKDATA_EU_OS_EUNA.A-original";

// How the tool writes paths in its messages, and how it looks names up.
#ifdef _WIN32
constexpr char kSeparator = '\\';
constexpr bool kLastComponentIsAPattern = true;  // the find-first directory search
#else
constexpr char kSeparator = '/';
constexpr bool kLastComponentIsAPattern = false;
#endif

// A path written with '/' as the tool prints it on this platform.
std::string shown(std::string path);

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

// Paths here are UTF-8 on every platform.
Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);
bool file_exists(const std::string& path);
Bytes text_bytes(const std::string& text);
// One directory level; false when it could not be made.
bool make_dir(const std::string& path);
// Takes away write permission (the read-only attribute on Windows).
void make_read_only(const std::string& path);
// Whether a file without write permission really refuses this process.
bool write_permission_enforced();

// A name that exists in its directory but cannot be opened, for as long as
// this object lives: a symlink to nowhere on POSIX; on Windows, where making
// symlinks needs a privilege, a file that this process holds open without
// sharing.
class UnopenableName {
 public:
  explicit UnopenableName(const std::string& path);
  ~UnopenableName();
  UnopenableName(const UnopenableName&) = delete;
  UnopenableName& operator=(const UnopenableName&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
  void* handle_ = nullptr;
};

// Archive images and packages come from the builder that the fuzz seeds and
// the sample tool share (tools/archive_builder.h).
using archive_builder::archive_image;
using archive_builder::package;
using archive_builder::StoredEntry;
StoredEntry plain_entry(const Bytes& content);
StoredEntry compressed_entry(const Bytes& content);  // through compress_payload

struct Record {
  uint64_t payload_offset;
  uint32_t stored_size;
  uint32_t unpacked_size;
};
Record record_of(const Bytes& archive, uint32_t n);

// Deterministic filler: random-looking bytes with some repetition.
Bytes pattern_bytes(size_t n, uint32_t seed);
// Text of a dozen words in random order, which libdeflate's faster levels pack
// less tightly than zlib level 9 does.
Bytes word_salad_bytes(size_t n, uint32_t seed);

// Runs fn with the process's standard output sent to a file; returns its bytes.
std::string capture_stdout(const std::function<void()>& fn);

struct RunResult {
  int status = -1;
  std::string out;  // stdout bytes
};
// Runs the linkdata binary with the given arguments in `cwd`, with an empty
// environment unless `env` is given, stdin from the null device (so never a
// console or terminal).
RunResult run_tool(const std::string& cwd, const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {});

// The tool started without waiting for it, on every system: tool_running
// asks whether it still runs, kill_tool ends it as a crash would (SIGKILL,
// TerminateProcess), finish_tool reads its output to the end and waits.
// With one_cpu it may run on a single CPU only, so that a large run lasts.
struct StartedTool {
#ifdef _WIN32
  void* process = nullptr;
  void* out = nullptr;
#else
  int pid = -1;
  int out_fd = -1;
#endif
};
StartedTool start_tool_async(const std::string& cwd, const std::vector<std::string>& args,
                             bool one_cpu = false);
bool tool_running(const StartedTool& tool);
void kill_tool(const StartedTool& tool);
RunResult finish_tool(StartedTool& tool);

#ifndef _WIN32
// The same in two steps, for tests that signal the tool while it runs:
// `in_child` runs in the child just before exec (limits, privileges, signal
// dispositions). start_tool gives the child's pid and the read end of its
// stdout; finish_tool reads that to the end and waits. A status of 128 + N
// means the tool was ended by signal N. `program` is the built tool unless
// given (a copy of it, for instance).
int start_tool(const std::string& cwd, const std::vector<std::string>& args,
               const std::vector<std::string>& env, const std::function<void()>& in_child,
               int* out_fd, const std::string& program = LINKDATA_BINARY);
RunResult finish_tool(int pid, int out_fd);
// Runs the tool on a pseudo-terminal, as a user at a console does; gives
// what the terminal showed, without the carriage returns it adds.
RunResult run_on_terminal(const std::string& cwd, const std::vector<std::string>& args);
// Keeps the calling process on the lowest CPU it may use (for `in_child`),
// so that a large run lasts.
void keep_to_one_cpu();
// Runs `body` in a forked child whose address space may grow by `room` bytes
// past what it has mapped at the fork, so that a larger allocation fails;
// gives body's result (the child's exit status, 0 to 255), or -1 when the
// child did not exit by itself or could not be limited.
int run_with_room(size_t room, const std::function<int()>& body);
// Waits until the tool has taken over SIGINT (see defer_interrupts), so that
// Ctrl+C is only noted and no longer ends it at once; false when it ended.
bool wait_for_deferred_interrupts(int pid);
#endif

}  // namespace linkdata::test
