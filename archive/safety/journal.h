// The rollback journal of in-place writes. Before import overwrites bytes of
// the archive, it saves them in "<archive>-journal" beside it and forces that
// to disk; once the archive's writes are on disk the journal is cleared. A
// journal found later with a whole commit in it means that commit may have
// been cut short: its saved bytes go back, and the archive is as it was
// before that commit.
//
// A journal is played back only into the archive it was written for: it
// holds the archive's length, a checksum of its header and index as they
// were before the commit, and for every 512-byte piece of each region (a
// disk sector, which a torn write leaves whole, old or new) the checksums of
// its old bytes and of the bytes the commit writes there. An archive whose
// regions hold anything else, or whose index (with the saved bytes put back)
// or length differ, is another one: the journal is left alone.
//
// Layout, all little-endian: a 40-byte header
//   "LDJRNL02"  archive length at the commit's start (u64)  body length (u64)
//   crc32 of header and index (u32)  operation (u32: 1 import, 2 restore)
//   crc32 of the body (u32)  crc32 of the 36 bytes before (u32)
// then the body, one region after another: position (u64), size (u64), then
// the region in stretches that end at 1 MiB boundaries of the archive: per
// stretch, a pair of crc32s (old, new) for each of its sector pieces, then
// its old bytes. Bytes past the body are left from earlier commits. A
// cleared journal's header is all zeros. Journals of the earlier layout
// ("LDJRNL01", a 32-byte header without the index checksum and operation,
// regions without the pairs) are still read: they cannot be tied to their
// archive, so one is only removed when its archive already holds every byte
// it saved, and refused otherwise.
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
  const uint8_t* bytes = nullptr;  // what the commit writes there
};

// The run that wrote a journal, for the line that tells what was undone.
enum class JournalOperation : uint32_t { import = 1, restore = 2 };

// The journal of one import run: created at its first commit, then rewritten
// in place for each commit and cleared after it, and removed when the run
// ends. Rewriting and clearing cost one flush each; deleting and creating it
// for every commit would cost two folder flushes more, and the file system
// would free and discard its blocks each time.
struct Journal {
  std::wstring path;
  platform::File file;
  bool named_on_disk = false;  // its name has been forced to disk
  JournalOperation operation = JournalOperation::import;
};

// Saves what `regions` hold in the archive now, with its current length and
// the checksums that tie the journal to it, and forces the journal (and its
// name, the first time) to disk. The regions may not share a byte: each
// piece of the archive is then either old or new after a crash.
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
// cannot be opened counts as a commit to undo, since nothing says otherwise;
// a link, folder or device in its place is no journal of this tool's.
enum class LeftJournal { none, nothing_to_undo, commit_to_undo, not_a_journal };
LeftJournal left_journal(const std::wstring& archive_name);

// What recovering an archive came to: whether the run may go on, and the
// line to show (none when there was nothing to say).
struct Recovery {
  bool ok = true;
  std::wstring said;
};

// Run before an archive is read, under its lock held exclusively, with
// `archive` the locked handle, opened for writing: rolls back a commit left
// by an earlier run, saying so, or removes a journal that holds no whole
// commit (a cleared one, or one cut short: the archive is written only once
// its journal is on disk). Not ok, with the reason, when a rollback is
// needed but cannot be done, or when the journal is not this archive's; the
// journal and the archive then stay as they are.
Recovery recover_archive(const std::wstring& archive_name, platform::File& archive);

}  // namespace linkdata
