// The file of originals: every byte of the archive as it was before its first
// import, saved for good the first time an import overwrites it, in
// "<archive>-original" beside it, so that restore can put it back. Bytes past
// the archive's original length are only ever this tool's and are never saved.
//
// Layout, all little-endian: a 32-byte header
//   "LDORIG01"  original archive length (u64)  entry count then (u32)
//   crc32 of the archive's header and index then (u32)  0 (u32)
//   crc32 of the 28 bytes before (u32)
// then records, each a 32-byte head and a body:
//   kind (u32)  entry (u32)  position (u64)  body length (u64)
//   crc32 of the body (u32)  crc32 of the 28 bytes before (u32)
// Kinds:
//   save  the original bytes at `position`, overwritten for `entry`
//   open  a run that writes the archive has begun
//   seal  that run has ended: `position` is the archive's length, the body the
//         crc32 of its header and index (u32), then for every changed entry
//         its number and the crc32 of its payload (u32 each): the archive as
//         this tool left it
//   drop  the body's entries (u32 each) were put back by a restore; their
//         saves no longer count
// Records are appended and forced to disk before the archive bytes they save
// are written. The first record that fails its checks ends the file: it is
// the torn tail of a run that crashed, and the next run that writes cuts it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace linkdata {

std::wstring originals_path(const std::wstring& archive_name);

struct SavedBytes {
  uint32_t entry = 0;
  uint64_t position = 0;  // in the archive
  uint64_t size = 0;
  uint64_t saved_at = 0;  // in the file of originals
};

struct Originals {
  std::wstring path;
  platform::File file;
  bool present = false;  // a file with a whole header
  uint64_t original_length = 0;
  uint32_t entry_count = 0;
  uint32_t original_index_crc = 0;
  std::vector<SavedBytes> saves;         // those that count, in file order
  std::map<uint64_t, uint64_t> covered;  // saved archive bytes: start -> end
  // The last run ended with a seal, whose fingerprint follows.
  bool sealed = false;
  uint64_t sealed_length = 0;
  uint32_t sealed_index_crc = 0;
  std::map<uint32_t, uint32_t> payload_crcs;
  bool crcs_current = false;  // payload_crcs hold for every entry this run has not written
  uint64_t end = 0;           // where the next record goes
  uint64_t file_length = 0;   // past `end`: a torn tail
  bool unflushed = false;
  bool name_unflushed = false;
};

enum class OriginalsLoad { none, ok, unreadable };

// Reads the file of originals of an archive: none when there is none (or
// only what a crash left of its creation), unreadable when it cannot be
// opened or its header is damaged.
OriginalsLoad load_originals(const std::wstring& archive_name, bool for_writing, Originals* o);

// Whether the archive is what this tool left after its last write: its
// length, header and index, and (with `payloads`) the payload of every
// changed entry, as the last seal recorded them. After a run that did not end
// (a crash), the archive's header and index with the saved bytes put back
// must be the original ones.
bool originals_match(Originals& o, platform::File& archive, bool payloads);

// Renames the file of originals to the first free "<file>.<n>"; gives the new
// name, or an empty one when that failed.
std::wstring set_originals_aside(Originals& o);

// Before a run writes the archive: the file created when there is none (from
// the archive as it is now), its torn tail cut, an open record and the
// original records of `entries` saved, all forced to disk.
bool originals_begin_run(Originals& o, platform::File& archive,
                         const std::vector<uint32_t>& entries);

// Saves, for `entry`, whatever of [position, position + size) was not saved
// before and lies inside the archive's original length. Not yet forced to
// disk: originals_flush does that, before the archive is written.
bool originals_save(Originals& o, platform::File& archive, uint32_t entry, uint64_t position,
                    uint64_t size);
bool originals_flush(Originals& o);

// The saves of `entries` no longer count: a restore has put them back.
bool originals_drop(Originals& o, const std::vector<uint32_t>& entries);

// After a run: the fingerprint of the archive as the run left it, forced to
// disk. `written` are the entries the run wrote; `known` holds the crc32 of
// the payloads of those whose bytes the run had in hand, and the others are
// read back from the archive.
bool originals_seal(Originals& o, platform::File& archive, const std::vector<uint32_t>& written,
                    const std::map<uint32_t, uint32_t>& known = {});

// The crc32 that a fingerprint keeps of a payload.
uint32_t payload_checksum(const uint8_t* data, size_t size);

// Reads saved bytes back.
bool read_saved(Originals& o, const SavedBytes& s, std::vector<uint8_t>* bytes);

// For a listing, under the archive's lock: which entries an import has
// changed since the originals began and no restore has put back. False when
// a file of originals exists but cannot be read; without one every flag is
// false.
bool changed_entries(const std::wstring& archive_name, uint32_t entry_count,
                     std::vector<bool>* changed);

}  // namespace linkdata
