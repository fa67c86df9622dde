// The record of the mods installed in one archive, "<archive>-mods" beside
// it: the stack of layers in the order they went in (the mods, and the
// player's own plain imports), what each one contributed, and the state in
// which the last run left every entry a layer changes. What a mod
// contributed is kept here, not read again from its folder, so that a mod
// can be taken out after its folder was deleted or changed.
//
// Layout, all little-endian: a 32-byte head
//   "LDMODS02"  kind (u32: 1 committed, 2 pending)  section count (u32)
//   file length (u64)  reserved (u32)  crc32 of the 28 bytes before (u32)
// then the sections, each a 24-byte head and a body:
//   type (u32)  reserved (u32)  body length (u64)  crc32 of the body (u32)
//   crc32 of the 20 bytes before (u32)
// Types: 1 the identity of the archive before its first import (the one its
// file of originals keeps: length, entry count, crc32 of header and index);
// 2 a layer; 3 the entry states; 4 (pending only, which holds no layer)
// the entries the change rewrites. Every byte is checked when read; anything that does not read
// back is damage, and a record of another archive is never applied.
//
// The crash rule. A change first writes, as "<archive>-mods.pending", the
// identity and the list of entries it rewrites, whole and forced to disk
// with its name, before its first archive write (what the change found of
// the player's own imports is committed before that). Then it rewrites
// those entries, each from its original bytes and the layers of the new
// stack, through the archive's writer (journal, file of originals), so each
// is old or new whatever the crash. Then the new record goes whole to
// "<archive>-mods.new", forced to disk, takes the name "<archive>-mods" in
// one step, and only then is the pending list removed. The next run that
// finds a pending list that reads back whole makes those entries again
// under the record then in place: the old stack before the rename, which
// undoes the change, or the new one after it, which finishes it; either
// way the archive, the file of originals and the record agree again. A
// pending list that does not read back was cut short before any archive
// write and goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace linkdata {

// A texture's pixel data as a mod imported it, by its place in the entry.
struct ModTexture {
  uint64_t sub_index = 0;
  uint64_t texture_index = 0;
  std::vector<uint8_t> pixels;
};

// What one layer does to one entry: the whole content replaced (textures of
// the same mod already in it), or textures patched in. A whole content is
// kept as the archive kept the entry when it was taken: a payload of zlib
// blocks (empty for an empty content) for a compressed entry, so that it
// goes into the entry's slot as it is, or the content itself for a plain
// one, so that the record costs about what those entries cost the archive.
struct ModEntry {
  uint32_t entry = 0;
  bool whole = false;
  std::vector<uint8_t> content;  // the payload, or the content when plain
  uint32_t content_size = 0;     // what it decodes to
  std::vector<ModTexture> textures;
  bool plain = false;  // content kept as it is
};

struct ModLayer {
  std::string name;                                 // UTF-8; empty for the player's own imports
  std::string title, version, author, description;  // mod.txt, as read
  uint32_t fingerprint = 0;                         // of the folder's files at install
  bool partly_taken_out = false;                    // a range restore took entries of it out
  std::vector<ModEntry> entries;                    // ascending entry number
};

// An entry as the last run left it: its index record and its payload's crc32.
struct EntryState {
  uint32_t entry = 0;
  uint8_t record[16] = {};
  uint32_t payload_crc = 0;
};

// The archive before its first import.
struct ModsIdentity {
  uint64_t original_length = 0;
  uint32_t entry_count = 0;
  uint32_t index_crc = 0;
};

struct ModsRecord {
  ModsIdentity identity;
  std::vector<ModLayer> layers;    // bottom first
  std::vector<EntryState> states;  // ascending entry number
  std::vector<uint32_t> touched;   // pending: entries the change rewrites
};

enum class ModsRecordKind : uint32_t { committed = 1, pending = 2 };

std::vector<uint8_t> encode_mods_record(const ModsRecord& record, ModsRecordKind kind);
// Strict: false for any byte that does not read back (a checksum, a length,
// a field past its section, bytes left over).
bool decode_mods_record(const uint8_t* data, size_t size, ModsRecord* out, ModsRecordKind* kind);

std::wstring mods_record_path(const std::wstring& archive_name);
std::wstring mods_pending_path(const std::wstring& archive_name);

enum class ModsLoad { none, ok, damaged, unreadable };

// Reads a record file (never through a link).
ModsLoad load_mods_file(const std::wstring& path, ModsRecord* out, ModsRecordKind* kind);

// The pending record, whole and on disk with its name.
bool write_mods_pending(const std::wstring& archive_name, const ModsRecord& record);
// The committed record put in place, then the pending one removed. With an
// empty stack the record files go instead.
bool commit_mods_record(const std::wstring& archive_name, const ModsRecord& record);
// Every record file of the archive removed (a whole restore took every
// layer out).
bool remove_mods_record(const std::wstring& archive_name);
// The record renamed to the first free "<record>.<n>", the pending one
// removed; the new name, or empty when that failed.
std::wstring set_aside_mods_record(const std::wstring& archive_name);

}  // namespace linkdata
