// How a mode opens its archive and hears from its writer: under its lock,
// any commit left by a crash dealt with first, and what that came to shown.
// Every mode that writes the archive opens it here; the reading modes take
// the same lock through open_archive_locked and show what it says with
// show_opening. The safety layer only gives back what is to be said; the
// modes say it, here.
#pragma once

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

// Opens an existing archive for a run that writes it (ArchiveUse::write).
// False after the failure's message: a missing archive, one held by another
// run, a commit not undone, or an archive that cannot be opened at all.
bool open_archive_to_write(const std::wstring& archive_name, LockedArchive* out);

// Reads the archive's header; false after the message of a read error or of
// a file that is no archive.
bool read_header_reporting(platform::File& archive, ArchiveHeader* out);

}  // namespace linkdata
