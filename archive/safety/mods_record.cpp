#include "archive/safety/mods_record.h"

#include <cstring>
#include <new>

#include "archive/safety/checked_reads.h"
#include "platform/little_endian.h"
#include "platform/platform.h"
#include "platform/working_paths.h"

namespace linkdata {
namespace {

constexpr char kMagic[8] = {'L', 'D', 'M', 'O', 'D', 'S', '0', '1'};
constexpr size_t kHeadSize = 32;
constexpr size_t kSectionHeadSize = 24;

enum class Section : uint32_t { identity = 1, layer = 2, states = 3, touched = 4 };

uint32_t crc(const uint8_t* data, size_t n) { return crc_of(0, data, n); }

// Fields appended to a section body.
struct Writer {
  std::vector<uint8_t> bytes;
  void u8(uint8_t v) { bytes.push_back(v); }
  void u32(uint32_t v) {
    uint8_t b[4];
    store_u32le(b, v);
    bytes.insert(bytes.end(), b, b + 4);
  }
  void u64(uint64_t v) {
    uint8_t b[8];
    store_u64le(b, v);
    bytes.insert(bytes.end(), b, b + 8);
  }
  void blob(const uint8_t* data, size_t n) {
    u64(n);
    bytes.insert(bytes.end(), data, data + n);
  }
  void text(const std::string& s) { blob(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
};

// Fields read from a section body; any field past its end fails the whole
// read, and the body must be used up.
struct Reader {
  const uint8_t* p;
  size_t left;
  bool ok = true;
  bool take(size_t n) {
    if (!ok || n > left) return ok = false;
    return true;
  }
  uint8_t u8() {
    if (!take(1)) return 0;
    --left;
    return *p++;
  }
  uint32_t u32() {
    if (!take(4)) return 0;
    const uint32_t v = load_u32le(p);
    p += 4, left -= 4;
    return v;
  }
  uint64_t u64() {
    if (!take(8)) return 0;
    const uint64_t v = load_u64le(p);
    p += 8, left -= 8;
    return v;
  }
  bool flag() {
    const uint8_t v = u8();
    if (v > 1) ok = false;
    return v == 1;
  }
  std::vector<uint8_t> blob() {
    const uint64_t n = u64();
    if (!ok || n > left) {
      ok = false;
      return {};
    }
    std::vector<uint8_t> out(p, p + n);
    p += n, left -= size_t(n);
    return out;
  }
  std::string text() {
    const std::vector<uint8_t> b = blob();
    return std::string(b.begin(), b.end());
  }
};

void add_section(std::vector<uint8_t>* out, Section type, const std::vector<uint8_t>& body) {
  uint8_t head[kSectionHeadSize] = {};
  store_u32le(head, uint32_t(type));
  store_u64le(head + 8, body.size());
  store_u32le(head + 16, crc(body.data(), body.size()));
  store_u32le(head + 20, crc(head, 20));
  out->insert(out->end(), head, head + kSectionHeadSize);
  out->insert(out->end(), body.begin(), body.end());
}

std::vector<uint8_t> layer_body(const ModLayer& layer) {
  Writer w;
  w.text(layer.name);
  w.text(layer.title);
  w.text(layer.version);
  w.text(layer.author);
  w.text(layer.description);
  w.u32(layer.fingerprint);
  w.u8(layer.partly_taken_out ? 1 : 0);
  w.u32(uint32_t(layer.entries.size()));
  for (const ModEntry& e : layer.entries) {
    w.u32(e.entry);
    w.u8(e.whole ? 1 : 0);
    w.blob(e.content.data(), e.content.size());
    w.u32(e.content_size);
    w.u32(uint32_t(e.textures.size()));
    for (const ModTexture& t : e.textures) {
      w.u64(t.sub_index);
      w.u64(t.texture_index);
      w.blob(t.pixels.data(), t.pixels.size());
    }
  }
  return std::move(w.bytes);
}

bool read_layer(Reader& r, ModLayer* layer) {
  layer->name = r.text();
  layer->title = r.text();
  layer->version = r.text();
  layer->author = r.text();
  layer->description = r.text();
  layer->fingerprint = r.u32();
  layer->partly_taken_out = r.flag();
  const uint32_t entries = r.u32();
  for (uint32_t i = 0; r.ok && i < entries; ++i) {
    ModEntry e;
    e.entry = r.u32();
    e.whole = r.flag();
    e.content = r.blob();
    e.content_size = r.u32();
    const uint32_t textures = r.u32();
    for (uint32_t k = 0; r.ok && k < textures; ++k) {
      ModTexture t;
      t.sub_index = r.u64();
      t.texture_index = r.u64();
      t.pixels = r.blob();
      e.textures.push_back(std::move(t));
    }
    // Entries in ascending order, each once: the rebuild looks them up so.
    if (!layer->entries.empty() && layer->entries.back().entry >= e.entry) r.ok = false;
    layer->entries.push_back(std::move(e));
  }
  return r.ok;
}

bool read_section(Section type, Reader& r, ModsRecord* out, bool* had_identity) {
  switch (type) {
    case Section::identity:
      if (*had_identity) return false;
      *had_identity = true;
      out->identity.original_length = r.u64();
      out->identity.entry_count = r.u32();
      out->identity.index_crc = r.u32();
      return r.ok;
    case Section::layer: {
      ModLayer layer;
      if (!read_layer(r, &layer)) return false;
      out->layers.push_back(std::move(layer));
      return true;
    }
    case Section::states: {
      const uint32_t n = r.u32();
      for (uint32_t i = 0; r.ok && i < n; ++i) {
        EntryState s;
        s.entry = r.u32();
        for (uint8_t& b : s.record) b = r.u8();
        s.payload_crc = r.u32();
        if (!out->states.empty() && out->states.back().entry >= s.entry) return false;
        out->states.push_back(s);
      }
      return r.ok;
    }
    case Section::touched: {
      const uint32_t n = r.u32();
      for (uint32_t i = 0; r.ok && i < n; ++i) out->touched.push_back(r.u32());
      return r.ok;
    }
  }
  return false;
}

bool write_whole(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  platform::File f = platform::File::create_fresh(path);
  return f.is_open() && f.write_at(0, bytes.data(), bytes.size()) && f.flush_to_disk() &&
         f.close() && platform::flush_folder(folder_of(path));
}

bool remove_if_there(const std::wstring& path) {
  return platform::name_kind(path) == platform::NameKind::none || platform::remove_file(path);
}

}  // namespace

std::vector<uint8_t> encode_mods_record(const ModsRecord& record, ModsRecordKind kind) {
  std::vector<uint8_t> out(kHeadSize);
  uint32_t sections = 0;
  {
    Writer w;
    w.u64(record.identity.original_length);
    w.u32(record.identity.entry_count);
    w.u32(record.identity.index_crc);
    add_section(&out, Section::identity, w.bytes);
    ++sections;
  }
  for (const ModLayer& layer : record.layers) {
    add_section(&out, Section::layer, layer_body(layer));
    ++sections;
  }
  Writer states;
  states.u32(uint32_t(record.states.size()));
  for (const EntryState& s : record.states) {
    states.u32(s.entry);
    for (uint8_t b : s.record) states.u8(b);
    states.u32(s.payload_crc);
  }
  add_section(&out, Section::states, states.bytes);
  ++sections;
  if (kind == ModsRecordKind::pending) {
    Writer touched;
    touched.u32(uint32_t(record.touched.size()));
    for (uint32_t n : record.touched) touched.u32(n);
    add_section(&out, Section::touched, touched.bytes);
    ++sections;
  }
  std::memcpy(out.data(), kMagic, 8);
  store_u32le(out.data() + 8, uint32_t(kind));
  store_u32le(out.data() + 12, sections);
  store_u64le(out.data() + 16, out.size());
  store_u32le(out.data() + 28, crc(out.data(), 28));
  return out;
}

bool decode_mods_record(const uint8_t* data, size_t size, ModsRecord* out, ModsRecordKind* kind) {
  *out = ModsRecord{};
  if (size < kHeadSize || std::memcmp(data, kMagic, 8) != 0) return false;
  if (load_u32le(data + 28) != crc(data, 28) || load_u64le(data + 16) != size) return false;
  const uint32_t k = load_u32le(data + 8);
  if (k != uint32_t(ModsRecordKind::committed) && k != uint32_t(ModsRecordKind::pending)) {
    return false;
  }
  *kind = ModsRecordKind(k);
  const uint32_t sections = load_u32le(data + 12);
  size_t at = kHeadSize;
  bool had_identity = false, had_states = false, had_touched = false;
  for (uint32_t i = 0; i < sections; ++i) {
    if (size - at < kSectionHeadSize) return false;
    const uint8_t* head = data + at;
    if (load_u32le(head + 20) != crc(head, 20)) return false;
    const uint64_t length = load_u64le(head + 8);
    at += kSectionHeadSize;
    if (length > size - at || load_u32le(head + 16) != crc(data + at, size_t(length))) {
      return false;
    }
    const Section type = Section(load_u32le(head));
    if (type == Section::states) {
      if (had_states) return false;
      had_states = true;
    }
    if (type == Section::touched) {
      if (had_touched || *kind != ModsRecordKind::pending) return false;
      had_touched = true;
    }
    Reader r{data + at, size_t(length)};
    if (!read_section(type, r, out, &had_identity) || r.left != 0) return false;
    at += size_t(length);
  }
  return at == size && had_identity && had_states &&
         had_touched == (*kind == ModsRecordKind::pending);
}

std::wstring mods_record_path(const std::wstring& archive_name) { return archive_name + L"-mods"; }

std::wstring mods_pending_path(const std::wstring& archive_name) {
  return archive_name + L"-mods.pending";
}

ModsLoad load_mods_file(const std::wstring& path, ModsRecord* out, ModsRecordKind* kind) {
  if (platform::name_kind(path) == platform::NameKind::none) return ModsLoad::none;
  platform::File f = platform::File::open_read(path);
  if (!f.is_open()) return ModsLoad::unreadable;
  uint64_t length = 0;
  if (!f.size(&length)) return ModsLoad::unreadable;
  if (length > SIZE_MAX) return ModsLoad::damaged;
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(size_t(length));
  } catch (const std::bad_alloc&) {
    return ModsLoad::unreadable;
  }
  if (!read_exactly(f, 0, bytes.data(), bytes.size())) return ModsLoad::unreadable;
  return decode_mods_record(bytes.data(), bytes.size(), out, kind) ? ModsLoad::ok
                                                                   : ModsLoad::damaged;
}

bool write_mods_pending(const std::wstring& archive_name, const ModsRecord& record) {
  return write_whole(mods_pending_path(archive_name),
                     encode_mods_record(record, ModsRecordKind::pending));
}

bool commit_mods_record(const std::wstring& archive_name, const ModsRecord& record) {
  const std::wstring path = mods_record_path(archive_name);
  if (record.layers.empty()) {
    if (!remove_if_there(path) || !platform::flush_folder(folder_of(path))) return false;
  } else {
    const std::wstring next = path + L".new";
    if (!write_whole(next, encode_mods_record(record, ModsRecordKind::committed)) ||
        !platform::replace_file(next, path) || !platform::flush_folder(folder_of(path))) {
      return false;
    }
  }
  return remove_if_there(mods_pending_path(archive_name)) &&
         platform::flush_folder(folder_of(path));
}

bool remove_mods_record(const std::wstring& archive_name) {
  const std::wstring path = mods_record_path(archive_name);
  // The pending one first: left alone, it would put its stack back. A
  // committed one left alone describes an archive that is the original
  // again, and the next run drops it.
  bool any = false;
  for (const std::wstring& name : {mods_pending_path(archive_name), path, path + L".new"}) {
    if (platform::name_kind(name) == platform::NameKind::none) continue;
    if (!platform::remove_file(name)) return false;
    any = true;
  }
  // An archive that never had mods costs its restore nothing more.
  return !any || platform::flush_folder(folder_of(path));
}

std::wstring set_aside_mods_record(const std::wstring& archive_name) {
  const std::wstring path = mods_record_path(archive_name);
  for (int n = 1; n < 10000; ++n) {
    const std::wstring aside = path + L"." + std::to_wstring(n);
    if (platform::name_kind(aside) != platform::NameKind::none) continue;
    if (!platform::rename_file(path, aside)) return L"";
    if (!remove_if_there(mods_pending_path(archive_name)) ||
        !platform::flush_folder(folder_of(path))) {
      return L"";
    }
    return aside;
  }
  return L"";
}

}  // namespace linkdata
