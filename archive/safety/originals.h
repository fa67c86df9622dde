// The file of originals: every byte of the archive as it was before its first
// import, saved for good the first time an import overwrites it, in
// "<archive>-original" beside it, so that restore can put it back. Bytes past
// the archive's original length are only ever this tool's and are never saved.
//
// Layout, all little-endian: a 32-byte header
//   "LDORIG01"  original archive length (u64)  entry count then (u32)
//   crc32 of the archive's header and index then (u32)
//   records on disk (u32: how many records the file holds, all whole)
//   crc32 of the 28 bytes before (u32)
// then records, each a 32-byte head and a body:
//   kind (u32)  entry (u32)  position (u64)  body length (u64)
//   crc32 of the body (u32)  crc32 of the 28 bytes before (u32)
// Kinds:
//   save  the original bytes at `position`, overwritten for `entry`; at most
//         kSideFileBlock of them per record
//   open  a run that writes the archive has begun
//   seal  that run has ended: `position` is the archive's length, the body the
//         crc32 of its header and index (u32), then for every changed entry
//         its number and the crc32 of its payload (u32 each): the archive as
//         this tool left it
//   drop  the body's entries (u32 each) were put back by a restore; their
//         saves no longer count
// Records are appended and forced to disk before the archive bytes they save
// are written. The file is created under a temporary name and renamed once its
// header and first records are on disk, so a file of originals without a
// whole header is damaged, never a crash's leftover. After each flush of
// records, the header's record count is raised and forced to disk too, and
// only then is the archive written: every counted record must read back
// whole. Only records past the count may fail their checks, as a crash's
// torn tail (nothing of the archive rests on them), and only when nothing
// else shows they reached the disk. Anything else that does not read back is
// damage: the file is then neither applied, cut nor set aside.
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
  uint32_t crc = 0;       // of the saved bytes
};

struct Originals {
  std::wstring path;
  platform::File file;
  bool present = false;  // a file with a whole header
  uint64_t original_length = 0;
  uint32_t entry_count = 0;
  uint32_t original_index_crc = 0;
  uint32_t records_on_disk = 0;          // as the header counts them
  uint32_t records = 0;                  // whole records read or appended
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
  uint64_t damaged_at = 0;    // for OriginalsLoad::damaged: the first byte that does not read back
  bool unflushed = false;
  bool name_unflushed = false;
};

enum class OriginalsLoad { none, ok, damaged, unreadable };

// Reads and checks every byte of the file of originals of an archive, opened
// for reading: none when there is none, unreadable when it cannot be opened
// or read, damaged when a byte of it does not read back (o->damaged_at says
// where). `archive` tells a torn tail from damage: the bytes that a crash's
// unfinished records would have saved are still the archive's own.
OriginalsLoad load_originals(const std::wstring& archive_name, platform::File& archive,
                             Originals* o);

// For a run that writes: the loaded file opened again for writing. False when
// it cannot be (a read-only medium).
bool originals_open_to_write(Originals& o);

// Whether the archive is what this tool left after its last write: its
// length, header and index, and the payload of every changed entry, as the
// last seal recorded them. After a run that did not end
// (a crash), the archive's header and index with the saved bytes put back
// must be the original ones.
bool originals_match(Originals& o, platform::File& archive);

// Whether the archive is already the original again wherever the file of
// originals could change it: its length, header and index, and every saved
// stretch. The file then has nothing left to put back.
bool archive_is_original(Originals& o, platform::File& archive);

// After a restore has written the saves back: whether each of them reads back
// from the archive as saved.
bool saves_read_back(platform::File& archive, const std::vector<SavedBytes>& saves);

// Renames the file of originals to the first free "<file>.<n>"; gives the new
// name, or an empty one when that failed.
std::wstring set_originals_aside(Originals& o);

// Removes a file of originals shown to hold nothing the archive lacks.
bool remove_originals(Originals& o);

// Before a run writes the archive: the file created when there is none (from
// the archive as it is now), its torn tail cut, an open record and the
// original records of `entries` saved, all forced to disk.
bool originals_begin_run(Originals& o, platform::File& archive,
                         const std::vector<uint32_t>& entries);

// Saves, for `entry`, whatever of [position, position + size) was not saved
// before and lies inside the archive's original length, through a bounded
// block. Not yet forced to disk: originals_flush does that, before the archive
// is written.
bool originals_save(Originals& o, platform::File& archive, uint32_t entry, uint64_t position,
                    uint64_t size);
// Forces the records to disk, then their count in the header.
bool originals_flush(Originals& o);

// The saves of `entries` no longer count: a restore has put them back. Forced
// to disk before anything follows it.
bool originals_drop(Originals& o, const std::vector<uint32_t>& entries);

// After a run: the fingerprint of the archive as the run left it, forced to
// disk and counted. `written` are the entries the run wrote;
// `known` holds the crc32 of the payloads of those whose bytes the run had in
// hand, and the others are read back from the archive.
bool originals_seal(Originals& o, platform::File& archive, const std::vector<uint32_t>& written,
                    const std::map<uint32_t, uint32_t>& known = {});

// The crc32 that a fingerprint keeps of a payload.
uint32_t payload_checksum(const uint8_t* data, size_t size);

// Whether saved bytes read back as saved, read in bounded blocks.
bool saved_intact(Originals& o, const SavedBytes& s);
// Reads n saved bytes from `offset` on; checked against their crc32 when they
// are the whole save (saved_intact checks a larger one).
bool read_saved(Originals& o, const SavedBytes& s, uint64_t offset, size_t n,
                std::vector<uint8_t>* bytes);

// For a listing, under the archive's lock: which entries an import has
// changed since the originals began and no restore has put back. Without a
// file of originals every flag is false.
OriginalsLoad changed_entries(const std::wstring& archive_name, platform::File& archive,
                              uint32_t entry_count, std::vector<bool>* changed,
                              uint64_t* damaged_at);

}  // namespace linkdata
