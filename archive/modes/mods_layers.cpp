// Entries as the layers make them (mode m): an entry's original content, its
// content under a stack of layers, its state as the record of mods keeps it,
// and what changed the archive outside of mods taken into the record.
#include <algorithm>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include "archive/format/codec.h"
#include "archive/format/entry_content.h"
#include "archive/format/format.h"
#include "archive/modes/mods_session.h"
#include "archive/safety/checked_reads.h"
#include "archive/safety/originals_check.h"
#include "platform/console.h"
#include "platform/messages.h"

namespace linkdata::mods_detail {
namespace {

ModEntry& entry_in(ModLayer& layer, uint32_t entry) {
  auto it = std::lower_bound(layer.entries.begin(), layer.entries.end(), entry,
                             [](const ModEntry& e, uint32_t n) { return e.entry < n; });
  if (it == layer.entries.end() || it->entry != entry) {
    it = layer.entries.insert(it, ModEntry{});
    it->entry = entry;
  }
  return *it;
}

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

const EntryState* state_of(const ModsRecord& r, uint32_t n) {
  auto it = std::lower_bound(r.states.begin(), r.states.end(), n,
                             [](const EntryState& e, uint32_t k) { return e.entry < k; });
  return it != r.states.end() && it->entry == n ? &*it : nullptr;
}

}  // namespace

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
bool current_state(Session& s, uint32_t n, EntryState* out, bool seal_holds) {
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

}  // namespace linkdata::mods_detail
