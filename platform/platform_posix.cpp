// POSIX side of the platform layer.
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <malloc.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/file_change_hook.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"

namespace linkdata::platform {
namespace {

std::string native(const std::wstring& path) { return to_utf8(path); }

int open_native(const std::wstring& path, int flags) {
  int fd;
  do {
    fd = ::open(native(path).c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens a file only when it is a regular one. The open itself never waits:
// a FIFO with no writer would hold an open for reading for ever (and one with
// no reader an open for writing), and deferred interrupts restart it. Once
// the file is known to be regular the handle waits as any other.
// The check alone: the handle stays non-blocking, and `size` gets the
// length the check saw.
int open_checked(const std::wstring& path, int flags, uint64_t* size) {
  const int fd = open_native(path, flags | O_NONBLOCK);
  if (fd < 0) return fd;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  if (size != nullptr) *size = uint64_t(st.st_size);
  return fd;
}

int open_regular(const std::wstring& path, int flags) {
  const int fd = open_checked(path, flags, nullptr);
  if (fd < 0) return fd;
  // The status flags are the ones the file was opened with: set without
  // asking for them first (F_SETFL leaves the access mode and the opening
  // flags alone), a call fewer on every file export compares or writes.
  if (::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

}  // namespace

File::File(File&& other) noexcept
    : path_(std::move(other.path_)), writes_(other.writes_), fd_(other.fd_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    path_ = std::move(other.path_);
    writes_ = other.writes_;
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() { close(); }

File File::open_read(const std::wstring& path) {
  File f(path, false);
  f.fd_ = open_regular(path, O_RDONLY | O_NOFOLLOW);
  return f;
}

File File::open_to_compare(const std::wstring& path, uint64_t* size) {
  File f(path, false);
  f.fd_ = open_checked(path, O_RDONLY | O_NOFOLLOW, size);
  return f;
}

File File::open_input(const std::wstring& path) {
  File f(path, false);
  f.fd_ = open_regular(path, O_RDONLY);
  return f;
}

File File::open_read_write_existing(const std::wstring& path) {
  File f(path, true);
  f.fd_ = open_regular(path, O_RDWR | O_NOFOLLOW);
  return f;
}

File File::open_lockable(const std::wstring& path, Access access) {
  const bool writes = access == Access::read_write;
  File f(path, writes);
  f.fd_ = open_regular(path, writes ? O_RDWR : O_RDONLY);
  return f;
}

File File::create_always(const std::wstring& path) {
  File f(path, true);
  if (file_change_allowed({FileChangeKind::create, path})) {
    f.fd_ = open_native(path, O_WRONLY | O_CREAT | O_TRUNC);
  }
  return f;
}

File File::create_fresh(const std::wstring& path) {
  File f(path, true);
  if (file_change_allowed({FileChangeKind::create, path})) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    f.fd_ = open_native(path, flags);
    // Something has the name: removed, and the create tried once more. What
    // cannot be removed (a folder) fails it.
    if (f.fd_ < 0 && errno == EEXIST && ::unlink(native(path).c_str()) == 0) {
      f.fd_ = open_native(path, flags);
    }
  }
  return f;
}

File File::open_to_replace(const std::wstring& path) {
  File f(path, true);
  if (file_change_allowed({FileChangeKind::replace, path})) {
    f.fd_ = open_regular(path, O_WRONLY | O_CREAT | O_NOFOLLOW);
  }
  return f;
}

bool File::is_open() const { return fd_ >= 0; }

bool File::close() {
  if (fd_ < 0) return true;
  const bool allowed = !writes_ || file_change_allowed({FileChangeKind::close, path_});
  // Retrying close after EINTR could close a descriptor another thread has
  // just been given; the descriptor is gone either way.
  const bool closed = ::close(fd_) == 0 || errno == EINTR;
  fd_ = -1;
  return allowed && closed;
}

bool File::read_at(uint64_t pos, void* buf, size_t n, size_t* got) {
  char* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd_, p + done, n - done, off_t(pos + done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    done += size_t(r);
  }
  *got = done;
  return true;
}

bool File::write_at(uint64_t pos, const void* buf, size_t n) {
  if (!file_change_allowed({FileChangeKind::write, path_, pos, buf, n})) return false;
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::pwrite(fd_, p + done, n - done, off_t(pos + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += size_t(w);
  }
  return true;
}

bool File::size(uint64_t* out) {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return false;
  *out = uint64_t(st.st_size);
  return true;
}

bool File::extend_to(uint64_t length) {
  if (!file_change_allowed({FileChangeKind::resize, path_, length})) return false;
  return ::ftruncate(fd_, off_t(length)) == 0;
}

bool File::flush_to_disk() {
  if (!file_change_allowed({FileChangeKind::flush, path_})) return false;
  return ::fdatasync(fd_) == 0;
}

// Open-file-description locks: owned by this open of the file, not by the
// process, so two handles of one process exclude each other as two processes
// do, and a conversion between shared and exclusive is atomic.
LockOutcome File::lock(LockKind kind) {
  if (kind == LockKind::exclusive && !writes_) return LockOutcome::busy;
  struct flock lock {};
  lock.l_type = kind == LockKind::shared ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file, however long it grows
  for (;;) {
    if (::fcntl(fd_, F_OFD_SETLK, &lock) == 0) return LockOutcome::taken;
    switch (errno) {
      case EINTR:
        continue;
      case EAGAIN:
      case EACCES:
        return LockOutcome::busy;
      // A kernel without open-file-description locks does not know the
      // command; a file system without locks refuses the operation.
      case EINVAL:
      case EOPNOTSUPP:
      case ENOSYS:
        return LockOutcome::no_locks;
      // ENOLCK above all: the lock table is full, or a network file system's
      // lock service did not answer, and another machine may hold a lock.
      default:
        return LockOutcome::failed;
    }
  }
}

bool list_directory(const std::wstring& dir, std::vector<ListedName>* out) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(native(dir).c_str()), ::closedir);
  if (!d) return false;
  while (const dirent* e = ::readdir(d.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    ListedName listed{from_utf8(name), false};
    if (e->d_type == DT_DIR) {
      listed.is_directory = true;
    } else if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      struct stat st;
      const std::string full = native(dir) + "/" + name;
      listed.is_directory = ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    out->push_back(std::move(listed));
  }
  return true;
}

namespace {
NameKind kind_of(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return NameKind::file;
  if (S_ISDIR(st.st_mode)) return NameKind::folder;
  if (S_ISLNK(st.st_mode)) return NameKind::link;
  return NameKind::other;
}
}  // namespace

NameKind name_kind(const std::wstring& path) {
  struct stat st;
  return ::lstat(native(path).c_str(), &st) == 0 ? kind_of(st) : NameKind::none;
}

NameKind target_kind(const std::wstring& path) {
  struct stat st;
  return ::stat(native(path).c_str(), &st) == 0 ? kind_of(st) : NameKind::none;
}

bool name_exists(const std::wstring& path) {
  struct stat st;
  return ::lstat(native(path).c_str(), &st) == 0;
}

void make_directory(const std::wstring& path) { (void)::mkdir(native(path).c_str(), 0777); }

bool remove_file(const std::wstring& path) {
  if (!file_change_allowed({FileChangeKind::remove, path})) return false;
  return ::unlink(native(path).c_str()) == 0 || errno == ENOENT;
}

bool rename_file(const std::wstring& from, const std::wstring& to) {
  FileChange change{FileChangeKind::rename, from};
  change.new_path = &to;
  if (!file_change_allowed(change)) return false;
  // link + unlink, unlike rename, never replaces a file of the new name;
  // file systems without hard links get rename after a look.
  if (::link(native(from).c_str(), native(to).c_str()) == 0) {
    return ::unlink(native(from).c_str()) == 0;
  }
  if (errno == EEXIST || ::access(native(to).c_str(), F_OK) == 0) return false;
  return ::rename(native(from).c_str(), native(to).c_str()) == 0;
}

bool replace_file(const std::wstring& from, const std::wstring& to) {
  FileChange change{FileChangeKind::rename, from};
  change.new_path = &to;
  if (!file_change_allowed(change)) return false;
  return ::rename(native(from).c_str(), native(to).c_str()) == 0;
}

bool exchange_files(const std::wstring& a, const std::wstring& b) {
  FileChange change{FileChangeKind::exchange, a};
  change.new_path = &b;
  if (!file_change_allowed(change)) return false;
  return ::renameat2(AT_FDCWD, native(a).c_str(), AT_FDCWD, native(b).c_str(), RENAME_EXCHANGE) ==
         0;
}

bool flush_folder(const std::wstring& dir) {
  if (!file_change_allowed({FileChangeKind::flush_folder, dir})) return false;
  const int fd = open_native(dir, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  const bool flushed = ::fsync(fd) == 0;
  ::close(fd);
  return flushed;
}

namespace {

// How console text is encoded: the user's locale encoding when it can hold the
// Chinese messages, UTF-8 otherwise (C/POSIX locales, unset LANG).
struct ConsoleEncoder {
  iconv_t cd = iconv_t(-1);  // -1: write UTF-8 as it is

  ConsoleEncoder() {
    locale_t loc = ::newlocale(LC_CTYPE_MASK, "", locale_t(0));
    if (loc == locale_t(0)) return;  // unusable locale name: fall back to UTF-8
    const std::string codeset = ::nl_langinfo_l(CODESET, loc);
    ::freelocale(loc);
    if (codeset == "UTF-8" || codeset == "utf8") return;
    iconv_t probe = ::iconv_open(codeset.c_str(), "UTF-8");
    if (probe == iconv_t(-1)) return;
    std::string out;
    if (convert(probe, "从中导出文件成功！请按任意键继续", &out, false)) {
      cd = probe;
    } else {
      ::iconv_close(probe);
    }
  }
  ~ConsoleEncoder() {
    if (cd != iconv_t(-1)) ::iconv_close(cd);
  }

  // Converts UTF-8 text; characters the target cannot hold become '?' when
  // `lenient`, and fail the conversion otherwise.
  static bool convert(iconv_t c, const std::string& in, std::string* out, bool lenient) {
    ::iconv(c, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    char buf[1024];
    while (src_left > 0) {
      char* dst = buf;
      size_t dst_left = sizeof buf;
      const size_t r = ::iconv(c, &src, &src_left, &dst, &dst_left);
      out->append(buf, size_t(dst - buf));
      if (r != size_t(-1)) continue;
      if (errno == E2BIG) continue;
      if (!lenient) return false;
      // Skip one UTF-8 sequence that the target cannot encode.
      out->push_back('?');
      size_t skip = 1;
      while (skip < src_left && (uint8_t(src[skip]) & 0xC0) == 0x80) ++skip;
      src += skip;
      src_left -= skip;
    }
    return true;
  }

  std::string encode(const std::wstring& text) const {
    std::string utf8 = to_utf8(text);
    if (cd == iconv_t(-1)) return utf8;
    std::string out;
    convert(cd, utf8, &out, true);
    return out;
  }
};

}  // namespace

void console_write(const std::wstring& text) {
  static const ConsoleEncoder encoder;
  const std::string bytes = encoder.encode(text);
  (void)write_all(STDOUT_FILENO, bytes.data(), bytes.size());
}

bool output_is_console() { return ::isatty(STDOUT_FILENO) == 1; }

void output_write_utf8(const std::wstring& text) {
  const std::string bytes = to_utf8(text);
  (void)write_all(STDOUT_FILENO, bytes.data(), bytes.size());
}

void console_pause() {
  if (!::isatty(STDIN_FILENO)) return;  // scripts and pipes never wait
  console_write(msg::kPressAnyKey);
  termios saved;
  const bool have_termios = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (have_termios) {
    termios raw = saved;
    raw.c_lflag &= tcflag_t(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  char c;
  while (::read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
  }
  if (have_termios) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  console_write(L"\n");
}

namespace {
// The handler may run on any of the process's threads, so the flag is an
// atomic (lock-free, and so safe in a handler), not just a sig_atomic_t.
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);
void note_interrupt(int) { g_interrupted.store(1); }
constexpr int kDeferredSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t kDeferredCount = sizeof kDeferredSignals / sizeof kDeferredSignals[0];
struct sigaction g_saved_actions[kDeferredCount];
}  // namespace

void defer_interrupts() {
  g_interrupted = 0;
  struct sigaction action {};
  action.sa_handler = note_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // writes in progress complete instead of failing
  for (size_t i = 0; i < kDeferredCount; ++i) {
    sigaction(kDeferredSignals[i], &action, &g_saved_actions[i]);
  }
}

void restore_interrupts() {
  for (size_t i = 0; i < kDeferredCount; ++i) {
    sigaction(kDeferredSignals[i], &g_saved_actions[i], nullptr);
  }
  g_interrupted = 0;
}

bool interrupt_requested() { return g_interrupted.load() != 0; }

void reuse_freed_memory() {
#ifdef M_MMAP_THRESHOLD
  // Buffers up to this size come from the heap and are reused once freed;
  // the heap is cut back only when this much lies free at its top.
  ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
}

unsigned cpu_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return unsigned(n);
  }
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? unsigned(n) : 1u;
}

}  // namespace linkdata::platform
