// Installing a mod (m + and m ++): what its files contribute to each archive,
// its overlaps with the layers there, and every archive planned before any
// is written.
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "archive/format/format.h"
#include "archive/modes/mod_folder.h"
#include "archive/modes/mods.h"
#include "archive/modes/mods_session.h"
#include "archive/modes/texture_patch.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "platform/text_encoding.h"

namespace linkdata {

using namespace mods_detail;

namespace {

// What a mod's files for one archive contribute: a loose file replaces its
// entry whole (its textures patched into it, as import does); textures
// alone are kept as the pixel data they come to in the entry as it is now.
bool read_contribution(Session& s, const ModLetterFiles& files, ModLayer* layer) {
  std::map<uint32_t, std::pair<const LooseFile*, std::vector<TextureFile>>> by_entry;
  for (const LooseFile& f : files.loose) {
    if (f.entry < 0 || uint32_t(f.entry) >= s.entry_count) {
      return fail(msg::entry_number_out_of_range(f.path));
    }
    by_entry[uint32_t(f.entry)].first = &f;
  }
  for (const TextureFile& t : files.textures) {
    if (t.entry >= s.entry_count) return fail(msg::texture_not_in_entry(t.path));
    by_entry[uint32_t(t.entry)].second.push_back(t);
  }
  for (auto& [n, given] : by_entry) {
    ModEntry e;
    e.entry = n;
    std::vector<uint8_t> content;
    if (given.first != nullptr) {
      const std::wstring& path = given.first->path;
      uint64_t size = 0;
      if (given.second.empty()) {
        // Only its size is needed now: its bytes come when its entry does.
        platform::File f = platform::File::open_read(path);
        if (!f.is_open()) return fail(msg::file_open_failed(path));
        if (!f.size(&size)) return fail(msg::file_read_failed(path));
        if (size > UINT32_MAX) return fail(msg::file_too_large(path));
      } else {
        const std::wstring failure = read_loose(path, &content);
        if (!failure.empty()) return fail(failure);
        size = content.size();
      }
      // Nothing compresses an empty file into a compressed entry: refused
      // here, as import refuses it, not half-way through the writes.
      std::vector<IndexRecord> records;
      if (!read_index_records(s.archive, n, 1, &records)) return fail(msg::kArchiveReadFailed);
      if (size == 0 && records[0].unpacked_size != 0) return fail(msg::compress_failed(path));
      if (given.second.empty()) {
        e.whole = true;
        e.content_size = uint32_t(size);
        s.deferred_layer = layer->name;
        s.deferred[n] = path;
        layer->entries.push_back(std::move(e));
        continue;
      }
    } else {
      const std::wstring failure = current_content(s, n, &content);
      if (!failure.empty()) return fail(failure);
    }
    if (!given.second.empty()) {
      const std::wstring failure = patch_textures(content.data(), content.size(), given.second);
      if (!failure.empty()) return fail(failure);
    }
    if (given.first != nullptr) {
      pack(s, n, std::move(content), &e);
    } else {
      for (const TextureFile& t : given.second) {
        const auto spot =
            locate_texture(content.data(), content.size(), t.sub_index, t.texture_index);
        if (!spot) return fail(msg::texture_not_in_entry(t.path));
        ModTexture mt{t.sub_index, t.texture_index, {}};
        mt.pixels.assign(content.begin() + long(spot->first),
                         content.begin() + long(spot->first + spot->second));
        e.textures.push_back(std::move(mt));
      }
    }
    layer->entries.push_back(std::move(e));
  }
  return true;
}

// Every overlap of the incoming layer with the other layers: conflicts
// named (refused unless it goes over them), and different textures of one
// entry, which go together, said.
bool check_overlaps(Session& s, const ModLayer& incoming, bool over_conflicts,
                    std::vector<std::wstring>* conflicts) {
  const std::wstring name = from_utf8(incoming.name);
  const std::wstring& a = s.archive_name;
  for (const ModLayer& other : s.record.layers) {
    if (!other.name.empty() && other.name == incoming.name) continue;
    const std::wstring them = layer_name(other);
    for (const ModEntry& mine : incoming.entries) {
      const ModEntry* theirs = find_entry(other, mine.entry);
      if (theirs == nullptr) continue;
      const uint32_t n = mine.entry;
      std::vector<std::wstring> found;
      if (mine.whole && theirs->whole) {
        found.push_back(msg::mod_conflict_entry(a, n, name, them));
      } else if (mine.whole || theirs->whole) {
        found.push_back(mine.whole ? msg::mod_conflict_whole(a, n, name, them)
                                   : msg::mod_conflict_whole(a, n, them, name));
      } else {
        for (const ModTexture& t : mine.textures) {
          for (const ModTexture& u : theirs->textures) {
            if (same_texture(t, u)) {
              found.push_back(msg::mod_conflict_texture(
                  a, n, texture_label(t.sub_index, t.texture_index), name, them));
            }
          }
        }
      }
      if (found.empty()) {
        s.notes.push_back(msg::mod_shares_entry(a, n, name, them));
      } else if (over_conflicts) {
        s.notes.push_back(msg::mod_overrides(a, n, name, them));
      } else {
        conflicts->insert(conflicts->end(), found.begin(), found.end());
      }
    }
  }
  return true;
}

// One archive's part of an install, planned before anything is written.
// False after a message that stops the install; a session without files of
// the mod, or whose mod is in and unchanged, plans nothing.
bool plan_install(Session& s, const std::wstring& name, const ModInfo& info, uint32_t fingerprint,
                  bool over_conflicts, std::vector<std::wstring>* conflicts, bool* planned) {
  *planned = false;
  ModLetterFiles files;
  const std::wstring refused = gather_mod_files(name, s.letter, &files);
  if (!refused.empty()) return fail(refused);
  if (files.loose.empty() && files.textures.empty()) return true;
  if (!open_session(s, ArchiveUse::write)) return false;
  const std::string key = to_utf8(name);
  auto existing = find_layer(s.record.layers, key);
  if (existing != s.record.layers.end() && existing->fingerprint == fingerprint &&
      !existing->partly_taken_out) {
    say(msg::mod_unchanged(s.archive_name, name));
    return true;
  }
  std::set<uint32_t> touched;
  for (const LooseFile& f : files.loose) touched.insert(uint32_t(std::max(f.entry, 0)));
  for (const TextureFile& t : files.textures) {
    touched.insert(uint32_t(std::min<uint64_t>(t.entry, UINT32_MAX)));
  }
  if (existing != s.record.layers.end()) {
    for (uint32_t n : entries_of(*existing)) touched.insert(n);
  }
  if (!reconcile(s, touched)) return false;
  ModLayer incoming;
  incoming.name = key;
  incoming.title = info.title;
  incoming.version = info.version;
  incoming.author = info.author;
  incoming.description = info.description;
  incoming.fingerprint = fingerprint;
  if (!read_contribution(s, files, &incoming)) return false;
  check_overlaps(s, incoming, over_conflicts, conflicts);
  s.update = find_layer(s.record.layers, key) != s.record.layers.end();
  s.on_top = !s.update || over_conflicts;
  s.incoming = std::move(incoming);
  s.touched.assign(touched.begin(), touched.end());
  *planned = true;
  return true;
}

}  // namespace

bool run_mod_install(const std::wstring& name, bool over_conflicts) {
  if (!valid_mod_name(name)) return fail(msg::mod_name_invalid(name));
  const std::wstring folder = mod_folder(name);
  if (platform::name_kind(folder) != platform::NameKind::folder) {
    return fail(msg::mod_folder_missing(folder));
  }
  const ModInfo info = read_mod_info(name);
  const uint32_t fingerprint = mod_fingerprint(name);
  // Every archive is planned, under its lock, before any is written: a
  // conflict in one leaves them all as they are.
  std::vector<std::unique_ptr<Session>> sessions;
  std::vector<std::wstring> conflicts;
  bool any_files = false;
  for (const std::wstring& letter : mod_letters(name)) {
    auto s = std::make_unique<Session>(letter);
    bool planned = false;
    if (!plan_install(*s, name, info, fingerprint, over_conflicts, &conflicts, &planned)) {
      return false;
    }
    any_files = any_files || planned || s->archive.is_open();
    if (planned) sessions.push_back(std::move(s));
  }
  if (!conflicts.empty()) {
    for (const std::wstring& line : conflicts) say(line);
    return fail(msg::mod_conflicts_refused(name));
  }
  if (!any_files) return fail(msg::mod_nothing_to_install(folder));
  for (const std::unique_ptr<Session>& s : sessions) {
    if (!keep_reconciled(*s)) return false;
    std::vector<ModLayer>& layers = s->record.layers;
    const auto existing = find_layer(layers, to_utf8(name));
    if (s->on_top) {
      if (existing != layers.end()) layers.erase(existing);
      layers.push_back(std::move(s->incoming));
    } else {
      *existing = std::move(s->incoming);
    }
    if (!rebuild_entries(*s, s->touched)) return false;
    for (const std::wstring& note : s->notes) say(note);
    say(s->update ? msg::mod_updated(s->archive_name, name)
                  : msg::mod_installed(s->archive_name, name));
  }
  return true;
}

}  // namespace linkdata
