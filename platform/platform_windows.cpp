// Windows side of the platform layer: wide-character file names go straight to
// the W calls, so any name the file system holds can be used.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <conio.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <utility>

#include "platform/file_change_hook.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"

namespace linkdata::platform {
namespace {

// ReadFile and WriteFile take 32-bit counts; larger transfers go in pieces.
constexpr size_t kMaxTransfer = size_t(1) << 30;

HANDLE as_handle(void* h) { return static_cast<HANDLE>(h); }

void* open_native(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags) {
  return ::CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// Reparse points that stand for another name: symbolic links, junctions.
// Others (cloud placeholders, deduplicated files) are the file itself.
bool is_name_surrogate(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (tag & 0x20000000u) != 0;
}

// Keeps a handle only when it is a file on a disk: not a pipe, a device or a
// folder and, where links are not followed (the handle was opened with
// FILE_FLAG_OPEN_REPARSE_POINT, so it is the link itself), not a link.
void* keep_regular(void* opened) {
  const HANDLE h = static_cast<HANDLE>(opened);
  if (h == INVALID_HANDLE_VALUE) return h;
  FILE_ATTRIBUTE_TAG_INFO info{};
  const bool regular =
      ::GetFileType(h) == FILE_TYPE_DISK &&
      ::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info) &&
      (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
      !is_name_surrogate(info.FileAttributes, info.ReparseTag);
  if (regular) return h;
  ::CloseHandle(h);
  ::SetLastError(ERROR_INVALID_PARAMETER);
  return INVALID_HANDLE_VALUE;
}

// An OVERLAPPED record on a synchronous handle gives a positioned transfer:
// no shared file pointer to move, so threads may read one handle at once.
OVERLAPPED at_position(uint64_t pos) {
  OVERLAPPED o{};
  o.Offset = DWORD(pos & 0xFFFFFFFFu);
  o.OffsetHigh = DWORD(pos >> 32);
  return o;
}

bool write_all(HANDLE h, const char* p, size_t n) {
  while (n > 0) {
    const DWORD chunk = DWORD(std::min(n, kMaxTransfer));
    DWORD written = 0;
    if (!::WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    n -= written;
  }
  return true;
}

// Byte-range locks on Windows are mandatory: they block reads and writes of
// their range through other handles. These two bytes lie far past any data
// an archive can hold. The lock byte is the lock itself; the gate byte is
// held exclusively, for a moment, by every handle that changes its lock on
// the lock byte, because Windows cannot convert a lock: a handle that holds
// the gate can drop its shared lock to try for exclusive and, if that fails,
// take its shared lock back before anyone else could have changed anything.
constexpr uint64_t kGateByte = uint64_t(1) << 62;
constexpr uint64_t kLockByte = kGateByte + 1;
// The gate is held only across a few calls; this many tries ride out one
// that another handle holds.
constexpr int kGateTries = 20;

// A lock held by another handle, a file system that keeps no locks (a
// driver or network redirector that has no byte-range locks refuses the
// call as such), or anything else.
LockOutcome lock_byte(HANDLE h, uint64_t at, bool exclusive) {
  OVERLAPPED o = at_position(at);
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (::LockFileEx(h, flags, 0, 1, 0, &o)) return LockOutcome::taken;
  switch (::GetLastError()) {
    case ERROR_LOCK_VIOLATION:
    case ERROR_IO_PENDING:
      return LockOutcome::busy;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return LockOutcome::no_locks;
    default:
      return LockOutcome::failed;
  }
}

void unlock_byte(HANDLE h, uint64_t at) {
  OVERLAPPED o = at_position(at);
  (void)::UnlockFileEx(h, 0, 1, 0, &o);
}

}  // namespace

File::File(File&& other) noexcept
    : path_(std::move(other.path_)),
      writes_(other.writes_),
      handle_(other.handle_),
      lock_held_(other.lock_held_) {
  other.handle_ = INVALID_HANDLE_VALUE;
  other.lock_held_ = 0;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    path_ = std::move(other.path_);
    writes_ = other.writes_;
    handle_ = other.handle_;
    lock_held_ = other.lock_held_;
    other.handle_ = INVALID_HANDLE_VALUE;
    other.lock_held_ = 0;
  }
  return *this;
}

File::~File() { close(); }

File File::open_read(const std::wstring& path) {
  File f(path, false);
  f.handle_ = keep_regular(
      open_native(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS | FILE_FLAG_OPEN_REPARSE_POINT));
  return f;
}

File File::open_to_compare(const std::wstring& path, uint64_t* size) {
  File f = open_read(path);
  if (f.is_open() && !f.size(size)) f = File();
  return f;
}

File File::open_input(const std::wstring& path) {
  File f(path, false);
  f.handle_ = keep_regular(open_native(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS));
  return f;
}

File File::open_read_write_existing(const std::wstring& path) {
  File f(path, true);
  f.handle_ =
      keep_regular(open_native(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT));
  return f;
}

File File::open_lockable(const std::wstring& path, Access access) {
  const bool writes = access == Access::read_write;
  File f(path, writes);
  f.handle_ = keep_regular(open_native(path, writes ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS));
  return f;
}

File File::create_always(const std::wstring& path) {
  File f(path, true);
  if (file_change_allowed({FileChangeKind::create, path})) {
    f.handle_ =
        open_native(path, GENERIC_WRITE, FILE_SHARE_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  }
  return f;
}

File File::create_fresh(const std::wstring& path) {
  File f(path, true);
  if (file_change_allowed({FileChangeKind::create, path})) {
    // A link or a file at the name goes; a folder stays and fails the create.
    (void)::DeleteFileW(path.c_str());
    f.handle_ = open_native(path, GENERIC_WRITE, FILE_SHARE_WRITE, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  }
  return f;
}

File File::open_to_replace(const std::wstring& path) {
  File f(path, true);
  if (file_change_allowed({FileChangeKind::replace, path})) {
    f.handle_ = keep_regular(open_native(path, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT));
  }
  return f;
}

bool File::is_open() const { return as_handle(handle_) != INVALID_HANDLE_VALUE; }

bool File::close() {
  if (!is_open()) return true;
  if (lock_held_ != 0) unlock_byte(as_handle(handle_), kLockByte);
  lock_held_ = 0;
  const bool allowed = !writes_ || file_change_allowed({FileChangeKind::close, path_});
  const bool closed = ::CloseHandle(as_handle(handle_)) != 0;
  handle_ = INVALID_HANDLE_VALUE;
  return allowed && closed;
}

bool File::read_at(uint64_t pos, void* buf, size_t n, size_t* got) {
  char* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < n) {
    const DWORD chunk = DWORD(std::min(n - done, kMaxTransfer));
    OVERLAPPED o = at_position(pos + done);
    DWORD r = 0;
    if (!::ReadFile(as_handle(handle_), p + done, chunk, &r, &o)) {
      // Reading at or past the end is a short read, not an error.
      if (::GetLastError() == ERROR_HANDLE_EOF) break;
      return false;
    }
    if (r == 0) break;
    done += r;
  }
  *got = done;
  return true;
}

bool File::write_at(uint64_t pos, const void* buf, size_t n) {
  if (!file_change_allowed({FileChangeKind::write, path_, pos, buf, n})) return false;
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < n) {
    const DWORD chunk = DWORD(std::min(n - done, kMaxTransfer));
    OVERLAPPED o = at_position(pos + done);
    DWORD w = 0;
    if (!::WriteFile(as_handle(handle_), p + done, chunk, &w, &o) || w == 0) return false;
    done += w;
  }
  return true;
}

bool File::size(uint64_t* out) {
  LARGE_INTEGER s;
  if (!::GetFileSizeEx(as_handle(handle_), &s)) return false;
  *out = uint64_t(s.QuadPart);
  return true;
}

bool File::extend_to(uint64_t length) {
  if (!file_change_allowed({FileChangeKind::resize, path_, length})) return false;
  // A large gap (an entry whose stored size runs past the archive's end) is
  // left as a hole, so the zeros cost no disk; small padding does not change
  // the file's attributes. File systems without holes refuse, which is fine.
  uint64_t current = 0;
  if (size(&current) && length > current && length - current >= (uint64_t(1) << 20)) {
    DWORD returned = 0;
    (void)::DeviceIoControl(as_handle(handle_), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned,
                            nullptr);
  }
  LARGE_INTEGER target;
  target.QuadPart = LONGLONG(length);
  return ::SetFilePointerEx(as_handle(handle_), target, nullptr, FILE_BEGIN) &&
         ::SetEndOfFile(as_handle(handle_));
}

bool File::flush_to_disk() {
  if (!file_change_allowed({FileChangeKind::flush, path_})) return false;
  return ::FlushFileBuffers(as_handle(handle_)) != 0;
}

LockOutcome File::lock(LockKind kind) {
  if (kind == LockKind::exclusive && !writes_) return LockOutcome::busy;
  const int wanted = kind == LockKind::shared ? 1 : 2;
  if (lock_held_ == wanted) return LockOutcome::taken;
  const HANDLE h = as_handle(handle_);
  for (int tries = 0;; ++tries) {
    const LockOutcome gate = lock_byte(h, kGateByte, true);
    if (gate == LockOutcome::taken) break;
    if (gate != LockOutcome::busy || tries + 1 == kGateTries) return gate;
    ::Sleep(1);
  }
  if (lock_held_ != 0) unlock_byte(h, kLockByte);
  LockOutcome got = lock_byte(h, kLockByte, kind == LockKind::exclusive);
  // The gate took a lock, so this file system has them.
  if (got == LockOutcome::no_locks) got = LockOutcome::failed;
  if (got == LockOutcome::taken) {
    lock_held_ = wanted;
  } else if (lock_held_ != 0 && lock_byte(h, kLockByte, lock_held_ == 2) != LockOutcome::taken) {
    lock_held_ = 0;  // cannot happen while the gate keeps others out
  }
  unlock_byte(h, kGateByte);
  return got;
}

bool list_directory(const std::wstring& dir, std::vector<ListedName>* out) {
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    out->push_back(ListedName{name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return true;
}

NameKind name_kind(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return NameKind::none;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // The directory search gives the reparse tag (the tool's names hold no
    // wildcards).
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW(path.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      ::FindClose(search);
      if (is_name_surrogate(found.dwFileAttributes, found.dwReserved0)) return NameKind::link;
    }
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return NameKind::folder;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return NameKind::other;
  return NameKind::file;
}

NameKind target_kind(const std::wstring& path) {
  // Opened for no access at all, which neither waits nor keeps others out;
  // folders open only with backup semantics.
  const HANDLE h =
      ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return NameKind::none;
  BY_HANDLE_FILE_INFORMATION info;
  NameKind kind = NameKind::other;
  if (::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info)) {
    kind =
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? NameKind::folder : NameKind::file;
  }
  ::CloseHandle(h);
  return kind;
}

bool name_exists(const std::wstring& path) {
  // The directory search, not a plain attribute query: its last component is
  // a pattern, so "LINKDATA_EU_OS_EUNA.*" is present when any archive is.
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  ::FindClose(search);
  return true;
}

void make_directory(const std::wstring& path) { (void)::CreateDirectoryW(path.c_str(), nullptr); }

bool remove_file(const std::wstring& path) {
  if (!file_change_allowed({FileChangeKind::remove, path})) return false;
  return ::DeleteFileW(path.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool rename_file(const std::wstring& from, const std::wstring& to) {
  FileChange change{FileChangeKind::rename, from};
  change.new_path = &to;
  if (!file_change_allowed(change)) return false;
  return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool replace_file(const std::wstring& from, const std::wstring& to) {
  FileChange change{FileChangeKind::rename, from};
  change.new_path = &to;
  if (!file_change_allowed(change)) return false;
  // A link at `to` is replaced as a file is, not followed.
  return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

// NTFS keeps its names in its own log; there is nothing to force here.
// NTFS frees a replaced file's clusters at no cost worth saving; a plain
// rename serves.
bool exchange_files(const std::wstring&, const std::wstring&) { return false; }

bool flush_folder(const std::wstring& dir) {
  return file_change_allowed({FileChangeKind::flush_folder, dir});
}

void console_write(const std::wstring& text) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD mode;
  if (::GetConsoleMode(out, &mode)) {
    // A real console takes UTF-16 directly and shows the Chinese messages
    // whatever its code page is.
    const wchar_t* p = text.data();
    size_t left = text.size();
    while (left > 0) {
      const DWORD chunk = DWORD(std::min<size_t>(left, 8192));
      DWORD written = 0;
      if (!::WriteConsoleW(out, p, chunk, &written, nullptr) || written == 0) return;
      p += written;
      left -= written;
    }
    return;
  }
  // Redirected to a file or pipe: UTF-8 bytes, the same as on every other
  // platform, so scripts and logs read the same everywhere.
  const std::string bytes = to_utf8(text);
  (void)write_all(out, bytes.data(), bytes.size());
}

bool output_is_console() {
  DWORD mode;
  return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void output_write_utf8(const std::wstring& text) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  const std::string bytes = to_utf8(text);
  (void)write_all(out, bytes.data(), bytes.size());
}

void console_pause() {
  DWORD mode;
  if (!::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode)) return;  // scripts never wait
  console_write(msg::kPressAnyKey);
  (void)_getch();
  console_write(L"\n");
}

namespace {

volatile LONG g_interrupted = 0;

BOOL WINAPI note_interrupt(DWORD event) {
  ::InterlockedExchange(&g_interrupted, 1);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // Closing the console, logging off or shutting down ends the process as
  // soon as this handler returns; holding it here gives the operation the few
  // seconds Windows allows to finish its step and exit by itself.
  ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void defer_interrupts() {
  ::InterlockedExchange(&g_interrupted, 0);
  ::SetConsoleCtrlHandler(note_interrupt, TRUE);
}

void restore_interrupts() {
  ::SetConsoleCtrlHandler(note_interrupt, FALSE);
  ::InterlockedExchange(&g_interrupted, 0);
}

bool interrupt_requested() { return ::InterlockedCompareExchange(&g_interrupted, 0, 0) != 0; }

// The Windows heap keeps and reuses freed blocks by itself.
void reuse_freed_memory() {}

unsigned cpu_count() {
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process_mask, &system_mask)) {
    unsigned n = 0;
    for (; process_mask != 0; process_mask &= process_mask - 1) ++n;
    if (n > 0) return n;
  }
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? unsigned(info.dwNumberOfProcessors) : 1u;
}

}  // namespace linkdata::platform
