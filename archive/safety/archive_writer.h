// The one writer of an archive. Every byte a run writes into the archive file
// goes through an ArchiveWriter: in place, appended or cut. Whoever writes
// the archive (import, restore) hands it the bytes; it keeps the order that
// makes a crash or power cut at any moment leave every entry old or new and
// every original byte saved:
//
//  1. Before the run's first write of the archive, the file of originals
//     holds an open record and the original index records of every entry
//     the run may write, and is on disk with its name (begin()).
//  2. Before a group's bytes go in, whatever of them overwrites the archive
//     as it was before its first import is saved in the file of originals
//     and forced to disk, then counted in the file's header, forced to disk
//     again.
//  3. Appended data goes past the archive's end and is forced to disk
//     before the record that points at it is written; the record goes in
//     place, with its group (4, 5). The archive grows only while no group is
//     in flight, so a journal sees the one length it names.
//  4. A group's journal (the old bytes of every sector the group writes
//     into, whole, with checksums of their old and new bytes and of the
//     archive's header and index) and, the first time, its name are on disk
//     before the archive is written.
//  5. The group's writes, one flush of the archive, then the journal cleared
//     and forced to disk; only then are the group's lines shown.
//  6. A write that fails puts back the failed entry and those after it, with
//     the journal's playback mark forced to disk first; when even that
//     fails, the journal stays for the next run, which rolls the whole group
//     back (recover_archive). A rollback begun is finished, never judged again.
//  7. The archive is cut (a whole restore) only after every byte put back is
//     on disk.
//  8. The fingerprint of the archive as the run left it is sealed into the
//     file of originals at the end, and only when no journal is left.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "archive/safety/group_commit.h"
#include "archive/safety/journal.h"
#include "archive/safety/originals.h"
#include "platform/platform.h"

namespace linkdata {

// What the run does with the archive's original bytes: an import saves each
// first touch before it is overwritten; a restore writes saved ones back.
enum class OriginalsUse { save_first_touches, put_back };

class ArchiveWriter {
 public:
  ArchiveWriter(platform::File& archive, Originals& originals, const std::wstring& archive_name,
                OriginalsUse use);
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;

  // The entries whose original records rule 1 saves.
  void set_first_records(std::vector<uint32_t> entries) { first_records_ = std::move(entries); }
  // Rule 1, once; true when done before.
  bool begin();
  bool begun() const { return begun_; }

  // An entry written in place: its record, then its data in its slot (none
  // when empty), its lines given back once they are on disk.
  void write_in_place(uint32_t entry, PendingWrite record, PendingWrite data,
                      std::vector<std::wstring> lines);
  // The pending group, for a writer that fills it piece by piece (restore).
  Group& pending() { return groups_.pending(); }
  // Appends `padded` at the archive's 2048-aligned end and points entry's
  // record at it, `size` bytes stored plain; false, with the archive cut
  // back, when the data cannot be written. After begin(), with no group in
  // flight (finish()).
  bool append_plain(uint32_t entry, const std::vector<uint8_t>& padded, uint32_t size,
                    std::vector<std::wstring> lines);
  // Rule 7: the archive's length set to `length`, forced to disk, after
  // every group; false when that cannot be done.
  bool cut_to(uint64_t length);

  // The group writer's steps: each gives back the lines of the entries now
  // on disk, in order, or the failure that stopped it, to be shown by the
  // caller.
  GroupOutcome start() { return groups_.start(); }
  GroupOutcome start_if_full() { return group_full(groups_.pending()) ? start() : GroupOutcome{}; }
  GroupOutcome finish() { return groups_.finish(); }
  GroupOutcome commit_all() { return groups_.commit_all(); }
  GroupOutcome commit_writes() { return groups_.commit_writes(); }

  // Ends the run's journal: whatever is left of it is cleared, or it stays
  // for the next run to roll back.
  void close_journal() { journal_remove(journal_); }
  // Rule 8, after close_journal(): true when there is nothing to seal or the
  // seal is on disk.
  bool seal(const std::vector<uint32_t>& written, const std::map<uint32_t, uint32_t>& known);

 private:
  std::wstring save_first_touches(const Group& g);

  platform::File& archive_;
  Originals& originals_;
  std::vector<uint32_t> first_records_;
  bool begun_ = false;
  Journal journal_;
  GroupCommitter groups_{archive_, journal_};  // last: it waits for its writer first
};

}  // namespace linkdata
