// What the parts of mode m share: layers, entries and textures found by
// name, the archives that have a record of mods, and an archive opened with
// its side files judged.
#include "archive/modes/mods_session.h"

#include <algorithm>
#include <set>

#include "archive/format/format.h"
#include "archive/format/package.h"
#include "archive/modes/open_archive.h"
#include "archive/safety/originals_check.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "platform/text_encoding.h"
#include "textures/container.h"
#include "textures/dds.h"

namespace linkdata::mods_detail {

// ---- Layers, entries and textures by name ----

std::wstring layer_name(const ModLayer& layer) {
  return layer.name.empty() ? std::wstring(msg::kOwnImports) : from_utf8(layer.name);
}

ModEntry* find_entry(ModLayer& layer, uint32_t entry) {
  auto it = std::lower_bound(layer.entries.begin(), layer.entries.end(), entry,
                             [](const ModEntry& e, uint32_t n) { return e.entry < n; });
  return it != layer.entries.end() && it->entry == entry ? &*it : nullptr;
}

const ModEntry* find_entry(const ModLayer& layer, uint32_t entry) {
  return find_entry(const_cast<ModLayer&>(layer), entry);
}

std::wstring texture_label(uint64_t sub, uint64_t index) {
  return std::to_wstring(sub) + L"_" + std::to_wstring(index);
}

// Where a texture's pixel data lies in an entry's content, as export finds it.
std::optional<std::pair<size_t, size_t>> locate_texture(const uint8_t* content, size_t size,
                                                        uint64_t sub, uint64_t index) {
  for (const ContainerSpan& span : find_texture_containers(content, size)) {
    if (span.sub_index != sub) continue;
    for (const TextureDescription& t : read_texture_container(content + span.offset, span.size)) {
      if (t.texture_index == index && exported_as_dds(t)) {
        return std::make_pair(span.offset + size_t(t.data_position), size_t(t.data_size));
      }
    }
  }
  return std::nullopt;
}

bool same_texture(const ModTexture& a, const ModTexture& b) {
  return a.sub_index == b.sub_index && a.texture_index == b.texture_index;
}

std::vector<uint32_t> entries_of(const ModLayer& layer) {
  std::vector<uint32_t> out;
  for (const ModEntry& e : layer.entries) out.push_back(e.entry);
  return out;
}

std::vector<ModLayer>::iterator find_layer(std::vector<ModLayer>& layers, const std::string& name) {
  return std::find_if(layers.begin(), layers.end(),
                      [&name](const ModLayer& l) { return !l.name.empty() && l.name == name; });
}

// The archives that have a record of mods, by letter.
std::vector<std::wstring> letters_with_records() {
  std::vector<platform::ListedName> listing;
  platform::list_directory(L".", &listing);
  std::set<std::wstring> letters;
  const std::wstring prefix = kArchivePrefix;
  for (const platform::ListedName& l : listing) {
    if (l.name.size() < prefix.size() + 1 || l.name.compare(0, prefix.size(), prefix) != 0) {
      continue;
    }
    const std::wstring rest = l.name.substr(prefix.size() + 1);
    if (rest == L"-mods" || rest == L"-mods.pending") {
      letters.insert(l.name.substr(prefix.size(), 1));
    }
  }
  return std::vector<std::wstring>(letters.begin(), letters.end());
}

// ---- The archive opened, and its side files judged ----

namespace {

ModsIdentity identity_now(Session& s) {
  ModsIdentity id;
  if (s.has_originals) {
    id.original_length = s.originals.original().original_length;
    id.entry_count = s.originals.original().entry_count;
    id.index_crc = s.originals.original().index_crc;
  } else {
    s.archive.size(&id.original_length);
    index_checksum(s.archive, nullptr, &id.index_crc, &id.entry_count);
  }
  return id;
}

bool same_identity(const ModsIdentity& a, const ModsIdentity& b) {
  return a.original_length == b.original_length && a.entry_count == b.entry_count &&
         a.index_crc == b.index_crc;
}

}  // namespace

bool open_session(Session& s, ArchiveUse use) {
  if (!path_exists(s.archive_name)) return fail(msg::archive_missing(s.archive_name));
  LockedArchive locked = open_archive_locked(s.archive_name, use);
  show_opening(locked);
  if (locked.status != ArchiveOpenStatus::opened) {
    return locked.status == ArchiveOpenStatus::cannot_open ? fail(msg::kArchiveOpenFailed) : false;
  }
  s.archive = std::move(locked.file);
  return judge_side_files(s, use, locked.writable);
}

// The archive in hand, under its lock: its header, its file of originals and
// its record of mods judged, and a change a crash cut short settled.
bool judge_side_files(Session& s, ArchiveUse use, bool writable) {
  ArchiveHeader header;
  if (!read_header_reporting(s.archive, &header)) return false;
  if (header.offset_unit != kWriteUnit) return fail(msg::kOffsetUnitNot2048);
  s.entry_count = header.entry_count;
  if (!s.archive.size(&s.length_at_start)) return fail(msg::kArchiveReadFailed);
  if (record_position(s.entry_count) > s.length_at_start) return fail(msg::kIndexPastEnd);
  const bool writes = use == ArchiveUse::write;
  if (writes && !writable) return fail(msg::kArchiveNotWritable);

  switch (s.originals.load(s.archive_name, s.archive)) {
    case OriginalsLoad::none:
      break;
    case OriginalsLoad::unreadable:
      return fail(msg::originals_unreadable(s.originals.path()));
    case OriginalsLoad::damaged:
      return fail(
          msg::originals_damaged(s.originals.path(), s.archive_name, s.originals.damaged_at()));
    case OriginalsLoad::ok:
      s.has_originals = true;
      break;
  }

  const std::wstring record_path = mods_record_path(s.archive_name);
  ModsRecord committed, pending;
  ModsRecordKind kind = ModsRecordKind::committed, pending_kind = ModsRecordKind::pending;
  const ModsLoad c = load_mods_file(record_path, &committed, &kind);
  ModsLoad p = load_mods_file(mods_pending_path(s.archive_name), &pending, &pending_kind);
  if (c == ModsLoad::damaged || c == ModsLoad::unreadable ||
      (c == ModsLoad::ok && kind != ModsRecordKind::committed)) {
    return fail(msg::mods_record_damaged(record_path, s.archive_name));
  }
  // A pending record that does not read whole was cut short before the
  // change wrote anything.
  if (p == ModsLoad::damaged || (p == ModsLoad::ok && pending_kind != ModsRecordKind::pending)) {
    if (writes && !platform::remove_file(mods_pending_path(s.archive_name))) {
      return fail(msg::kModsRecordWriteFailed);
    }
    p = ModsLoad::none;
  }
  if (p == ModsLoad::unreadable) {
    return fail(msg::mods_record_damaged(mods_pending_path(s.archive_name), s.archive_name));
  }
  const bool has_record = c == ModsLoad::ok || p == ModsLoad::ok;
  const ModsIdentity recorded = p == ModsLoad::ok ? pending.identity : committed.identity;

  bool stale = false;
  if (s.has_originals && !originals_match(s.originals, s.archive)) {
    stale = true;
    if (writes) {
      if (archive_is_original(s.originals, s.archive)) {
        if (!s.originals.remove()) return fail(msg::kOriginalsWriteFailed);
      } else {
        const std::wstring aside = s.originals.set_aside();
        if (aside.empty()) return fail(msg::kOriginalsWriteFailed);
        say(msg::archive_replaced_originals_set_aside(s.archive_name, aside));
      }
      s.has_originals = false;
      s.originals = Originals();
      s.originals.load(s.archive_name, s.archive);
    }
  } else if (s.has_originals && writes && !s.originals.open_to_write()) {
    return fail(msg::kOriginalsWriteFailed);
  }
  s.saves = s.originals.saves();
  const ModsIdentity now = identity_now(s);
  if (has_record && !stale && !same_identity(recorded, now)) stale = true;
  if (has_record && !s.has_originals && !stale) {
    // The archive is the original and nothing is changed: a whole restore
    // took every layer out.
    if (writes && !remove_mods_record(s.archive_name)) return fail(msg::kModsRecordWriteFailed);
    s.record = ModsRecord{};
    s.record.identity = now;
    return true;
  }
  if (has_record && stale) {
    if (!writes) {
      s.record = std::move(committed);
      s.record.states.clear();
      s.record.identity = ModsIdentity{};  // shown as set aside
      return true;
    }
    if (c != ModsLoad::ok) {
      // Only a pending list, of a first install that a crash cut short:
      // nothing of it is this archive's any more.
      if (!remove_mods_record(s.archive_name)) return fail(msg::kModsRecordWriteFailed);
    } else {
      const std::wstring aside = set_aside_mods_record(s.archive_name);
      if (aside.empty()) return fail(msg::kModsRecordWriteFailed);
      say(msg::mods_set_aside(s.archive_name, aside));
    }
    s.record = ModsRecord{};
    s.record.identity = now;
    return true;
  }
  if (c == ModsLoad::ok) s.record = std::move(committed);
  s.record.identity = now;
  if (p == ModsLoad::ok && writes) {
    // A change cut short: the entries it was rewriting are made again as
    // the committed record describes them, before the change or, once its
    // record was in place, after it.
    if (!rebuild_entries(s, pending.touched)) return false;
    say(msg::mods_pending_settled(s.archive_name));
    s.finished_pending = true;
  }
  return true;
}

}  // namespace linkdata::mods_detail
