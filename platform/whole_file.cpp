#include "platform/whole_file.h"

namespace linkdata {

std::wstring temporary_name_of(const std::wstring& target) { return target + L".tmp"; }

WholeFile::WholeFile(const std::wstring& target)
    : target_(target), temporary_(temporary_name_of(target)) {
  // A folder of the target's name would refuse the rename only once the
  // whole file is written: the file cannot be made, and is not begun.
  if (platform::name_kind(target_) == platform::NameKind::folder) return;
  file_ = platform::File::create_fresh(temporary_);
  pending_ = file_.is_open();
}

WholeFile::~WholeFile() { abandon(); }

bool WholeFile::finish() {
  if (!pending_) return false;
  if (!file_.close() || !platform::replace_file(temporary_, target_)) {
    abandon();
    return false;
  }
  pending_ = false;
  return true;
}

void WholeFile::abandon() {
  if (!pending_) return;
  file_ = platform::File();
  platform::remove_file(temporary_);
  pending_ = false;
}

}  // namespace linkdata
