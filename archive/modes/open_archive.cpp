#include "archive/modes/open_archive.h"

#include "platform/console.h"
#include "platform/messages.h"
#include "platform/working_paths.h"

namespace linkdata {

void show_opening(const LockedArchive& locked) {
  for (const std::wstring& line : locked.said) say(line);
}

bool show(const GroupOutcome& outcome) {
  for (const std::wstring& line : outcome.lines) say(line);
  if (outcome.ok()) return true;
  say(outcome.failure);
  return false;
}

bool open_archive_to_read(const std::wstring& archive_name,
                          const std::function<void()>& before_open, ReadableArchive* out) {
  if (!path_exists(archive_name)) {
    return fail(msg::archive_missing(archive_name));
  }
  // Taken before the folders are made: a run refused here leaves no trace.
  LockedArchive locked = open_archive_locked(archive_name, ArchiveUse::read);
  show_opening(locked);
  if (locked.status == ArchiveOpenStatus::in_use ||
      locked.status == ArchiveOpenStatus::not_recovered ||
      locked.status == ArchiveOpenStatus::lock_failed) {
    return false;
  }
  if (before_open) before_open();
  out->file = std::move(locked.file);
  if (!out->file.is_open()) return fail(msg::kArchiveOpenFailed);
  if (!read_header_reporting(out->file, &out->header)) return false;
  if (!out->file.size(&out->length)) return fail(msg::kArchiveReadFailed);
  return true;
}

bool open_archive_to_write(const std::wstring& archive_name, LockedArchive* out) {
  if (!path_exists(archive_name)) {
    say(msg::archive_missing(archive_name));
    return false;
  }
  *out = open_archive_locked(archive_name, ArchiveUse::write);
  show_opening(*out);
  switch (out->status) {
    case ArchiveOpenStatus::opened:
      return true;
    case ArchiveOpenStatus::cannot_open:
      say(msg::kArchiveOpenFailed);
      return false;
    case ArchiveOpenStatus::in_use:
    case ArchiveOpenStatus::not_recovered:
    case ArchiveOpenStatus::lock_failed:
      return false;
  }
  return false;
}

bool read_header_reporting(platform::File& archive, ArchiveHeader* out) {
  switch (read_archive_header(archive, out)) {
    case IndexReadStatus::ok:
      return true;
    case IndexReadStatus::read_error:
      say(msg::kArchiveReadFailed);
      return false;
    case IndexReadStatus::bad_magic:
      say(msg::kArchiveFormatWrong);
      return false;
  }
  return false;
}

}  // namespace linkdata
