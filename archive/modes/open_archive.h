// How a mode opens its archive and hears from its writer: under its lock,
// any commit left by a crash dealt with first, and what that came to shown.
// Every mode that writes the archive opens it here; the reading modes take
// the same lock through open_archive_locked and show what it says with
// show_opening. The safety layer only gives back what is to be said; the
// modes say it, here.
#pragma once

#include <functional>
#include <string>

#include "archive/format/format.h"
#include "archive/safety/group_commit.h"
#include "archive/safety/locked_archive.h"
#include "platform/platform.h"

namespace linkdata {

// Shows the lines the archive's opening has for the player, in order.
void show_opening(const LockedArchive& locked);

// Shows the lines of the entries a group writer has on disk, then its
// failure if it had one; false after a failure.
bool show(const GroupOutcome& outcome);

// An archive open for reading under its shared lock.
struct ReadableArchive {
  platform::File file;
  ArchiveHeader header;
  uint64_t length = 0;
};

// Opens an archive as export does: it must exist, a commit that an earlier
// import left unfinished is undone, then it is opened for reading and its
// header is checked. `before_open` runs between the undo and the opening.
// False after export's message.
bool open_archive_to_read(const std::wstring& archive_name,
                          const std::function<void()>& before_open, ReadableArchive* out);

// Opens an existing archive for a run that writes it (ArchiveUse::write).
// False after the failure's message: a missing archive, one held by another
// run, a commit not undone, or an archive that cannot be opened at all.
bool open_archive_to_write(const std::wstring& archive_name, LockedArchive* out);

// Reads the archive's header; false after the message of a read error or of
// a file that is no archive.
bool read_header_reporting(platform::File& archive, ArchiveHeader* out);

}  // namespace linkdata
