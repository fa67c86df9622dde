// A file written whole under a temporary name in its own folder and renamed
// over its real name once every byte is there: a reader (the gallery, an
// editor, the next import) never finds a part of it under that name, and a
// kill at any moment leaves the old file or the new one, plus at most the
// temporary file. The temporary name is fixed for each target, so the next
// run that writes the same file removes what an interrupted one left.
// Whatever had the real name, a link too, is replaced, never written through.
#pragma once

#include <string>

#include "platform/platform.h"

namespace linkdata {

// "<name>.tmp" beside the target. No name the tool reads ends so: the
// gallery takes ".png", import ".data", ".dds" and ".png".
std::wstring temporary_name_of(const std::wstring& target);

class WholeFile {
 public:
  // Creates the temporary file afresh; is_open tells whether that worked
  // (never where a folder has the target's name).
  explicit WholeFile(const std::wstring& target);
  WholeFile(const WholeFile&) = delete;
  WholeFile& operator=(const WholeFile&) = delete;
  // One that was not finished takes its temporary file with it.
  ~WholeFile();

  bool is_open() const { return file_.is_open(); }
  platform::File& file() { return file_; }

  // Closes the temporary file and renames it over the target. False when
  // either fails: the temporary file is then removed, the target as it was.
  // Nothing is forced to disk: an exported file can be exported again.
  bool finish();

 private:
  void abandon();

  std::wstring target_;
  std::wstring temporary_;
  platform::File file_;
  bool pending_ = false;  // a temporary file that is still to be renamed or removed
};

}  // namespace linkdata
