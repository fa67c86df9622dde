// The rollback journal of in-place writes. Before import overwrites bytes of
// the archive, it saves them in "<archive>-journal" beside it and forces that
// to disk; once the archive's writes are on disk the journal is cleared. A
// journal found later with a whole commit in it means that commit may have
// been cut short: its saved bytes go back, and the archive is as it was
// before that commit.
//
// Layout, all little-endian: a 32-byte header
//   "LDJRNL01"  archive length at the commit's start (u64)
//   body length (u64)  crc32 of the body (u32)  crc32 of the 28 bytes before (u32)
// then the body, one region after another: position (u64), size (u64), the
// region's old bytes. Bytes past the body are left from earlier commits. A
// cleared journal's header is all zeros.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace linkdata {

std::wstring journal_path(const std::wstring& archive_name);

// A range of the archive that a commit is about to overwrite.
struct JournalRegion {
  uint64_t position = 0;
  uint64_t size = 0;
};

// The journal of one import run: created at its first commit, then rewritten
// in place for each commit and cleared after it, and removed when the run
// ends. Rewriting and clearing cost one flush each; deleting and creating it
// for every commit would cost two folder flushes more, and the file system
// would free and discard its blocks each time.
struct Journal {
  std::wstring path;
  platform::File file;
  bool named_on_disk = false;  // its name has been forced to disk
};

// Saves what `regions` hold in the archive now, with its current length, and
// forces the journal (and its name, the first time) to disk.
bool journal_save(Journal& journal, platform::File& archive, uint64_t archive_length,
                  const std::vector<JournalRegion>& regions);

// Once the commit's writes are on disk: zeroes the journal's header and
// forces that to disk, after which a crash leaves nothing to undo.
bool journal_clear(Journal& journal);

// After a commit's writes failed part way: puts back the saved bytes of the
// regions from `first_region` on (those of the commit's unwritten or torn
// part), forces them to disk and removes the journal. False leaves the
// journal for the next run, which then rolls the whole commit back.
bool journal_roll_back_tail(Journal& journal, platform::File& archive, size_t first_region);

// Ends the run's journal. Whatever is left of it is cleared, so removing it
// needs no flush.
void journal_remove(Journal& journal);

// What an earlier run left beside the archive. Read under the archive's lock,
// shared or exclusive: no run is writing a journal then. A journal that
// cannot be opened counts as a commit to undo, since nothing says otherwise.
enum class LeftJournal { none, nothing_to_undo, commit_to_undo };
LeftJournal left_journal(const std::wstring& archive_name);

// Run before an archive is read, under its lock held exclusively, with
// `archive` the locked handle, opened for writing: rolls back a commit left
// by an earlier run, with a message, or removes a journal that holds no whole
// commit (a cleared one, or one cut short: the archive is written only once
// its journal is on disk). False, after its message, when a
// rollback is needed but cannot be done; the journal then stays for a later
// run.
bool recover_archive(const std::wstring& archive_name, platform::File& archive);

}  // namespace linkdata
