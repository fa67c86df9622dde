// What the parts of mode m share, and no other mode uses: one archive as a
// mods run holds it, the entries as the layers make them, and the rebuild of
// the entries a change touches. The mode's own entry points are in mods.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/safety/locked_archive.h"
#include "archive/safety/mods_record.h"
#include "archive/safety/originals.h"
#include "platform/platform.h"
#include "platform/worker_pool.h"
#include "platform/working_paths.h"

namespace linkdata::mods_detail {

// One archive as a mods run holds it: under its lock, its file of originals
// loaded, and its record of mods as the run will leave it.
struct Session {
  explicit Session(const std::wstring& l) : letter(l), archive_name(kArchivePrefix + l) {}
  Session(const std::wstring& l, const std::wstring& name) : letter(l), archive_name(name) {}
  std::wstring letter;
  std::wstring archive_name;
  platform::File archive;
  uint32_t entry_count = 0;
  uint64_t length_at_start = 0;
  Originals originals;
  bool has_originals = false;
  // The saves that count, as they stood before the run's writes: the group
  // writer adds to the file of originals on its own thread meanwhile, and
  // what it adds are first touches of entries already rebuilt, never of the
  // original bytes of one still to come.
  std::vector<SavedBytes> saves;
  ModsRecord record;
  // Planned by install: the layer it brings (taking the place of its older
  // version, or on top), the entries it rewrites, and what is said once it
  // is in.
  ModLayer incoming;
  bool on_top = true;
  std::vector<uint32_t> touched;
  std::vector<std::wstring> notes;
  bool update = false;
  // Loose files of the incoming layer that replace an entry with nothing
  // patched into them, by entry: read and compressed for the record as
  // their entry is rebuilt, beside the writes of the entries before it,
  // as import reads its files, not all of them before the first write.
  std::string deferred_layer;
  std::map<uint32_t, std::wstring> deferred;
  bool finished_pending = false;  // a change a crash cut short was settled
  bool reconciled = false;        // the record took in what changed outside mods
  // Compresses the whole contents the record keeps, on every CPU.
  WorkerPool encoders{helper_threads()};
};

// ---- Layers, entries and textures by name (mods_session.cpp) ----

std::wstring layer_name(const ModLayer& layer);
ModEntry* find_entry(ModLayer& layer, uint32_t entry);
const ModEntry* find_entry(const ModLayer& layer, uint32_t entry);
std::wstring texture_label(uint64_t sub, uint64_t index);
std::optional<std::pair<size_t, size_t>> locate_texture(const uint8_t* content, size_t size,
                                                        uint64_t sub, uint64_t index);
bool same_texture(const ModTexture& a, const ModTexture& b);
std::vector<uint32_t> entries_of(const ModLayer& layer);
std::vector<ModLayer>::iterator find_layer(std::vector<ModLayer>& layers, const std::string& name);
std::vector<std::wstring> letters_with_records();

// ---- The archive opened, and its side files judged (mods_session.cpp) ----

// The archive under its lock, as import opens it, with its file of originals
// and its record of mods. A record that no longer describes the archive (a
// game update replaced it, or a copy of the original came back) is set
// aside, never deleted; a change cut short by a crash is finished first.
bool open_session(Session& s, ArchiveUse use);
bool judge_side_files(Session& s, ArchiveUse use, bool writable);

// ---- Entries as the layers make them (mods_layers.cpp) ----

std::wstring current_content(Session& s, uint32_t n, std::vector<uint8_t>* content);
void pack(Session& s, uint32_t n, std::vector<uint8_t> content, ModEntry* e);
bool layered(const std::vector<ModLayer>& layers, uint32_t n);
std::wstring layered_content(Session& s, const std::vector<ModLayer>& layers, uint32_t n,
                             std::vector<uint8_t>* content);
bool current_state(Session& s, uint32_t n, EntryState* out, bool seal_holds = true);
void set_state(ModsRecord& r, const EntryState& state);
void drop_state(ModsRecord& r, uint32_t n);
bool reconcile(Session& s, const std::set<uint32_t>& touched);
bool keep_reconciled(Session& s);

// ---- Writing the entries a change touches (mods_rebuild.cpp) ----

std::wstring read_loose(const std::wstring& path, std::vector<uint8_t>* content);
bool rebuild_entries(Session& s, const std::vector<uint32_t>& touched);

}  // namespace linkdata::mods_detail
