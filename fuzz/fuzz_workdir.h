// A private working folder for the fuzz targets that run whole operations:
// the tool works relative to the current directory, so each target moves
// into a fresh folder (in memory where /dev/shm exists) and silences the
// console, which would otherwise print a line per entry.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace fuzz_support {

inline std::string& workdir() {
  static std::string path;
  return path;
}

inline void remove_workdir() {
  std::error_code ec;
  std::filesystem::current_path("/", ec);
  std::filesystem::remove_all(workdir(), ec);
}

// Folders of earlier runs that ended in a crash (which skips atexit) are
// named after their process; those whose process is gone are removed.
inline void remove_stale_workdirs(const std::string& base) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(base, ec)) {
    const std::string name = entry.path().filename().string();
    const std::string prefix = "linkdata-fuzz-";
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (pid > 0 && kill(pid_t(pid), 0) != 0 && errno == ESRCH) {
      std::filesystem::remove_all(entry.path(), ec);
    }
  }
}

inline void enter_workdir() {
  const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  remove_stale_workdirs(base);
  const std::string path = base + "/linkdata-fuzz-" + std::to_string(getpid());
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (mkdir(path.c_str(), 0700) != 0 || chdir(path.c_str()) != 0) std::abort();
  workdir() = path;
  std::atexit(remove_workdir);
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
}

inline void write_bytes(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  if (!out) std::abort();
}

inline std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void clear_tree(const char* name) {
  std::error_code ec;
  std::filesystem::remove_all(name, ec);
}

}  // namespace fuzz_support
