// A seam under every change that File and the folder operations make, so that
// tests can watch the order of writes and flushes, fail one of them, or stop
// the process at one (by throwing from the hook) to play a crash. Nothing but
// tests sets a hook; without one the cost is a single test per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace linkdata::platform {

enum class FileChangeKind {
  create,   // created, or an existing file truncated to nothing
  replace,  // created, or an existing file opened to be rewritten
  write,    // position, data, size
  resize,   // position = the new length
  flush,    // the file's writes forced to stable storage
  close,    // of a file opened for writing
  remove,
  // path = the old name, new_path = the new one; both rename_file and
  // replace_file, whose new name may have held a file, now replaced whole
  rename,
  // path and new_path swap their files, each whole, in one step
  exchange,
  flush_folder,  // path = the folder; its names forced to stable storage
};

struct FileChange {
  FileChangeKind kind;
  const std::wstring& path;
  uint64_t position = 0;
  const void* data = nullptr;
  size_t size = 0;
  const std::wstring* new_path = nullptr;
};

// Called before the change is made; false makes the change fail unmade.
using FileChangeHook = std::function<bool(const FileChange&)>;

// Replaces the hook (an empty function removes it). Not thread-safe: set it
// only while no file operation runs. The hook is called for one change at a
// time, though not always from the same thread.
void set_file_change_hook(FileChangeHook hook);

// For the platform files: whether the change may go ahead.
bool file_change_allowed(const FileChange& change);

}  // namespace linkdata::platform
