#include "platform/file_change_hook.h"

#include <mutex>
#include <utility>

namespace linkdata::platform {
namespace {
FileChangeHook& installed_hook() {
  static FileChangeHook hook;
  return hook;
}
}  // namespace

void set_file_change_hook(FileChangeHook hook) { installed_hook() = std::move(hook); }

bool file_change_allowed(const FileChange& change) {
  const FileChangeHook& hook = installed_hook();
  if (!hook) return true;
  // Export writes files on several threads; a test's hook sees one change
  // at a time all the same.
  static std::mutex one_at_a_time;
  const std::lock_guard<std::mutex> lock(one_at_a_time);
  return hook(change);
}

}  // namespace linkdata::platform
