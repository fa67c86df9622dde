// In-place entries go into the archive in groups: one journal commit and one
// flush for up to kGroupEntries entries or kGroupBytes of data. A group is
// written on a thread of its own while the next one is prepared, since most
// of a commit is waiting for the disk. Success lines are printed only once
// their entries are on disk, in the order the entries came.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "archive/safety/journal.h"
#include "platform/platform.h"

namespace linkdata {

struct PendingWrite {
  uint64_t position = 0;
  std::vector<uint8_t> bytes;
};

struct PendingEntry {
  size_t first_write = 0;  // into Group::writes
  std::vector<std::wstring> lines;
  uint32_t entry = 0;
};

struct Group {
  std::vector<PendingWrite> writes;
  std::vector<PendingEntry> entries;
  uint64_t bytes = 0;
  bool unflushed = false;  // appended entries' data, written but not yet on disk
};

// Where the writes of the group's entry e begin; past the last entry, where
// they all end. Entry e's writes are [first_write_of(g, e), first_write_of(g, e + 1)).
inline size_t first_write_of(const Group& g, size_t e) {
  return e < g.entries.size() ? g.entries[e].first_write : g.writes.size();
}

// The writes of the group's entry e, in order: for an in-place entry its
// record, then its payload if that is not empty.
struct EntryWrites {
  const PendingWrite* first;
  const PendingWrite* last;
  const PendingWrite* begin() const { return first; }
  const PendingWrite* end() const { return last; }
};

inline EntryWrites writes_of(const Group& g, size_t e) {
  const PendingWrite* all = g.writes.data();
  return {all + first_write_of(g, e), all + first_write_of(g, e + 1)};
}

constexpr size_t kGroupEntries = 32;
constexpr uint64_t kGroupBytes = uint64_t(4) << 20;

inline bool group_full(const Group& g) {
  return g.entries.size() >= kGroupEntries || g.bytes >= kGroupBytes;
}

// Runs before a group's journal is saved, on the thread that writes the
// group: a failure message ends the group unwritten.
using BeforeGroup = std::function<std::wstring(platform::File& archive, const Group& g)>;

// What writing a group came to: the lines of the entries now on disk, and a
// failure message when the group could not be written whole.
struct GroupOutcome {
  std::vector<std::wstring> lines;
  std::wstring failure;
  bool ok() const { return failure.empty(); }
};

// Journal saved, archive writes, one flush, journal cleared. An entry that
// shares bytes with an earlier one of the group (two loose names for one
// entry) starts a commit of its own, so that no commit writes a byte twice.
// A failure leaves every entry old or new: those before a failed write keep
// their new bytes and lines; the failed one and those after it get their old
// bytes back. The writes' bytes are released once they are in the file.
GroupOutcome write_group(platform::File& archive, Journal& journal, Group& g,
                         const BeforeGroup& before = {});

class GroupCommitter {
 public:
  GroupCommitter(platform::File& archive, Journal& journal)
      : archive_(archive), journal_(journal) {}
  ~GroupCommitter();  // waits for a group in flight
  GroupCommitter(const GroupCommitter&) = delete;
  GroupCommitter& operator=(const GroupCommitter&) = delete;

  Group& pending() { return pending_; }
  void set_before_group(BeforeGroup before) { before_ = std::move(before); }
  // Hands the pending group to the writer, once the group before it is done;
  // what the group before came to. Not started when that failed.
  GroupOutcome start();
  // Waits for the group in flight: its lines, or its failure.
  GroupOutcome finish();
  // Every entry taken in so far on disk: the lines of all of them, in order.
  GroupOutcome commit_all();
  // Every in-place write in the archive file, as a read of the archive needs.
  GroupOutcome commit_writes() { return pending_.writes.empty() ? finish() : commit_all(); }

 private:
  platform::File& archive_;
  Journal& journal_;
  Group pending_;
  BeforeGroup before_;
  std::future<GroupOutcome> in_flight_;
};

}  // namespace linkdata
