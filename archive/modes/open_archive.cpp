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
