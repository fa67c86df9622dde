// One run of the tool per archive at a time. Every operation opens its
// archive here, and the lock it takes lasts as long as the returned handle:
// exclusive for a run that writes the archive, shared for one that only
// reads it. A journal is looked at only under the lock, so no run ever takes
// the live journal of another for one left by a crash, and a journal is
// rolled back or removed only under the lock held exclusively.
#pragma once

#include <string>
#include <vector>

#include "archive/format/format.h"
#include "platform/platform.h"

namespace linkdata {

enum class ArchiveUse { read, write };

enum class ArchiveOpenStatus {
  opened,         // `file` is open and locked; any journal has been dealt with
  cannot_open,    // the archive cannot be opened at all; nothing was printed
  in_use,         // another run holds the lock; its message was printed
  not_recovered,  // a crash's commit could not be undone; its message was printed
  lock_failed,    // the lock failed, not for another holder; its message was printed
};

struct LockedArchive {
  ArchiveOpenStatus status = ArchiveOpenStatus::cannot_open;
  platform::File file;
  // For ArchiveUse::write: opened for writing and locked exclusively. False
  // when the archive cannot be opened for writing (read-only, or held by
  // another program on Windows); the run then holds it shared and may read it.
  bool writable = false;
  // What the run is to show of its opening, in order: a file system without
  // locks, a commit rolled back, or why the run stops.
  std::vector<std::wstring> said;
};

// Opens the archive for a whole run and takes its lock. A lock held by
// another run is waited for a short while (kLockPatience), never longer; a
// run that does not get it has touched nothing and gets in_use.
LockedArchive open_archive_locked(const std::wstring& archive_name, ArchiveUse use);

}  // namespace linkdata
