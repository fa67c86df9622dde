#include "archive/safety/group_commit.h"

#include <memory>
#include <system_error>
#include <utility>

#include "platform/messages.h"

namespace linkdata {
namespace {

void take_lines(const Group& g, size_t first, size_t end, std::vector<std::wstring>* lines) {
  for (size_t i = first; i < end; ++i) {
    lines->insert(lines->end(), g.entries[i].lines.begin(), g.entries[i].lines.end());
  }
}

bool overlap(const JournalRegion& a, const JournalRegion& b) {
  return a.position < b.position + b.size && b.position < a.position + a.size;
}

// The entries from `first` on that one commit takes: up to the first whose
// writes share a byte with those of an entry before it in the commit. A
// journal piece is then either old or new after a crash, never the bytes of
// an earlier write of the same commit, so the journal can tell its own
// archive from another.
size_t commit_end(const Group& g, size_t first) {
  std::vector<JournalRegion> taken;
  for (size_t e = first; e < g.entries.size(); ++e) {
    for (const PendingWrite& w : writes_of(g, e)) {
      for (const JournalRegion& t : taken) {
        if (e > first && overlap({w.position, w.bytes.size()}, t)) return e;
      }
    }
    for (const PendingWrite& w : writes_of(g, e)) taken.push_back({w.position, w.bytes.size()});
  }
  return g.entries.size();
}

// One commit of entries [first, end): journal saved, writes, flush, journal
// cleared. False after the failure is in `out`.
bool write_commit(platform::File& archive, Journal& journal, Group& g, size_t first, size_t end,
                  GroupOutcome& out) {
  const size_t first_write = first_write_of(g, first);
  const size_t end_write = first_write_of(g, end);
  std::vector<JournalRegion> regions;
  for (size_t i = first_write; i < end_write; ++i) {
    regions.push_back({g.writes[i].position, g.writes[i].bytes.size(), g.writes[i].bytes.data()});
  }
  uint64_t length = 0;
  if (!archive.size(&length) || !journal_save(journal, archive, length, regions)) {
    out.failure = msg::kJournalWriteFailed;
    return false;
  }
  size_t failed_entry = end;
  for (size_t e = first; e < end && failed_entry == end; ++e) {
    for (const PendingWrite& w : writes_of(g, e)) {
      if (!archive.write_at(w.position, w.bytes.data(), w.bytes.size())) {
        failed_entry = e;
        break;
      }
    }
  }
  // The new bytes are in the file now; the flush, most of a commit's time,
  // needs no copy of them, and the next group is gathered meanwhile.
  for (size_t i = first_write; i < end_write; ++i) std::vector<uint8_t>().swap(g.writes[i].bytes);
  // Without a flush nothing is known to be on disk: the whole commit goes back.
  if (failed_entry == end && !archive.flush_to_disk()) failed_entry = first;
  if (failed_entry < end) {
    // The failed entry and those after it get their old bytes back; no
    // earlier entry of the commit shares a byte with them. When even that
    // fails the journal stays, and the next run rolls the whole commit back:
    // then no line of it may be shown.
    if (journal_roll_back_tail(journal, archive,
                               g.entries[failed_entry].first_write - first_write)) {
      take_lines(g, first, failed_entry, &out.lines);
    }
    out.failure = msg::kArchiveWriteFailed;
    return false;
  }
  // A journal left whole would undo the commit on the next run.
  if (!journal_clear(journal)) {
    out.failure = msg::kJournalWriteFailed;
    return false;
  }
  take_lines(g, first, end, &out.lines);
  return true;
}

}  // namespace

GroupOutcome write_group(platform::File& archive, Journal& journal, Group& g,
                         const BeforeGroup& before) {
  GroupOutcome out;
  if (!g.writes.empty() && before) out.failure = before(archive, g);
  if (!out.failure.empty()) return out;
  // Appended entries' data is on disk before the records that point at it
  // are written.
  if (g.unflushed && !archive.flush_to_disk()) {
    out.failure = msg::kArchiveWriteFailed;
    return out;
  }
  if (g.writes.empty()) {
    take_lines(g, 0, g.entries.size(), &out.lines);
    return out;
  }
  for (size_t first = 0; first < g.entries.size();) {
    const size_t end = commit_end(g, first);
    if (!write_commit(archive, journal, g, first, end, out)) return out;
    first = end;
  }
  return out;
}

GroupCommitter::~GroupCommitter() {
  if (in_flight_.valid()) in_flight_.wait();
}

GroupOutcome GroupCommitter::start() {
  GroupOutcome before = finish();
  if (!before.ok() || pending_.entries.empty()) return before;
  const auto g = std::make_shared<Group>(std::move(pending_));
  pending_ = Group{};
  try {
    in_flight_ = std::async(std::launch::async,
                            [this, g] { return write_group(archive_, journal_, *g, before_); });
  } catch (const std::system_error&) {
    // No thread to be had: the group is written here and now.
    std::promise<GroupOutcome> done;
    done.set_value(write_group(archive_, journal_, *g, before_));
    in_flight_ = done.get_future();
  }
  return before;
}

GroupOutcome GroupCommitter::finish() {
  if (!in_flight_.valid()) return {};
  return in_flight_.get();
}

GroupOutcome GroupCommitter::commit_all() {
  GroupOutcome started = start();
  if (!started.ok()) return started;
  GroupOutcome written = finish();
  started.lines.insert(started.lines.end(), written.lines.begin(), written.lines.end());
  started.failure = std::move(written.failure);
  return started;
}

}  // namespace linkdata
