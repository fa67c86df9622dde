// A file written whole under a temporary name in its own folder and put in
// place of its real name once every byte is there: a reader (the gallery, an
// editor, the next import) never finds a part of it under that name, and a
// kill at any moment leaves the old file or the new one, plus temporary
// files, each named after a target with ".tmp" added; the next run that
// writes that target takes up what an interrupted one left there. Whatever
// had the real name, a link too, is replaced, never written through.
//
// The old file is not deleted but swapped out under the temporary name and
// kept as a spare, whose blocks the next file written in that folder is put
// into, under the spare's name: freeing a file's blocks costs far more than
// writing it on file systems that discard freed blocks (an export over
// 50,000 small files took 49 s instead of 1 s), and a file rewritten in
// place keeps its blocks.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "platform/platform.h"

namespace linkdata {

// "<name>.tmp" beside the target. No name the tool reads ends so: the
// gallery takes ".png", import ".data", ".dds" and ".png".
std::wstring temporary_name_of(const std::wstring& target);

// The temporary files that interrupted runs left in one folder, listed
// once: a writer of many files there asks here instead of looking up one
// name per file (a call each; under Windows emulation a read of the whole
// folder each). Asked only for targets not yet written by this run, it
// stays true: a target's temporary name is made only while it is written.
class LeftoverTemporaries {
 public:
  explicit LeftoverTemporaries(const std::wstring& folder);
  // Each name is looked up instead where the folder could not be listed.
  bool beside(const std::wstring& target) const;

 private:
  bool listed_ = false;
  std::unordered_set<std::wstring> names_;  // ASCII letters in lower case, as Windows matches them
};

// What a writer may learn of a target ahead of writing it, read-only and on
// any thread: whether it is a regular file (never a link) that holds
// exactly these bytes, and whether an interrupted run left a temporary file
// beside it. Export learns it on the thread that decoded the entry, so that
// the thread writing files in entry order is left the files that change.
enum class TargetState { unknown, differs, same, same_beside_leftover };
TargetState examine_target(const std::wstring& target, const void* data, size_t n,
                           const LeftoverTemporaries& leftovers);

// A target examined as `same` or `same_beside_leftover` is left as it is;
// what an interrupted run left beside it goes.
void keep_target(const std::wstring& target, TargetState state);

class WholeFile {
 public:
  // A file that will be `length` bytes long, written from its first byte
  // on. Opens the temporary file: the one an interrupted run left, a spare,
  // or a new one; is_open tells whether that worked (never where a folder
  // has the target's name). But where the target is a regular file of that
  // length, its bytes are compared with the new ones first, and the
  // temporary file is begun only at the first byte that differs (the bytes
  // before it copied from the old file): an export over an earlier one of
  // the same archive leaves its files as they are, rewriting none and
  // freeing no blocks. A link at the name is never read: it is replaced.
  WholeFile(const std::wstring& target, uint64_t length);
  // One whose target is known to differ (examine_target): not compared.
  WholeFile(const std::wstring& target, uint64_t length, TargetState known);
  WholeFile(const WholeFile&) = delete;
  WholeFile& operator=(const WholeFile&) = delete;
  // One that was not finished takes its temporary file with it.
  ~WholeFile();

  bool is_open() const { return comparing_ || file_.is_open(); }
  // The file's bytes, as File's calls of the same names; its length is where
  // the last of them ends.
  bool write_at(uint64_t pos, const void* buf, size_t n);
  bool extend_to(uint64_t length);

  // Sets the file's length, closes it and puts it in place of the target.
  // False when any of that fails: the temporary file is then removed, the
  // target as it was. Nothing is forced to disk: an exported file can be
  // exported again. A target that already held every byte is left as it is.
  bool finish();

 private:
  bool same_as_old(uint64_t pos, const void* buf, size_t n);
  bool diverge();
  void abandon();

  std::wstring target_;
  std::wstring temporary_;
  platform::File file_;
  uint64_t length_ = 0;
  bool pending_ = false;  // a temporary file that is still to be renamed or removed
  // While every byte so far is the old file's: the old file, and how long
  // the new one is to be.
  bool comparing_ = false;
  platform::File old_;
  uint64_t expected_length_ = 0;
};

// Removes the spares that runs of WholeFile keep: at the end of a run that
// writes files, so that it leaves none behind.
void drop_spare_files();

}  // namespace linkdata
