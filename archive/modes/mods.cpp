#include "archive/modes/mods.h"

#include <algorithm>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "archive/format/codec.h"
#include "archive/format/entry_content.h"
#include "archive/format/format.h"
#include "archive/format/package.h"
#include "archive/modes/gallery.h"
#include "archive/modes/import_names.h"
#include "archive/modes/listing_format.h"
#include "archive/modes/mod_folder.h"
#include "archive/modes/open_archive.h"
#include "archive/modes/texture_patch.h"
#include "archive/safety/archive_writer.h"
#include "archive/safety/checked_reads.h"
#include "archive/safety/mods_record.h"
#include "archive/safety/originals.h"
#include "archive/safety/originals_check.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "platform/worker_pool.h"
#include "platform/working_paths.h"
#include "textures/container.h"
#include "textures/dds.h"

namespace linkdata {
namespace {

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

ModEntry& entry_in(ModLayer& layer, uint32_t entry) {
  auto it = std::lower_bound(layer.entries.begin(), layer.entries.end(), entry,
                             [](const ModEntry& e, uint32_t n) { return e.entry < n; });
  if (it == layer.entries.end() || it->entry != entry) {
    it = layer.entries.insert(it, ModEntry{});
    it->entry = entry;
  }
  return *it;
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

// ---- The archive opened, and its side files judged ----

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

bool rebuild_entries(Session& s, const std::vector<uint32_t>& touched);

// The archive under its lock, as import opens it, with its file of originals
// and its record of mods. A record that no longer describes the archive (a
// game update replaced it, or a copy of the original came back) is set
// aside, never deleted; a change cut short by a crash is finished first.
bool judge_side_files(Session& s, ArchiveUse use, bool writable);

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

// ---- Entries as the layers make them ----

std::set<uint32_t> saved_entries(const Session& s) {
  std::set<uint32_t> out;
  if (s.has_originals) {
    for (const SavedBytes& b : s.originals.saves()) out.insert(b.entry);
  }
  return out;
}

// Bytes of the archive as it was before its first import: the archive's
// own, with the saved ones put over them.
bool read_original_bytes(Session& s, uint64_t pos, size_t n, std::vector<uint8_t>* out) {
  out->assign(n, 0);
  if (n == 0) return true;
  if (!read_present(s.archive, pos, out->data(), n)) return false;
  for (const SavedBytes& b : s.saves) {
    const uint64_t from = std::max(pos, b.position), to = std::min(pos + n, b.position + b.size);
    if (from >= to) continue;
    std::vector<uint8_t> piece;
    if (!s.originals.read_saved(b, from - b.position, size_t(to - from), &piece)) return false;
    std::copy(piece.begin(), piece.end(), out->begin() + long(from - pos));
  }
  return true;
}

std::wstring original_content(Session& s, uint32_t n, std::vector<uint8_t>* content) {
  std::vector<uint8_t> rec;
  if (!read_original_bytes(s, record_position(n), kRecordSize, &rec)) return entry_read_failure();
  const IndexRecord r = decode_record(rec.data());
  std::vector<uint8_t> payload;
  if (!read_original_bytes(s, byte_position(r, kWriteUnit), r.stored_size, &payload)) {
    return entry_read_failure();
  }
  if (r.unpacked_size == 0) {
    *content = std::move(payload);
    return std::wstring();
  }
  DecodeResult d = decode_payload(payload.data(), payload.size(), r.stored_size);
  if (d.status == DecodeStatus::ok && d.content.size() != r.unpacked_size) {
    d.status = DecodeStatus::length_mismatch;
  }
  if (d.status != DecodeStatus::ok) return entry_decode_failure(n, d.status);
  content->assign(d.content.data(), d.content.data() + d.content.size());
  return std::wstring();
}

std::wstring current_content(Session& s, uint32_t n, std::vector<uint8_t>* content) {
  std::vector<IndexRecord> records;
  if (!read_index_records(s.archive, n, 1, &records)) return msg::kArchiveReadFailed;
  uint64_t length = 0;
  if (!s.archive.size(&length)) return msg::kArchiveReadFailed;
  return read_entry_content(s.archive, length, kWriteUnit, n, records[0], content);
}

// A whole content as the record keeps it, and back: compressed as the
// archive keeps a compressed entry, or as it is for an entry the archive
// keeps plain, which is then neither compressed for the record nor decoded
// to be written.
void pack(Session& s, uint32_t n, std::vector<uint8_t> content, ModEntry* e) {
  e->whole = true;
  e->content_size = uint32_t(content.size());
  e->content.clear();
  std::vector<IndexRecord> records;
  e->plain = read_index_records(s.archive, n, 1, &records) && records[0].unpacked_size == 0;
  if (e->plain) {
    e->content = std::move(content);
    return;
  }
  if (content.empty()) return;
  EncodeResult encoded =
      compress_payload_within(content.data(), e->content_size, UINT64_MAX, &s.encoders);
  if (encoded.status != EncodeStatus::ok) throw std::bad_alloc();
  e->content = std::move(encoded.payload);
}

bool unpack(const ModEntry& e, std::vector<uint8_t>* content) {
  content->clear();
  if (e.plain || e.content_size == 0) {
    *content = e.content;
    return content->size() == e.content_size;
  }
  DecodeResult d = decode_payload(e.content.data(), e.content.size(), uint32_t(e.content.size()));
  if (d.status != DecodeStatus::ok || d.content.size() != e.content_size) return false;
  content->assign(d.content.data(), d.content.data() + d.content.size());
  return true;
}

bool layered(const std::vector<ModLayer>& layers, uint32_t n) {
  for (const ModLayer& l : layers) {
    if (find_entry(l, n) != nullptr) return true;
  }
  return false;
}

// An entry's content under a stack: its original content, then each layer
// from the bottom: a whole replacement takes the place of everything below
// it, a texture goes where the content below has that texture at that size.
// The original content is not decoded under a whole replacement.
std::wstring layered_content(Session& s, const std::vector<ModLayer>& layers, uint32_t n,
                             std::vector<uint8_t>* content) {
  size_t from = 0;
  for (size_t i = 0; i < layers.size(); ++i) {
    const ModEntry* e = find_entry(layers[i], n);
    if (e != nullptr && e->whole) from = i;
  }
  const ModEntry* base = layers.empty() ? nullptr : find_entry(layers[from], n);
  if (base == nullptr || !base->whole) {
    std::wstring failure = original_content(s, n, content);
    if (!failure.empty()) return failure;
  }
  for (size_t i = from; i < layers.size(); ++i) {
    const ModEntry* e = find_entry(layers[i], n);
    if (e == nullptr) continue;
    if (e->whole && !unpack(*e, content)) {
      return msg::mods_record_damaged(mods_record_path(s.archive_name), s.archive_name);
    }
    for (const ModTexture& t : e->textures) {
      const auto spot =
          locate_texture(content->data(), content->size(), t.sub_index, t.texture_index);
      if (spot && spot->second == t.pixels.size()) {
        std::copy(t.pixels.begin(), t.pixels.end(), content->begin() + long(spot->first));
      }
    }
  }
  return std::wstring();
}

// An entry's index record and payload checksum. Opening the archive checked
// every changed entry's payload against the last seal of the file of
// originals, so before a run writes, the seal's checksum is the payload's
// and it need not be read again.
bool current_state(Session& s, uint32_t n, EntryState* out, bool seal_holds = true) {
  uint64_t length = 0;
  out->entry = n;
  if (!read_exactly(s.archive, record_position(n), out->record, kRecordSize)) return false;
  const Fingerprint* seal = seal_holds && s.has_originals ? s.originals.last_seal() : nullptr;
  if (seal != nullptr) {
    const auto crc = seal->payload_crcs.find(n);
    if (crc != seal->payload_crcs.end()) {
      out->payload_crc = crc->second;
      return true;
    }
  }
  return s.archive.size(&length) && entry_payload_crc(s.archive, length, n, &out->payload_crc);
}

const EntryState* state_of(const ModsRecord& r, uint32_t n) {
  auto it = std::lower_bound(r.states.begin(), r.states.end(), n,
                             [](const EntryState& e, uint32_t k) { return e.entry < k; });
  return it != r.states.end() && it->entry == n ? &*it : nullptr;
}

void set_state(ModsRecord& r, const EntryState& state) {
  auto it = std::lower_bound(r.states.begin(), r.states.end(), state.entry,
                             [](const EntryState& e, uint32_t k) { return e.entry < k; });
  if (it != r.states.end() && it->entry == state.entry) {
    *it = state;
  } else {
    r.states.insert(it, state);
  }
}

void drop_state(ModsRecord& r, uint32_t n) {
  r.states.erase(std::remove_if(r.states.begin(), r.states.end(),
                                [n](const EntryState& e) { return e.entry == n; }),
                 r.states.end());
}

// What changed the archive since the record was written, outside of mods:
// an entry a range restore put back leaves every layer (they are then
// partly taken out); an entry a plain import wrote becomes a change of the
// player's own, on top, so that taking a mod out never undoes it.
bool reconcile(Session& s, const std::set<uint32_t>& touched) {
  const std::set<uint32_t> saved = saved_entries(s);
  std::set<uint32_t> entries = touched;
  for (const EntryState& e : s.record.states) entries.insert(e.entry);
  for (uint32_t n : entries) {
    if (n >= s.entry_count) continue;
    const EntryState* was = state_of(s.record, n);
    // Never written since the original: nothing to read.
    if (was == nullptr && saved.count(n) == 0) continue;
    EntryState now;
    if (!current_state(s, n, &now)) return fail(msg::kArchiveReadFailed);
    const bool unchanged = was != nullptr ? std::equal(now.record, now.record + 16, was->record) &&
                                                now.payload_crc == was->payload_crc
                                          : saved.count(n) == 0;
    if (unchanged) continue;
    if (saved.count(n) == 0) {
      for (ModLayer& layer : s.record.layers) {
        const size_t before = layer.entries.size();
        layer.entries.erase(std::remove_if(layer.entries.begin(), layer.entries.end(),
                                           [n](const ModEntry& e) { return e.entry == n; }),
                            layer.entries.end());
        if (layer.entries.size() != before) layer.partly_taken_out = true;
      }
      drop_state(s.record, n);
      s.reconciled = true;
      continue;
    }
    std::vector<uint8_t> content;
    const std::wstring failure = current_content(s, n, &content);
    if (!failure.empty()) return fail(failure);
    if (s.record.layers.empty() || !s.record.layers.back().name.empty()) {
      s.record.layers.emplace_back();
    }
    ModEntry& own = entry_in(s.record.layers.back(), n);
    pack(s, n, std::move(content), &own);
    own.textures.clear();
    set_state(s.record, now);
    s.reconciled = true;
  }
  return true;
}

// What reconcile took in is committed before a change begins: a crash in
// the change makes its entries again under the committed record, which must
// already hold the player's own imports it found.
bool keep_reconciled(Session& s) {
  if (!s.reconciled) return true;
  s.reconciled = false;
  return commit_mods_record(s.archive_name, s.record) || fail(msg::kModsRecordWriteFailed);
}

// ---- Writing the entries a change touches ----

// As import decides it: a slot is rewritten in place only where it lies in
// the payload area of the archive as it was when the run began.
bool slot_usable(const Session& s, uint64_t position, uint64_t size) {
  if (size == 0) return true;
  return position >= record_position(s.entry_count) && position <= s.length_at_start &&
         size <= s.length_at_start - position;
}

struct Rebuild {
  Session& s;
  ArchiveWriter& writer;
  WorkerPool& pool;
  std::vector<uint32_t> written;
  std::map<uint32_t, uint32_t> crcs;
  std::vector<SavedBytes> put_back;
};

// The entry's content written as import writes a loose file of that size:
// compressed into its slot, plain into it, or appended plain.
bool write_content(Rebuild& r, uint32_t n, std::vector<uint8_t> content) {
  if (content.size() > UINT32_MAX) return fail(msg::kArchiveWriteFailed);
  std::vector<IndexRecord> records;
  if (!read_index_records(r.s.archive, n, 1, &records)) return fail(msg::kArchiveReadFailed);
  const IndexRecord& rec = records[0];
  const uint64_t position = byte_position(rec, kWriteUnit);
  const uint64_t slot = slot_size(rec.stored_size);
  const uint32_t size = uint32_t(content.size());
  content.resize(size_t(slot_size(size)), 0);
  PendingWrite record{record_position(n), std::vector<uint8_t>(kRecordSize)};
  r.written.push_back(n);
  // An empty content has no compressed form: it is an empty plain entry.
  if (rec.unpacked_size != 0 && size > 0) {
    EncodeResult encoded = compress_payload_within(content.data(), size, slot, &r.pool);
    if (encoded.status == EncodeStatus::failed) return fail(msg::kArchiveWriteFailed);
    if (encoded.status == EncodeStatus::ok && slot_usable(r.s, position, encoded.payload.size())) {
      const uint32_t stored = uint32_t(encoded.payload.size());
      encode_record(IndexRecord{rec.payload_offset, stored, size}, record.bytes.data());
      r.crcs[n] = payload_checksum(encoded.payload.data(), stored);
      r.writer.write_in_place(n, std::move(record), {position, std::move(encoded.payload)}, {});
      return show(r.writer.start_if_full());
    }
  } else if (size <= slot && slot_usable(r.s, position, size)) {
    encode_record(IndexRecord{rec.payload_offset, size, 0}, record.bytes.data());
    r.crcs[n] = payload_checksum(content.data(), size);
    content.resize(size);
    r.writer.write_in_place(n, std::move(record), {position, std::move(content)}, {});
    return show(r.writer.start_if_full());
  }
  r.crcs[n] = payload_checksum(content.data(), size);
  if (!show(r.writer.finish())) return false;
  if (!r.writer.append_plain(n, content, size, {})) {
    return show(r.writer.commit_all()) && fail(msg::kArchiveWriteFailed);
  }
  return show(r.writer.start_if_full());
}

// An entry whose top layer replaces it whole is that layer's content, which
// the record keeps compressed as the archive keeps an entry: where the
// entry is compressed and that payload fits its slot, it goes in as it is,
// with no decoding and no compressing. Otherwise *written stays false.
bool write_kept_payload(Rebuild& r, uint32_t n, bool* written) {
  *written = false;
  const ModEntry* top = nullptr;
  for (const ModLayer& layer : r.s.record.layers) {
    if (const ModEntry* e = find_entry(layer, n)) top = e;
  }
  if (top == nullptr || !top->whole || top->plain || top->content_size == 0 ||
      !top->textures.empty()) {
    return true;
  }
  std::vector<IndexRecord> records;
  if (!read_index_records(r.s.archive, n, 1, &records)) return fail(msg::kArchiveReadFailed);
  const IndexRecord& rec = records[0];
  const uint64_t position = byte_position(rec, kWriteUnit);
  const uint64_t stored = top->content.size();
  if (rec.unpacked_size == 0 || stored > slot_size(rec.stored_size) ||
      !slot_usable(r.s, position, stored)) {
    return true;
  }
  PendingWrite record{record_position(n), std::vector<uint8_t>(kRecordSize)};
  encode_record(IndexRecord{rec.payload_offset, uint32_t(stored), top->content_size},
                record.bytes.data());
  r.written.push_back(n);
  r.crcs[n] = payload_checksum(top->content.data(), size_t(stored));
  r.writer.write_in_place(n, std::move(record), {position, top->content}, {});
  *written = true;
  return show(r.writer.start_if_full());
}

// An entry that no layer changes any more gets its original bytes back, as
// a range restore puts them back: its saves, through the journal.
bool put_back(Rebuild& r, uint32_t n) {
  std::vector<SavedBytes> saves;
  for (const SavedBytes& b : r.s.saves) {
    if (b.entry == n) saves.push_back(b);
  }
  if (saves.empty()) return true;
  const auto part = [&r, n]() -> Group& {
    Group& g = r.writer.pending();
    g.entries.push_back({g.writes.size(), {}, n});
    return g;
  };
  Group* g = &part();
  for (const SavedBytes& b : saves) {
    if (b.size > kSideFileBlock && !r.s.originals.saved_intact(b)) {
      return show(r.writer.commit_all()) && fail(msg::originals_unreadable(r.s.originals.path()));
    }
    for (uint64_t done = 0; done < b.size;) {
      if (group_full(*g)) {
        if (!show(r.writer.start())) return false;
        g = &part();
      }
      PendingWrite w{b.position + done, {}};
      const size_t piece = size_t(std::min<uint64_t>(b.size - done, kSideFileBlock));
      if (!r.s.originals.read_saved(b, done, piece, &w.bytes)) {
        return show(r.writer.commit_all()) && fail(msg::originals_unreadable(r.s.originals.path()));
      }
      done += piece;
      g->bytes += w.bytes.size();
      g->writes.push_back(std::move(w));
    }
    r.put_back.push_back(b);
  }
  return show(r.writer.start_if_full());
}

// After the writes: the entries put back leave the file of originals once
// they read back, the fingerprint is sealed, and an archive that no layer
// changes any more is cut back to its original length, after which its side
// files go, as after a whole restore.
bool finish_rebuild(Rebuild& r, const std::vector<uint32_t>& touched) {
  Session& s = r.s;
  r.writer.close_journal();
  std::vector<uint32_t> dropped;
  for (const SavedBytes& b : r.put_back) {
    if (dropped.empty() || dropped.back() != b.entry) dropped.push_back(b.entry);
  }
  if (!dropped.empty()) {
    if (!saves_read_back(s.archive, r.put_back)) return fail(msg::kArchiveWriteFailed);
    if (!s.originals.drop(dropped)) return fail(msg::kOriginalsWriteFailed);
  }
  if (!r.writer.seal(touched, r.crcs)) return fail(msg::kOriginalsWriteFailed);
  if (s.record.layers.empty() && s.originals.saves().empty() && r.writer.begun()) {
    if (!r.writer.cut_to(s.originals.original().original_length) ||
        !archive_is_original(s.originals, s.archive)) {
      return fail(msg::kArchiveWriteFailed);
    }
    if (!s.originals.remove()) return fail(msg::kOriginalsWriteFailed);
    s.has_originals = false;
  }
  for (uint32_t n : touched) {
    if (!layered(s.record.layers, n)) {
      drop_state(s.record, n);
      continue;
    }
    // The payload's checksum was taken as it was handed to the writer.
    EntryState state;
    state.entry = n;
    const auto crc = r.crcs.find(n);
    if (crc == r.crcs.end()
            ? !current_state(s, n, &state, false)
            : !read_exactly(s.archive, record_position(n), state.record, kRecordSize)) {
      return fail(msg::kArchiveReadFailed);
    }
    if (crc != r.crcs.end()) state.payload_crc = crc->second;
    set_state(s.record, state);
  }
  return commit_mods_record(s.archive_name, s.record) || fail(msg::kModsRecordWriteFailed);
}

// A loose file's bytes; the failure's message, or empty.
std::wstring read_loose(const std::wstring& path, std::vector<uint8_t>* content) {
  platform::File f = platform::File::open_read(path);
  uint64_t size = 0;
  if (!f.is_open()) return msg::file_open_failed(path);
  if (!f.size(&size)) return msg::file_read_failed(path);
  if (size > UINT32_MAX) return msg::file_too_large(path);
  content->resize(size_t(size));
  if (!read_exactly(f, 0, content->data(), content->size())) return msg::file_read_failed(path);
  return std::wstring();
}

// A deferred loose file read and compressed into the entry its layer keeps.
// A file that no longer reads stops the change half-way, as a crash would,
// and the next run settles it.
std::wstring read_deferred(Session& s, uint32_t n) {
  const auto path = s.deferred.find(n);
  if (path == s.deferred.end()) return std::wstring();
  const auto layer = std::find_if(s.record.layers.begin(), s.record.layers.end(),
                                  [&s](const ModLayer& l) { return l.name == s.deferred_layer; });
  ModEntry* e = layer == s.record.layers.end() ? nullptr : find_entry(*layer, n);
  if (e == nullptr) return std::wstring();
  std::vector<uint8_t> content;
  std::wstring failure = read_loose(path->second, &content);
  // Changed since it was planned (an editor still saving it): not taken
  // half-way, and never empty for a compressed entry.
  if (failure.empty() && content.size() != e->content_size) {
    failure = msg::file_read_failed(path->second);
  }
  if (!failure.empty()) return failure;
  pack(s, n, std::move(content), e);
  s.deferred.erase(path);
  return std::wstring();
}

// Every touched entry made anew from its original bytes and the stack in
// the session's record, after the list of them is pending on disk: a crash
// at any point is settled by doing this again under the record then in
// place.
bool rebuild_entries(Session& s, const std::vector<uint32_t>& touched) {
  ModsRecord pending;
  pending.identity = s.record.identity;
  pending.touched = touched;
  if (!write_mods_pending(s.archive_name, pending)) return fail(msg::kModsRecordWriteFailed);
  ArchiveWriter writer{s.archive, s.originals, s.archive_name, OriginalsUse::save_first_touches};
  Rebuild r{s, writer, s.encoders, {}, {}, {}};
  std::vector<uint32_t> in_range;
  for (uint32_t n : touched) {
    if (n < s.entry_count) in_range.push_back(n);
  }
  writer.set_first_records(in_range);
  if (!in_range.empty() && !writer.begin()) return fail(msg::kOriginalsWriteFailed);
  s.saves = s.originals.saves();
  for (uint32_t n : in_range) {
    if (!layered(s.record.layers, n)) {
      if (!put_back(r, n)) return false;
      continue;
    }
    const std::wstring unread = read_deferred(s, n);
    if (!unread.empty()) return show(writer.commit_all()) && fail(unread);
    bool written = false;
    if (!write_kept_payload(r, n, &written)) return false;
    if (written) continue;
    std::vector<uint8_t> content;
    const std::wstring failure = layered_content(s, s.record.layers, n, &content);
    if (!failure.empty()) return show(writer.commit_all()) && fail(failure);
    if (!write_content(r, n, std::move(content))) return false;
  }
  if (!show(writer.commit_all())) return false;
  // The gallery of exported pictures, where there is one, learns which
  // entries changed, as after an import.
  return finish_rebuild(r, in_range) &&
         refresh_gallery_after_run(s.letter, s.archive, kWriteUnit, in_range);
}

// ---- Install ----

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

bool same_texture(const ModTexture& a, const ModTexture& b) {
  return a.sub_index == b.sub_index && a.texture_index == b.texture_index;
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

std::vector<uint32_t> entries_of(const ModLayer& layer) {
  std::vector<uint32_t> out;
  for (const ModEntry& e : layer.entries) out.push_back(e.entry);
  return out;
}

std::vector<ModLayer>::iterator find_layer(std::vector<ModLayer>& layers, const std::string& name) {
  return std::find_if(layers.begin(), layers.end(),
                      [&name](const ModLayer& l) { return !l.name.empty() && l.name == name; });
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

// ---- Listing ----

struct ModRow {
  std::wstring name, archive, order, state, entries, textures, overlaps, info;
};

std::wstring info_of(const std::string& title, const std::string& version,
                     const std::string& author, const std::string& description) {
  std::wstring out = shown_text(title);
  if (!version.empty()) out += L" " + shown_text(version);
  if (!author.empty()) out += L" - " + shown_text(author);
  if (!description.empty()) out += L": " + shown_text(description);
  return out;
}

std::wstring overlaps_of(const std::vector<ModLayer>& layers, size_t i) {
  std::wstring out;
  const auto add = [&out](const std::wstring& text) { out += (out.empty() ? L"" : L"; ") + text; };
  for (const ModEntry& mine : layers[i].entries) {
    for (size_t j = 0; j < layers.size(); ++j) {
      const ModEntry* theirs = j == i ? nullptr : find_entry(layers[j], mine.entry);
      if (theirs == nullptr) continue;
      const std::wstring winner = layer_name(layers[std::max(i, j)]);
      if (mine.whole || theirs->whole) {
        add(msg::mod_overlap(mine.entry, L"", layer_name(layers[j]), winner));
        continue;
      }
      for (const ModTexture& t : mine.textures) {
        for (const ModTexture& u : theirs->textures) {
          if (same_texture(t, u)) {
            add(msg::mod_overlap(mine.entry, texture_label(t.sub_index, t.texture_index),
                                 layer_name(layers[j]), winner));
          }
        }
      }
    }
  }
  return out;
}

void print_rows(const std::vector<ModRow>& rows) {
  const ModRow title{msg::kModTitle,        msg::kModArchiveTitle, msg::kModOrderTitle,
                     msg::kModStateTitle,   msg::kModEntriesTitle, msg::kModTexturesTitle,
                     msg::kModOverlapTitle, msg::kModInfoTitle};
  const auto cells = [](const ModRow& r) {
    return std::vector<std::wstring>{r.name,    r.archive,  r.order,    r.state,
                                     r.entries, r.textures, r.overlaps, r.info};
  };
  std::vector<ModRow> all{title};
  all.insert(all.end(), rows.begin(), rows.end());
  std::wstring text;
  if (!platform::output_is_console()) {
    for (const ModRow& r : all) {
      const std::vector<std::wstring> c = cells(r);
      for (size_t k = 0; k < c.size(); ++k) text += (k ? L"\t" : L"") + c[k];
      text += L"\n";
    }
    platform::output_write_utf8(text);
    return;
  }
  std::vector<size_t> widths(8, 0);
  for (const ModRow& r : all) {
    const std::vector<std::wstring> c = cells(r);
    for (size_t k = 0; k < c.size(); ++k) widths[k] = std::max(widths[k], display_width(c[k]));
  }
  for (const ModRow& r : all) {
    const std::vector<std::wstring> c = cells(r);
    std::wstring line;
    for (size_t k = 0; k < c.size(); ++k) {
      line += c[k];
      if (k + 1 < c.size()) line += std::wstring(widths[k] - display_width(c[k]) + 2, L' ');
    }
    while (!line.empty() && line.back() == L' ') line.pop_back();
    text += line + L"\n";
  }
  platform::console_write(text);
}

}  // namespace

bool run_mods_list() {
  std::vector<ModRow> rows;
  std::set<std::wstring> installed;
  bool ok = true;
  for (const std::wstring& letter : letters_with_records()) {
    Session s(letter);
    if (!open_session(s, ArchiveUse::read)) {
      ok = false;
      continue;
    }
    const bool set_aside = s.record.identity.original_length == 0;
    if (!set_aside && !reconcile(s, {})) {
      ok = false;
      continue;
    }
    for (size_t i = 0; i < s.record.layers.size(); ++i) {
      const ModLayer& l = s.record.layers[i];
      ModRow row;
      row.name = layer_name(l);
      row.archive = s.archive_name;
      row.order = std::to_wstring(i + 1);
      // The player's own imports have no folder.
      const bool own = l.name.empty();
      const uint32_t now = own ? l.fingerprint : mod_fingerprint(from_utf8(l.name));
      row.state = set_aside              ? msg::kModSetAside
                  : now == 0 && !own     ? msg::kModFolderGone
                  : l.partly_taken_out   ? msg::kModPartlyTakenOut
                  : now != l.fingerprint ? msg::kModFolderChanged
                                         : msg::kModInstalled;
      size_t whole = 0, textures = 0;
      for (const ModEntry& e : l.entries) {
        whole += e.whole;
        textures += e.textures.size();
      }
      row.entries = std::to_wstring(whole);
      row.textures = std::to_wstring(textures);
      row.overlaps = overlaps_of(s.record.layers, i);
      row.info = info_of(l.title, l.version, l.author, l.description);
      if (!l.name.empty()) installed.insert(from_utf8(l.name));
      rows.push_back(std::move(row));
    }
  }
  for (const std::wstring& name : mods_in_folder()) {
    if (installed.count(name)) continue;
    size_t loose = 0, textures = 0;
    for (const std::wstring& letter : mod_letters(name)) {
      ModLetterFiles files;
      gather_mod_files(name, letter, &files);
      loose += files.loose.size();
      textures += files.textures.size();
    }
    const ModInfo info = read_mod_info(name);
    rows.push_back({name, L"-", L"-", msg::kModNotInstalled, std::to_wstring(loose),
                    std::to_wstring(textures), L"",
                    info_of(info.title, info.version, info.author, info.description)});
  }
  print_rows(rows);
  return ok;
}

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

bool settle_pending_mods(const std::wstring& archive_name, platform::File& archive, bool writable) {
  if (platform::name_kind(mods_pending_path(archive_name)) == platform::NameKind::none) {
    return true;
  }
  Session s(L"", archive_name);
  s.archive = std::move(archive);
  const bool ok = judge_side_files(s, ArchiveUse::write, writable);
  archive = std::move(s.archive);
  return ok;
}

bool mods_on_top(const std::wstring& archive_name, std::map<uint32_t, LayerOnTop>* top) {
  ModsRecord record;
  ModsRecordKind kind = ModsRecordKind::committed;
  if (load_mods_file(mods_record_path(archive_name), &record, &kind) != ModsLoad::ok ||
      kind != ModsRecordKind::committed) {
    return false;
  }
  for (const ModLayer& layer : record.layers) {
    for (const ModEntry& e : layer.entries) (*top)[e.entry].name = layer_name(layer);
  }
  for (const EntryState& state : record.states) {
    const auto it = top->find(state.entry);
    if (it != top->end()) std::copy(state.record, state.record + 16, it->second.record);
  }
  return true;
}

bool run_mod_remove(const std::wstring& name) {
  if (!valid_mod_name(name)) return fail(msg::mod_name_invalid(name));
  const std::string key = to_utf8(name);
  bool found = false;
  for (const std::wstring& letter : letters_with_records()) {
    Session s(letter);
    if (!open_session(s, ArchiveUse::write)) return false;
    // A take-out of this mod that a crash cut short is done now.
    found = found || s.finished_pending;
    auto layer = find_layer(s.record.layers, key);
    if (layer == s.record.layers.end()) continue;
    found = true;
    const std::vector<uint32_t> entries = entries_of(*layer);
    if (!reconcile(s, std::set<uint32_t>(entries.begin(), entries.end())) || !keep_reconciled(s)) {
      return false;
    }
    s.record.layers.erase(find_layer(s.record.layers, key));
    if (!rebuild_entries(s, entries)) return false;
    say(msg::mod_removed(s.archive_name, name));
  }
  return found || fail(msg::mod_not_installed(name));
}

}  // namespace linkdata
