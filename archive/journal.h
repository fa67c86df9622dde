// The rollback journal of in-place writes. Before import overwrites bytes of
// the archive, it saves them in "<archive>-journal" beside it and forces that
// to disk; once the archive's writes are on disk the journal is removed. A
// journal found later means a commit may have been cut short: its saved bytes
// go back, and the archive is as it was before that commit.
//
// Layout, all little-endian: a 32-byte header
//   "LDJRNL01"  archive length at the commit's start (u64)
//   body length (u64)  crc32 of the body (u32)  crc32 of the 28 bytes before (u32)
// then the body, one region after another: position (u64), size (u64), the
// region's old bytes.
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

// Saves what `regions` hold in the archive now, with its current length, and
// forces the journal and its name to disk. On failure no journal is left.
bool write_journal(const std::wstring& path, platform::File& archive, uint64_t archive_length,
                   const std::vector<JournalRegion>& regions);

// After a commit's writes failed part way: puts back the saved bytes of the
// regions from `first_region` on (those of the commit's unwritten or torn
// part), forces them to disk and removes the journal. False leaves the
// journal for the next run, which then rolls the whole commit back.
bool roll_back_tail(const std::wstring& path, platform::File& archive, size_t first_region);

// Drops the journal of a commit whose writes are on disk.
bool remove_journal(const std::wstring& path);

// Run before an archive is read: rolls back a commit left by an earlier run,
// with a message, or removes a journal that was never completed (the archive
// is written only after its journal is on disk). False, after a message, when
// a rollback is needed but cannot be done; the journal then stays for a
// later run.
bool recover_archive(const std::wstring& archive_name);

}  // namespace linkdata
