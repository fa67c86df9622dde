#include "archive/group_commit.h"

#include <memory>
#include <system_error>
#include <utility>

#include "platform/messages.h"
#include "platform/working_paths.h"

namespace linkdata {
namespace {

void take_lines(const Group& g, size_t entries, std::vector<std::wstring>* lines) {
  for (size_t i = 0; i < entries; ++i) {
    lines->insert(lines->end(), g.entries[i].lines.begin(), g.entries[i].lines.end());
  }
}

bool overlap(const JournalRegion& a, const JournalRegion& b) {
  return a.position < b.position + b.size && b.position < a.position + a.size;
}

// The first entry from which a group whose write failed at `failed_entry`
// can be undone. Undoing puts back the old bytes of every region from that
// entry's first write on, so none of them may share bytes with a region of an
// entry before it, whose line is shown: two loose names for one entry
// (03.data, 3.data) write the same record and slot, and records may share a
// slot.
size_t first_entry_to_undo(const Group& g, const std::vector<JournalRegion>& regions,
                           size_t failed_entry) {
  for (size_t from = failed_entry; from > 0; --from) {
    const size_t cut = g.entries[from].first_write;
    bool shared = false;
    for (size_t i = cut; i < regions.size() && !shared; ++i) {
      for (size_t j = 0; j < cut && !shared; ++j) shared = overlap(regions[i], regions[j]);
    }
    if (!shared) return from;
  }
  return 0;
}

GroupOutcome write_journaled(platform::File& archive, Journal& journal, Group& g,
                             const BeforeGroup& before) {
  GroupOutcome out;
  if (before) out.failure = before(archive, g);
  if (!out.failure.empty()) return out;
  std::vector<JournalRegion> regions;
  for (const PendingWrite& w : g.writes) regions.push_back({w.position, w.bytes.size()});
  uint64_t length = 0;
  if (!archive.size(&length) || !journal_save(journal, archive, length, regions)) {
    out.failure = msg::kJournalWriteFailed;
    return out;
  }
  size_t failed_entry = g.entries.size();
  for (size_t e = 0; e < g.entries.size() && failed_entry == g.entries.size(); ++e) {
    const size_t end = e + 1 < g.entries.size() ? g.entries[e + 1].first_write : g.writes.size();
    for (size_t i = g.entries[e].first_write; i < end; ++i) {
      if (!archive.write_at(g.writes[i].position, g.writes[i].bytes.data(),
                            g.writes[i].bytes.size())) {
        failed_entry = e;
        break;
      }
    }
  }
  // The new bytes are in the file now; the flush, most of a commit's time,
  // needs no copy of them, and the next group is gathered meanwhile.
  for (PendingWrite& w : g.writes) std::vector<uint8_t>().swap(w.bytes);
  // Without a flush nothing is known to be on disk: the whole group goes back.
  if (failed_entry == g.entries.size() && !archive.flush_to_disk()) failed_entry = 0;
  if (failed_entry < g.entries.size()) {
    // When even that fails the journal stays, and the next run rolls the
    // whole group back: then no line of it may be shown.
    const size_t undone = first_entry_to_undo(g, regions, failed_entry);
    if (journal_roll_back_tail(journal, archive, g.entries[undone].first_write)) {
      take_lines(g, undone, &out.lines);
    }
    out.failure = msg::kArchiveWriteFailed;
    return out;
  }
  // A journal left whole would undo the group on the next run.
  if (!journal_clear(journal)) {
    out.failure = msg::kJournalWriteFailed;
    return out;
  }
  take_lines(g, g.entries.size(), &out.lines);
  return out;
}

bool report(const GroupOutcome& outcome) {
  for (const std::wstring& line : outcome.lines) say(line);
  if (outcome.failure.empty()) return true;
  say(outcome.failure);
  return false;
}

}  // namespace

GroupOutcome write_group(platform::File& archive, Journal& journal, Group& g,
                         const BeforeGroup& before) {
  if (!g.writes.empty()) return write_journaled(archive, journal, g, before);
  GroupOutcome out;
  if (g.unflushed && !archive.flush_to_disk()) {
    out.failure = msg::kArchiveWriteFailed;
  } else {
    take_lines(g, g.entries.size(), &out.lines);
  }
  return out;
}

GroupCommitter::~GroupCommitter() {
  if (in_flight_.valid()) in_flight_.wait();
}

bool GroupCommitter::start() {
  if (!finish()) return false;
  if (pending_.entries.empty()) return true;
  if (pending_.writes.empty()) {
    const GroupOutcome outcome = write_group(archive_, journal_, pending_, before_);
    pending_ = Group{};
    return report(outcome);
  }
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
  return true;
}

bool GroupCommitter::finish() {
  if (!in_flight_.valid()) return true;
  return report(in_flight_.get());
}

void GroupCommitter::records_flushed() {
  pending_.unflushed = false;
  start();  // only lines to print: it cannot fail
}

void GroupCommitter::add_unflushed_record(std::vector<std::wstring> lines) {
  pending_.entries.push_back({pending_.writes.size(), std::move(lines)});
  pending_.unflushed = true;
}

}  // namespace linkdata
