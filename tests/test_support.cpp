#include "test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "archive/codec.h"
#include "archive/little_endian.h"

namespace fs = std::filesystem;

namespace linkdata::test {

ScratchDir::ScratchDir() {
  std::string templ = (fs::temp_directory_path() / "linkdata-test-XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path = templ;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Tests may leave folders without permissions behind; give them back first.
  for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path, ec);
}

InScratchDir::InScratchDir() : previous(fs::current_path().string()) {
  fs::current_path(dir.path);
}

InScratchDir::~InScratchDir() { fs::current_path(previous); }

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes build_archive(const std::vector<EntrySpec>& entries, uint32_t offset_unit) {
  const uint64_t index_end = 16 + 16 * uint64_t(entries.size());
  Bytes out((index_end + 2047) / 2048 * 2048, 0);
  store_u32le(out.data(), 0x11E54);
  store_u32le(out.data() + 4, uint32_t(entries.size()));
  store_u32le(out.data() + 8, offset_unit);
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t* rec = out.data() + 16 + 16 * i;
    if (entries[i].absent) continue;
    store_u64le(rec, out.size() / 2048);
    store_u32le(rec + 8, uint32_t(entries[i].stored.size()));
    store_u32le(rec + 12, entries[i].unpacked_size);
    out.insert(out.end(), entries[i].stored.begin(), entries[i].stored.end());
    out.resize((out.size() + 2047) / 2048 * 2048, 0);
  }
  return out;
}

EntrySpec plain_entry(const Bytes& content) { return EntrySpec{content, 0, false}; }

EntrySpec compressed_entry(const Bytes& content) {
  auto payload = compress_payload(content.data(), uint32_t(content.size()));
  if (!payload) throw std::runtime_error("compress_payload failed");
  return EntrySpec{*payload, uint32_t(content.size()), false};
}

Record record_of(const Bytes& archive, uint32_t n) {
  const uint8_t* p = archive.data() + 16 + 16 * size_t(n);
  return Record{load_u64le(p), load_u32le(p + 8), load_u32le(p + 12)};
}

Bytes pattern_bytes(size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    // Every other 64-byte stretch repeats a short motif, so data compresses.
    out[i] = (i / 64) % 2 ? uint8_t(i % 7 + seed) : uint8_t(x);
  }
  return out;
}

std::string capture_stdout(const std::function<void()>& fn) {
  ScratchDir dir;
  const std::string path = dir / "stdout";
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int saved = dup(STDOUT_FILENO);
  dup2(file, STDOUT_FILENO);
  close(file);
  fn();
  dup2(saved, STDOUT_FILENO);
  close(saved);
  const Bytes bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

RunResult run_tool(const std::string& cwd, const std::vector<std::string>& args,
                   const std::vector<std::string>& env) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> argv{const_cast<char*>(LINKDATA_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execve(LINKDATA_BINARY, argv.data(), envp.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  RunResult result;
  char buf[4096];
  ssize_t n;
  while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0) result.out.append(buf, size_t(n));
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace linkdata::test
