#include "platform/whole_file.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/working_paths.h"

namespace linkdata {
namespace {

// Old files swapped out of their names, their blocks ready for the next file.
// Two: export writes its files on one thread and its pictures on others, and
// a kill leaves no more than these and the files in flight.
constexpr size_t kMaxSpares = 2;

struct Spares {
  std::mutex mutex;
  std::vector<std::wstring> paths;
};

Spares& spares() {
  static Spares s;
  return s;
}

// A spare's name, taken out of the pool; empty when there is none.
std::wstring take_spare() {
  Spares& s = spares();
  const std::lock_guard<std::mutex> lock(s.mutex);
  if (s.paths.empty()) return L"";
  std::wstring path = std::move(s.paths.back());
  s.paths.pop_back();
  return path;
}

// True when `path` was a spare: it is the caller's now.
bool claim_spare(const std::wstring& path) {
  Spares& s = spares();
  const std::lock_guard<std::mutex> lock(s.mutex);
  auto it = std::find(s.paths.begin(), s.paths.end(), path);
  if (it == s.paths.end()) return false;
  s.paths.erase(it);
  return true;
}

void keep_spare(const std::wstring& path) {
  Spares& s = spares();
  {
    const std::lock_guard<std::mutex> lock(s.mutex);
    if (s.paths.size() < kMaxSpares) {
      s.paths.push_back(path);
      return;
    }
  }
  platform::remove_file(path);
}

// A temporary file for `target`, opened to be rewritten in place, and its
// name: a spare in the target's folder under the name it has; the one a run
// left under the target's own temporary name; a spare from another folder
// moved there; or a new one.
platform::File open_temporary(const std::wstring& target, std::wstring* temporary) {
  *temporary = temporary_name_of(target);
  std::wstring spare;
  if (platform::name_kind(*temporary) == platform::NameKind::file) {
    claim_spare(*temporary);
  } else {
    spare = take_spare();
  }
  if (!spare.empty()) {
    if (folder_of(spare) == folder_of(target)) {
      *temporary = spare;
    } else if (!platform::replace_file(spare, *temporary)) {
      platform::remove_file(spare);
      return platform::File::create_fresh(*temporary);
    }
  } else if (platform::name_kind(*temporary) != platform::NameKind::file) {
    return platform::File::create_fresh(*temporary);
  }
  platform::File file = platform::File::open_to_replace(*temporary);
  if (file.is_open()) return file;
  // Not a file that can be rewritten after all: made afresh, under the
  // target's own temporary name.
  if (*temporary != temporary_name_of(target)) platform::remove_file(*temporary);
  *temporary = temporary_name_of(target);
  return platform::File::create_fresh(*temporary);
}

// Whether `file` holds these bytes at `pos`, read in pieces on the stack.
bool file_holds_at(platform::File& file, uint64_t pos, const void* buf, size_t n) {
  uint8_t old[64 << 10];
  const uint8_t* next = static_cast<const uint8_t*>(buf);
  for (size_t done = 0; done < n;) {
    const size_t piece = std::min(n - done, sizeof old);
    size_t got = 0;
    if (!file.read_at(pos + done, old, piece, &got) || got != piece ||
        std::memcmp(old, next + done, piece) != 0) {
      return false;
    }
    done += piece;
  }
  return true;
}

}  // namespace

namespace {

std::wstring folded(std::wstring name) {
  for (wchar_t& c : name) {
    if (c >= L'A' && c <= L'Z') c = wchar_t(c - L'A' + L'a');
  }
  return name;
}

bool ends_with_tmp(const std::wstring& name) {
  return name.size() > 4 && folded(name.substr(name.size() - 4)) == L".tmp";
}

}  // namespace

LeftoverTemporaries::LeftoverTemporaries(const std::wstring& folder) {
  std::vector<platform::ListedName> names;
  listed_ = platform::list_directory(folder, &names);
  for (const platform::ListedName& n : names) {
    if (ends_with_tmp(n.name)) names_.insert(folded(n.name));
  }
}

bool LeftoverTemporaries::beside(const std::wstring& target) const {
  const std::wstring temporary = temporary_name_of(target);
  if (!listed_) return platform::name_kind(temporary) != platform::NameKind::none;
  const size_t cut = temporary.find_last_of(L"/\\");
  return names_.count(folded(cut == std::wstring::npos ? temporary : temporary.substr(cut + 1))) !=
         0;
}

TargetState examine_target(const std::wstring& target, const void* data, size_t n,
                           const LeftoverTemporaries& leftovers) {
  // A link or anything but a regular file is not opened here.
  uint64_t old_length = 0;
  platform::File old = platform::File::open_to_compare(target, &old_length);
  if (!old.is_open() || old_length != n || !file_holds_at(old, 0, data, n)) {
    return TargetState::differs;
  }
  return leftovers.beside(target) ? TargetState::same_beside_leftover : TargetState::same;
}

void keep_target(const std::wstring& target, TargetState state) {
  if (state == TargetState::same_beside_leftover) platform::remove_file(temporary_name_of(target));
}

std::wstring temporary_name_of(const std::wstring& target) { return target + L".tmp"; }

WholeFile::WholeFile(const std::wstring& target, uint64_t length)
    : WholeFile(target, length, TargetState::unknown) {}

WholeFile::WholeFile(const std::wstring& target, uint64_t length, TargetState known)
    : target_(target), temporary_(temporary_name_of(target)), expected_length_(length) {
  if (known == TargetState::unknown) {
    // A link or anything but a regular file is not opened here.
    old_ = platform::File::open_read(target_);
    uint64_t old_length = 0;
    if (old_.is_open() && old_.size(&old_length) && old_length == length) {
      comparing_ = true;
      return;
    }
    old_ = platform::File();
  }
  // A folder of the target's name would refuse the rename only once the
  // whole file is written: the file cannot be made, and is not begun.
  if (platform::name_kind(target_) == platform::NameKind::folder) return;
  file_ = open_temporary(target_, &temporary_);
  pending_ = file_.is_open();
}

WholeFile::~WholeFile() { abandon(); }

// Whether the old file holds these bytes at `pos`.
bool WholeFile::same_as_old(uint64_t pos, const void* buf, size_t n) {
  return pos == length_ && pos + n <= expected_length_ && file_holds_at(old_, pos, buf, n);
}

// The new bytes part from the old file's: the temporary file is begun with
// the bytes they shared.
bool WholeFile::diverge() {
  comparing_ = false;
  file_ = open_temporary(target_, &temporary_);
  pending_ = file_.is_open();
  if (!pending_) {
    old_ = platform::File();
    return false;
  }
  uint8_t shared[64 << 10];
  for (uint64_t done = 0; done < length_;) {
    const size_t piece = size_t(std::min<uint64_t>(length_ - done, sizeof shared));
    size_t got = 0;
    if (!old_.read_at(done, shared, piece, &got) || got != piece ||
        !file_.write_at(done, shared, piece)) {
      old_ = platform::File();
      return false;
    }
    done += piece;
  }
  // Closed before the rename, which Windows refuses over an open file.
  old_ = platform::File();
  return true;
}

bool WholeFile::write_at(uint64_t pos, const void* buf, size_t n) {
  if (comparing_) {
    if (same_as_old(pos, buf, n)) {
      length_ = pos + n;
      return true;
    }
    if (!diverge()) return false;
  }
  length_ = std::max(length_, pos + n);
  return file_.write_at(pos, buf, n);
}

bool WholeFile::extend_to(uint64_t length) {
  if (comparing_ && !diverge()) return false;
  // A file rewritten in place is cut to its new bytes first, so that what
  // it grows by reads as zeros, not as what it held before.
  if (length > length_ && !file_.extend_to(length_)) return false;
  length_ = length;
  return file_.extend_to(length);
}

bool WholeFile::finish() {
  if (comparing_) {
    uint64_t old_length = 0;
    if (length_ == expected_length_ && old_.size(&old_length) && old_length == length_) {
      comparing_ = false;
      old_ = platform::File();
      // What an interrupted run left under the temporary name goes. Looked
      // for first: removing takes the folder's lock even where nothing is
      // there, and the files of one folder are written on every CPU.
      if (platform::name_kind(temporary_) != platform::NameKind::none) {
        platform::remove_file(temporary_);
      }
      return true;
    }
    if (!diverge()) {
      abandon();
      return false;
    }
  }
  if (!pending_) return false;
  // A rewritten file is cut to its new length: nothing of what it held
  // before stays past the new bytes.
  if (!file_.extend_to(length_) || !file_.close()) {
    abandon();
    return false;
  }
  // The old file goes under the temporary name, a spare; a target that is
  // not a file of ours (none, a link) is replaced.
  const bool swapped = platform::name_kind(target_) == platform::NameKind::file &&
                       platform::exchange_files(temporary_, target_);
  if (!swapped && !platform::replace_file(temporary_, target_)) {
    abandon();
    return false;
  }
  pending_ = false;
  if (swapped) keep_spare(temporary_);
  return true;
}

void WholeFile::abandon() {
  comparing_ = false;
  old_ = platform::File();
  if (!pending_) return;
  file_ = platform::File();
  platform::remove_file(temporary_);
  pending_ = false;
}

void drop_spare_files() {
  for (std::wstring path = take_spare(); !path.empty(); path = take_spare()) {
    platform::remove_file(path);
  }
}

}  // namespace linkdata
