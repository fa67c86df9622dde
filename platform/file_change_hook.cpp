#include "platform/file_change_hook.h"

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
  return !hook || hook(change);
}

}  // namespace linkdata::platform
