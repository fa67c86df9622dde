#include "test_support.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <malloc.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "archive/format/codec.h"
#include "archive/modes/export.h"
#include "platform/little_endian.h"
#include "platform/text_encoding.h"

namespace fs = std::filesystem;

namespace linkdata {

std::optional<std::vector<uint8_t>> compress_payload(const uint8_t* source, uint32_t size) {
  EncodeResult result = compress_payload_within(source, size, UINT64_MAX);
  if (result.status != EncodeStatus::ok) return std::nullopt;
  return std::move(result.payload);
}

std::optional<ByteBuffer> decompress_payload(const uint8_t* payload, uint32_t stored_size) {
  DecodeResult result = decode_payload(payload, stored_size, stored_size);
  if (result.status != DecodeStatus::ok) return std::nullopt;
  return std::move(result.content);
}

bool run_export(int32_t first, int32_t last, bool with_textures, const std::wstring& archive_name,
                const std::wstring& letter) {
  return run_export(first, last, TextureOutput{with_textures, false}, archive_name, letter);
}

}  // namespace linkdata

namespace linkdata::test {

std::string shown(std::string path) {
  for (char& c : path) {
    if (c == '/') c = kSeparator;
  }
  return path;
}

ScratchDir::ScratchDir() {
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
    const fs::path candidate =
        fs::temp_directory_path() / ("linkdata-test-" + std::to_string(random()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) path = candidate.u8string();
  }
  if (path.empty()) throw std::runtime_error("cannot make a scratch folder");
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Tests may leave folders without permissions behind; give them back first.
  const fs::path root = fs::u8path(path);
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(root, ec);
}

InScratchDir::InScratchDir() : previous(fs::current_path().u8string()) {
  fs::current_path(fs::u8path(dir.path));
}

InScratchDir::~InScratchDir() { fs::current_path(fs::u8path(previous)); }

Bytes read_file(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(fs::u8path(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(fs::u8path(path), ec));
}

Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

bool make_dir(const std::string& path) {
  std::error_code ec;
  return fs::create_directory(fs::u8path(path), ec);
}

void make_read_only(const std::string& path) {
  fs::permissions(fs::u8path(path),
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

bool write_permission_enforced() {
  // Tried rather than predicted: root on Linux, and Wine run by root, open
  // read-only files for writing all the same.
  ScratchDir dir;
  const std::string probe = dir / "probe";
  write_file(probe, {});
  make_read_only(probe);
  std::ofstream out(fs::u8path(probe), std::ios::binary | std::ios::app);
  return !out.is_open();
}

StoredEntry plain_entry(const Bytes& content) { return StoredEntry{content, 0, false}; }

StoredEntry compressed_entry(const Bytes& content) {
  auto payload = compress_payload(content.data(), uint32_t(content.size()));
  if (!payload) throw std::runtime_error("compress_payload failed");
  return StoredEntry{*payload, uint32_t(content.size()), false};
}

Record record_of(const Bytes& archive, uint32_t n) {
  const uint8_t* p = archive.data() + 16 + 16 * size_t(n);
  return Record{load_u64le(p), load_u32le(p + 8), load_u32le(p + 12)};
}

Bytes word_salad_bytes(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"alpha ", "beta ",  "gamma ", "delta ", "epsilon ", "zeta ",
                                       "eta ",   "theta ", "iota ",  "kappa ", "lambda ",  "mu "};
  Bytes out;
  out.reserve(n);
  uint32_t x = seed * 2654435761u + 1;
  while (out.size() < n) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    for (const char* c = kWords[x % 12]; *c != 0 && out.size() < n; ++c) out.push_back(uint8_t(*c));
  }
  return out;
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

#ifdef _WIN32

namespace {

std::wstring wide_path(const std::string& path) { return fs::u8path(path).wstring(); }

// The tool as this process can start it. A cross build run under Wine knows
// the tool by its Unix path; Wine's own kernel32 translates that.
std::wstring tool_path() {
  const std::string built = LINKDATA_BINARY;
  using ToDos = wchar_t*(__cdecl*)(const char*);
  const auto to_dos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (!built.empty() && built[0] == '/' && to_dos != nullptr) {
    if (wchar_t* dos = to_dos(built.c_str())) {
      std::wstring out = dos;
      ::HeapFree(::GetProcessHeap(), 0, dos);
      return out;
    }
  }
  return wide_path(built);
}

// One argument quoted so that the C runtime's parser gives it back unchanged.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

constexpr int kStartAttempts = 5;

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  Handle() = default;
  explicit Handle(HANDLE handle) : h(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  void reset() {
    if (h != INVALID_HANDLE_VALUE && h != nullptr) ::CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
};

}  // namespace

UnopenableName::UnopenableName(const std::string& path) {
  if (!file_exists(path)) write_file(path, {});
  handle_ = ::CreateFileW(wide_path(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  ok_ = handle_ != INVALID_HANDLE_VALUE;
}

UnopenableName::~UnopenableName() {
  if (ok_) ::CloseHandle(handle_);
}

std::string capture_stdout(const std::function<void()>& fn) {
  ScratchDir dir;
  const std::string path = dir / "stdout";
  {
    Handle file(::CreateFileW(wide_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path);
    std::fflush(stdout);
    const HANDLE saved = ::GetStdHandle(STD_OUTPUT_HANDLE);
    ::SetStdHandle(STD_OUTPUT_HANDLE, file.h);
    fn();
    ::SetStdHandle(STD_OUTPUT_HANDLE, saved);
  }
  const Bytes bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

namespace {

// Starts the tool with its standard output on a pipe. The pipe holds more
// than a run prints, so a tool that nobody reads from meanwhile never waits.
StartedTool start_process(const std::string& cwd, const std::vector<std::string>& args,
                          const std::vector<std::string>& env, bool one_cpu) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inherit, 1 << 20)) {
    throw std::runtime_error("pipe failed");
  }
  Handle reader(read_end), writer(write_end);
  ::SetHandleInformation(reader.h, HANDLE_FLAG_INHERIT, 0);
  Handle null_device(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                   nullptr));

  const std::wstring program = tool_path();
  std::wstring command_line = quoted(program);
  for (const std::string& a : args) command_line += L" " + quoted(from_utf8(a));
  // An environment block is a run of NUL-terminated strings ended by an empty one.
  std::wstring environment;
  for (const std::string& e : env) environment += from_utf8(e) + L'\0';
  environment += L'\0';
  if (env.empty()) environment += L'\0';

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_device.h;
  startup.hStdOutput = writer.h;
  startup.hStdError = null_device.h;
  PROCESS_INFORMATION process{};
  const std::wstring dir = wide_path(cwd);
  const DWORD flags =
      CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | (one_cpu ? CREATE_SUSPENDED : 0);
  // Under Wine on a loaded machine a start has failed now and then, from
  // nothing that this call passes. A start that fails has run none of the
  // tool's code, so trying again cannot run the tool twice; a start that
  // fails every time still fails, with the code of each try.
  std::string errors;
  for (int attempt = 0;; ++attempt) {
    if (::CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                         environment.data(), dir.c_str(), &startup, &process)) {
      break;
    }
    errors += " " + std::to_string(::GetLastError());
    if (attempt + 1 == kStartAttempts) {
      throw std::runtime_error("cannot start the tool (GetLastError of each try:" + errors + ")");
    }
    ::Sleep(200);
  }
  if (one_cpu) {
    DWORD_PTR mine = 0, system = 0;
    if (::GetProcessAffinityMask(::GetCurrentProcess(), &mine, &system) && mine != 0) {
      ::SetProcessAffinityMask(process.hProcess, mine & (~mine + 1));
    }
    ::ResumeThread(process.hThread);
  }
  ::CloseHandle(process.hThread);
  StartedTool started;
  started.process = process.hProcess;
  started.out = reader.h;
  reader.h = INVALID_HANDLE_VALUE;  // now the started tool's
  return started;
}

}  // namespace

StartedTool start_tool_async(const std::string& cwd, const std::vector<std::string>& args,
                             bool one_cpu) {
  return start_process(cwd, args, {}, one_cpu);
}

bool tool_running(const StartedTool& tool) {
  return ::WaitForSingleObject(static_cast<HANDLE>(tool.process), 0) == WAIT_TIMEOUT;
}

void kill_tool(const StartedTool& tool) {
  ::TerminateProcess(static_cast<HANDLE>(tool.process), 137);
}

RunResult finish_tool(StartedTool& tool) {
  Handle process(static_cast<HANDLE>(tool.process)), reader(static_cast<HANDLE>(tool.out));
  tool = StartedTool();
  RunResult result;
  char buf[4096];
  DWORD n = 0;
  while (::ReadFile(reader.h, buf, sizeof buf, &n, nullptr) && n > 0) result.out.append(buf, n);
  ::WaitForSingleObject(process.h, INFINITE);
  DWORD status = 0;
  ::GetExitCodeProcess(process.h, &status);
  result.status = int(status);
  return result;
}

RunResult run_tool(const std::string& cwd, const std::vector<std::string>& args,
                   const std::vector<std::string>& env) {
  StartedTool started = start_process(cwd, args, env, false);
  return finish_tool(started);
}

#else

UnopenableName::UnopenableName(const std::string& path) {
  std::error_code ec;
  fs::create_symlink("missing-target", fs::u8path(path), ec);
  ok_ = !ec;
}

UnopenableName::~UnopenableName() = default;

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

int start_tool(const std::string& cwd, const std::vector<std::string>& args,
               const std::vector<std::string>& env, const std::function<void()>& in_child,
               int* out_fd, const std::string& program) {
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
    if (in_child) in_child();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  *out_fd = pipe_fds[0];
  return pid;
}

RunResult finish_tool(int pid, int out_fd) {
  RunResult result;
  char buf[4096];
  ssize_t n;
  while ((n = read(out_fd, buf, sizeof buf)) > 0) result.out.append(buf, size_t(n));
  close(out_fd);
  int status = 0;
  waitpid(pid_t(pid), &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

int run_with_room(size_t room, const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    // Free memory at the top of the heap, which the test process kept from
    // earlier tests, would otherwise serve an allocation beyond the room.
    malloc_trim(0);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + room;
    const rlimit l{limit, limit};
    if (pages == 0 || setrlimit(RLIMIT_AS, &l) != 0) _exit(255);
    _exit(body());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

// Polls until the event happened or the process is gone, and says which: no
// bound of time, so load can only make it slower, never wrong.
bool wait_for_deferred_interrupts(int pid) {
  for (;;) {
    // SigCgt: the signals the process catches, bit N - 1 for signal N.
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    bool running = false;
    while (std::getline(status, line)) {
      if (line.rfind("State:", 0) == 0) running = line.find('Z') == std::string::npos;
      if (line.rfind("SigCgt:", 0) == 0) {
        const unsigned long long caught = std::stoull(line.substr(7), nullptr, 16);
        if (caught & (1ull << (SIGINT - 1))) return true;
      }
    }
    if (!running) return false;
    usleep(1000);
  }
}

// Runs the tool on a pseudo-terminal, as a user at a console does; gives
// what the terminal showed, without the carriage returns it adds.
RunResult run_on_terminal(const std::string& cwd, const std::vector<std::string>& args) {
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> argv{const_cast<char*>(LINKDATA_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    char* envp[] = {nullptr};
    execve(LINKDATA_BINARY, argv.data(), envp);
    _exit(127);
  }
  // Once the tool has ended, reading the master side fails with EIO, which
  // ends the reading as the end of a pipe does.
  RunResult result = finish_tool(pid, master);
  result.out.erase(std::remove(result.out.begin(), result.out.end(), '\r'), result.out.end());
  return result;
}

RunResult run_tool(const std::string& cwd, const std::vector<std::string>& args,
                   const std::vector<std::string>& env) {
  int out_fd = -1;
  const int pid = start_tool(cwd, args, env, nullptr, &out_fd);
  return finish_tool(pid, out_fd);
}

StartedTool start_tool_async(const std::string& cwd, const std::vector<std::string>& args,
                             bool one_cpu) {
  StartedTool started;
  started.pid = start_tool(cwd, args, {}, one_cpu ? keep_to_one_cpu : std::function<void()>(),
                           &started.out_fd);
  return started;
}

void keep_to_one_cpu() {
  cpu_set_t mine;
  if (sched_getaffinity(0, sizeof mine, &mine) != 0) return;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &mine)) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    sched_setaffinity(0, sizeof one, &one);
    return;
  }
}

bool tool_running(const StartedTool& tool) {
  siginfo_t info{};
  // WNOWAIT: the exit status stays for finish_tool.
  return waitid(P_PID, id_t(tool.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

void kill_tool(const StartedTool& tool) { kill(pid_t(tool.pid), SIGKILL); }

RunResult finish_tool(StartedTool& tool) {
  const RunResult result = finish_tool(tool.pid, tool.out_fd);
  tool = StartedTool();
  return result;
}

#endif

}  // namespace linkdata::test
