#include "archive/safety/locked_archive.h"

#include <chrono>
#include <thread>
#include <utility>

#include "archive/safety/journal.h"
#include "platform/messages.h"
#include "platform/working_paths.h"

namespace linkdata {
namespace {

using Clock = std::chrono::steady_clock;
using platform::LockKind;
using platform::LockOutcome;

// Long enough for an export or import that is just ending; short enough that
// a user who started a second run sees at once why it does nothing.
constexpr auto kLockPatience = std::chrono::seconds(2);
constexpr auto kRetryEvery = std::chrono::milliseconds(20);

enum class Attempt { done, again };

// The archive open for the run: for writing only when `granted` is write.
Attempt opened(LockedArchive* out, platform::File file, ArchiveUse granted) {
  out->file = std::move(file);
  out->writable = granted == ArchiveUse::write;
  out->status = ArchiveOpenStatus::opened;
  return Attempt::done;
}

// The run stops: no archive to read or write.
Attempt stopped(LockedArchive* out, ArchiveOpenStatus status) {
  out->file = platform::File();
  out->writable = false;
  out->status = status;
  return Attempt::done;
}

// A lock that failed for a reason other than another holder stops the run:
// two runs might then write at once. A file system without locks is run on
// without them, said once.
Attempt lock_failed(const std::wstring& archive_name, LockedArchive* out) {
  out->said.push_back(msg::lock_failed(archive_name));
  return stopped(out, ArchiveOpenStatus::lock_failed);
}

void note_no_locks(const std::wstring& archive_name, LockOutcome got, LockedArchive* out) {
  if (got == LockOutcome::no_locks) out->said.push_back(msg::no_locks(archive_name));
}

// Held alone: a commit a run left unfinished is undone first.
Attempt held_alone(const std::wstring& archive_name, ArchiveUse use, platform::File file,
                   LockedArchive* out) {
  const Recovery recovery = recover_archive(archive_name, file);
  if (!recovery.said.empty()) out->said.push_back(recovery.said);
  if (!recovery.ok) return stopped(out, ArchiveOpenStatus::not_recovered);
  // Other readers may share the archive from here on. A downgrade that
  // fails keeps the exclusive lock, which only makes them wait.
  if (use == ArchiveUse::read) (void)file.lock(LockKind::shared);
  return opened(out, std::move(file), use);
}

// For reading beside other readers, when no run is writing.
Attempt shared_with_readers(const std::wstring& archive_name, platform::File file, bool writable,
                            bool journal_seen, LockedArchive* out) {
  const LockOutcome shared = file.lock(LockKind::shared);
  if (shared == LockOutcome::failed) return lock_failed(archive_name, out);
  if (shared == LockOutcome::busy) return Attempt::again;
  note_no_locks(archive_name, shared, out);
  // Shared: no run is writing, so a journal here is one a run left behind,
  // and it stays, since others may be reading the archive.
  switch (left_journal(archive_name)) {
    case LeftJournal::none:
    case LeftJournal::nothing_to_undo:
      return opened(out, std::move(file), ArchiveUse::read);
    case LeftJournal::commit_to_undo:
      break;
    case LeftJournal::not_a_journal:
      out->said.push_back(msg::journal_not_a_file(journal_path(archive_name), archive_name));
      return stopped(out, ArchiveOpenStatus::not_recovered);
  }
  // The archive is not to be read before the commit is undone. With a handle
  // that writes, the exclusive lock comes once the other readers are gone;
  // without one, and none to be had, it never comes.
  if (writable || !journal_seen) return Attempt::again;
  out->said.push_back(msg::journal_rollback_failed(archive_name));
  return stopped(out, ArchiveOpenStatus::not_recovered);
}

// One try at the lock. A reader opens the archive for writing only when a
// journal may need rolling back: on Windows a handle that writes keeps the
// game (which shares no writing) from opening the archive.
Attempt try_open(const std::wstring& archive_name, ArchiveUse use, LockedArchive* out) {
  const bool journal_seen = path_exists(journal_path(archive_name));
  const bool wants_writing = use == ArchiveUse::write || journal_seen;
  platform::File file;
  if (wants_writing)
    file = platform::File::open_lockable(archive_name, platform::Access::read_write);
  const bool writable = file.is_open();
  if (!writable) file = platform::File::open_lockable(archive_name, platform::Access::read);
  if (!file.is_open()) return stopped(out, ArchiveOpenStatus::cannot_open);

  const LockOutcome exclusive = writable ? file.lock(LockKind::exclusive) : LockOutcome::busy;
  if (exclusive == LockOutcome::failed) return lock_failed(archive_name, out);
  if (exclusive == LockOutcome::taken || exclusive == LockOutcome::no_locks) {
    note_no_locks(archive_name, exclusive, out);
    return held_alone(archive_name, use, std::move(file), out);
  }
  // A writer that could open the archive for writing waits for it alone.
  if (writable && use == ArchiveUse::write) return Attempt::again;
  return shared_with_readers(archive_name, std::move(file), writable, journal_seen, out);
}

}  // namespace

LockedArchive open_archive_locked(const std::wstring& archive_name, ArchiveUse use) {
  const Clock::time_point give_up = Clock::now() + kLockPatience;
  LockedArchive out;
  while (try_open(archive_name, use, &out) == Attempt::again) {
    if (Clock::now() >= give_up) {
      out.file = platform::File();
      out.writable = false;
      out.status = ArchiveOpenStatus::in_use;
      out.said.push_back(msg::archive_busy(archive_name));
      return out;
    }
    std::this_thread::sleep_for(kRetryEvery);
  }
  return out;
}

}  // namespace linkdata
