// The one place where Windows and POSIX differ: file handles and their locks,
// directory listing, the existence test, console output, the key-press pause
// and the CPU count. Everything above this layer works with wide strings and
// the platform's separator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace linkdata::platform {

#ifdef _WIN32
constexpr wchar_t path_separator = L'\\';
#else
constexpr wchar_t path_separator = L'/';
#endif

// What a handle opened by File::open_lockable may do.
enum class Access { read, read_write };

// The kinds of lock that File::try_lock takes.
enum class LockKind { shared, exclusive };

// What asking for a lock came to.
enum class LockOutcome {
  taken,
  busy,      // another handle holds a lock that excludes it
  no_locks,  // the file system says it keeps no locks at all
  failed,    // anything else: whether others are kept out is unknown
};

// An open file. Moves, never copies; closes on destruction.
class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // An existing regular file of the tool's own, for reading. A link at the
  // name is not followed and anything but a regular file (a FIFO, a device)
  // is refused without waiting on it: its folders are ones that strangers'
  // mods may fill too.
  static File open_read(const std::wstring& path);
  // As open_read, for one compare of the file with bytes in hand, with the
  // length its opening saw (a call fewer each). A file system that honours
  // non-blocking reads of regular files may fail a read: a compare takes
  // that as a difference.
  static File open_to_compare(const std::wstring& path, uint64_t* size);
  // A file the player hands the tool to read (import's loose files and
  // textures): a link is followed, as the player may keep the file
  // elsewhere, but anything it leads to other than a regular file is refused
  // as open_read refuses it, without waiting on it.
  static File open_input(const std::wstring& path);
  // Existing only, for reading and writing; never cut. Other programs may
  // write the file meanwhile, not read it (on Windows). Links and anything
  // but a regular file are refused, as open_read refuses them.
  static File open_read_write_existing(const std::wstring& path);
  static File create_always(const std::wstring& path);  // create or truncate
  // A new regular file for writing: whatever has the name (a file an
  // interrupted run left, a link, a FIFO) is removed first, and the file is
  // created only where the name is then free, never through a link. The
  // temporary files that replace_file renames into place are made so.
  static File create_fresh(const std::wstring& path);
  // Creates the file, or opens an existing one without cutting it; the
  // caller sets its length (extend_to) once the new bytes are written. A file
  // rewritten in place keeps its blocks: cutting it first makes ext4 free and
  // discard them, and flush at close, which costs far more than the writes.
  // A link at the name is not followed, and anything but a regular file is
  // refused.
  static File open_to_replace(const std::wstring& path);
  // Opens an existing file for reading (and writing, with read_write) that
  // other programs may read and write while it is open: processes that work
  // on it together keep each other out with try_lock, not with sharing modes.
  // A link is followed (the player may keep the archive elsewhere), but
  // anything but a regular file is refused without waiting on it.
  static File open_lockable(const std::wstring& path, Access access);

  bool is_open() const;
  // Some file systems report a failed write only here.
  bool close();

  // Reads up to n bytes at pos; *got tells how many (fewer at end of file).
  bool read_at(uint64_t pos, void* buf, size_t n, size_t* got);
  // Writes all n bytes at pos, or reports failure.
  bool write_at(uint64_t pos, const void* buf, size_t n);
  bool size(uint64_t* out);
  // Sets the file's length: grows it with zero bytes (sparse where the file
  // system can), without writing them one by one, or cuts it.
  bool extend_to(uint64_t length);
  // Forces what was written to stable storage.
  bool flush_to_disk();

  // Takes a lock on the file for this handle without waiting; true when it is
  // held. Any number of handles may hold it shared, one alone exclusive, and
  // exclusive needs a handle opened for writing. On a handle that holds it
  // already, shared downgrades at once, and exclusive upgrades or, while
  // another handle holds it too, fails and keeps the shared lock. The lock
  // ends with the handle, and with the process however that ends, so nothing
  // is ever left to clean up. It blocks no reads or writes, only other
  // handles' locks. On a file system that has no locks every call succeeds.
  // Windows only: a call may fail while another handle is changing its own
  // lock at that very moment, so callers that wait simply try again.
  LockOutcome lock(LockKind kind);
  // The same, true when the lock is held or the file system has none.
  bool try_lock(LockKind kind) {
    const LockOutcome got = lock(kind);
    return got == LockOutcome::taken || got == LockOutcome::no_locks;
  }

 private:
  File(const std::wstring& path, bool writes) : path_(path), writes_(writes) {}

  std::wstring path_;    // for the file-change hook
  bool writes_ = false;  // opened for writing: its close may report a failed write
#ifdef _WIN32
  void* handle_ = reinterpret_cast<void*>(-1);
  // Released before the handle closes: Windows may keep a closed handle's
  // locks for a while.
  int lock_held_ = 0;  // 0 none, 1 shared, 2 exclusive
#else
  int fd_ = -1;
#endif
};

struct ListedName {
  std::wstring name;  // bare name, no directory part
  bool is_directory = false;
};

// What a name stands for, the name itself looked at: a link is a link,
// whatever it points to (on Windows a symbolic link or a junction).
enum class NameKind { none, file, folder, link, other };
NameKind name_kind(const std::wstring& path);
// What a name leads to, links followed: never `link` (a broken one is none).
NameKind target_kind(const std::wstring& path);

// Lists every name in a directory (without "." and ".."). False when the
// directory cannot be read.
bool list_directory(const std::wstring& dir, std::vector<ListedName>* out);

// True when a directory entry of this name exists. On Windows the last
// component acts as a find-first pattern; elsewhere the name is taken literally.
bool name_exists(const std::wstring& path);

// Creates one directory level; the result is deliberately not reported.
void make_directory(const std::wstring& path);

// Deletes a file; true when it is gone.
bool remove_file(const std::wstring& path);

// Gives a file a new name that no file has yet; false when that name is
// taken or the file cannot be renamed.
bool rename_file(const std::wstring& from, const std::wstring& to);

// Gives a file the name `to` in one step, in place of whatever file or link
// had that name (a link is replaced, never followed): a reader of `to` finds
// the old file or the new one, never a part of either. The file's content is
// not forced to disk first. Its file-change-hook event is `rename`.
bool replace_file(const std::wstring& from, const std::wstring& to);

// Swaps the files that two names hold, in one step that no reader sees half
// done; both must exist, on one file system. False where the file system or
// platform cannot (then nothing changed), and the caller renames instead.
bool exchange_files(const std::wstring& a, const std::wstring& b);

// Forces the names in a folder (files created or removed there) to stable
// storage. Windows file systems keep names durable by themselves.
bool flush_folder(const std::wstring& dir);

// Writes text to standard output in an encoding the user can read.
void console_write(const std::wstring& text);

// True when standard output is a console (a terminal), not a file or pipe.
bool output_is_console();

// Writes text to standard output as UTF-8, whatever the user's encoding: the
// form for files and pipes that other programs read.
void output_write_utf8(const std::wstring& text);

// Waits for one key press, with a prompt, when standard input is a terminal.
void console_pause();

// From here on, Ctrl+C, termination requests and (on Windows) console close
// events no longer end the process at once; they are only noted, so that an
// operation can finish the step it is in and stop cleanly. restore_interrupts
// puts back the handling there was before and forgets what was noted, so a
// process that runs several operations starts each one afresh.
void defer_interrupts();
void restore_interrupts();
bool interrupt_requested();

// Large buffers (entries, pictures, compressed blocks) come and go many times
// a run: from here on the memory of a freed one is kept for the next instead
// of being given back to the system and mapped afresh, page by page, which
// costs more than the work on a fast-compressing picture and makes threads
// wait on each other. Freed memory above a generous bound still goes back.
void reuse_freed_memory();

// Number of CPUs this process may run on (at least 1).
unsigned cpu_count();

}  // namespace linkdata::platform
