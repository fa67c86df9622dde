// The file of originals: every byte of the archive as it was before its first
// import, saved for good the first time an import overwrites it, in
// "<archive>-original" beside it, so that restore can put it back. Bytes past
// the archive's original length are only ever this tool's and are never saved.
// Its layout is in originals_records.h; the archive is checked against it in
// originals_check.h.
//
// Records are appended and forced to disk before the archive bytes they save
// are written. The file is created under a temporary name and renamed once its
// header and first records are on disk, so a file of originals without a
// whole header is damaged, never a crash's leftover. After each flush of
// records, the header's record count is raised and forced to disk too, and
// only then is the archive written. A file that does not read back is neither
// applied, cut nor set aside.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "archive/safety/originals_records.h"
#include "archive/safety/saved_coverage.h"
#include "platform/platform.h"

namespace linkdata {

std::wstring originals_path(const std::wstring& archive_name);

// One archive's file of originals, as read and as a run extends it. What it
// knows (saves, coverage, counts, fingerprint) is always what the file holds
// up to its last whole record, and the coverage is the union of the saves
// that count. After set_aside() or remove() it stands for no file, under the
// same name.
class Originals {
 public:
  // Reads and checks every byte of the file of originals of an archive,
  // opened for reading: none when there is none, unreadable when it cannot be
  // opened or read, damaged when a byte of it does not read back
  // (damaged_at() says where).
  OriginalsLoad load(const std::wstring& archive_name, platform::File& archive);

  const std::wstring& path() const { return path_; }
  uint64_t damaged_at() const { return content_.damaged_at; }
  // The archive before its first import.
  const OriginalsHeader& original() const { return content_.header; }
  const std::vector<SavedBytes>& saves() const { return content_.saves; }
  // The archive as the last run left it; none after a run that did not end.
  const Fingerprint* last_seal() const { return content_.sealed ? &content_.seal : nullptr; }

  // For a run that writes: the loaded file opened again for writing. False
  // when it cannot be (a read-only medium).
  bool open_to_write();
  // Renames the file to the first free "<file>.<n>"; gives the new name, or
  // an empty one when that failed.
  std::wstring set_aside();
  // Removes a file shown to hold nothing the archive lacks.
  bool remove();

  // Before a run writes the archive: the file created when there is none
  // (from the archive as it is now), its torn tail cut, an open record and
  // the original records of `entries` saved, all forced to disk.
  bool begin_run(platform::File& archive, const std::vector<uint32_t>& entries);
  // Saves, for `entry`, whatever of [position, position + size) was not saved
  // before and lies inside the archive's original length, through a bounded
  // block. Not yet forced to disk: flush() does that, before the archive is
  // written.
  bool save(platform::File& archive, uint32_t entry, uint64_t position, uint64_t size);
  // Forces the records to disk, then their count in the header.
  bool flush();
  // The saves of `entries` no longer count: a restore has put them back.
  // Forced to disk before anything follows it.
  bool drop(const std::vector<uint32_t>& entries);
  // After a run: the fingerprint of the archive as the run left it, forced to
  // disk and counted. `written` are the entries the run wrote; `known` holds
  // the crc32 of the payloads of those whose bytes the run had in hand, and
  // the others are read back from the archive.
  bool seal(platform::File& archive, const std::vector<uint32_t>& written,
            const std::map<uint32_t, uint32_t>& known = {});

  // Whether saved bytes read back as saved, read in bounded blocks.
  bool saved_intact(const SavedBytes& s);
  // Reads n saved bytes from `offset` on; checked against their crc32 when
  // they are the whole save (saved_intact checks a larger one).
  bool read_saved(const SavedBytes& s, uint64_t offset, size_t n, std::vector<uint8_t>* bytes);

 private:
  bool create_file(platform::File& archive, const std::vector<uint32_t>& entries);
  bool append(RecordKind kind, uint32_t entry, uint64_t position, const uint8_t* body,
              size_t length);
  bool first_records(platform::File& archive, const std::vector<uint32_t>& entries);
  void forget();
  // The coverage made anew from the saves that count.
  void cover_saves();

  std::wstring path_;
  platform::File file_;
  bool present_ = false;  // a file with a whole header
  OriginalsContent content_;
  SavedCoverage covered_;
  // The last seal's payload crcs hold for every entry this run has not written.
  bool crcs_current_ = false;
  bool unflushed_ = false;
  bool name_unflushed_ = false;
};

}  // namespace linkdata
