#include "archive/group_commit.h"

#include <memory>
#include <system_error>
#include <utility>

#include "platform/working_paths.h"

namespace linkdata {
namespace {

const wchar_t* const kArchiveWriteFailed = L"写入 LINKDATA 文件失败！\n";
const wchar_t* const kJournalWriteFailed = L"写入恢复日志失败！\n";

void take_lines(const Group& g, size_t entries, std::vector<std::wstring>* lines) {
  for (size_t i = 0; i < entries; ++i) {
    lines->insert(lines->end(), g.entries[i].lines.begin(), g.entries[i].lines.end());
  }
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
    out.failure = kJournalWriteFailed;
    return out;
  }
  size_t failed_entry = g.entries.size();
  for (size_t e = 0; e < g.entries.size() && failed_entry == g.entries.size(); ++e) {
    const size_t end = e + 1 < g.entries.size() ? g.entries[e + 1].first_write : g.writes.size();
    for (size_t i = g.entries[e].first_write; i < end; ++i) {
      if (!archive.write_at(g.writes[i].position, g.writes[i].bytes.data(), g.writes[i].bytes.size())) {
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
    if (journal_roll_back_tail(journal, archive, g.entries[failed_entry].first_write)) {
      take_lines(g, failed_entry, &out.lines);
    }
    out.failure = kArchiveWriteFailed;
    return out;
  }
  // A journal left whole would undo the group on the next run.
  if (!journal_clear(journal)) {
    out.failure = kJournalWriteFailed;
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
    out.failure = kArchiveWriteFailed;
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
