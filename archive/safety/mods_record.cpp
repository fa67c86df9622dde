#include "archive/safety/mods_record.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "archive/safety/checked_reads.h"
#include "platform/little_endian.h"
#include "platform/platform.h"
#include "platform/working_paths.h"

namespace linkdata {
namespace {

constexpr char kMagic[8] = {'L', 'D', 'M', 'O', 'D', 'S', '0', '2'};
constexpr size_t kHeadSize = 32;
constexpr size_t kSectionHeadSize = 24;

enum class Section : uint32_t { identity = 1, layer = 2, states = 3, touched = 4 };

uint32_t crc(const uint8_t* data, size_t n) { return crc_of(0, data, n); }

// Where an encoded record goes: its bytes at their positions. The heads,
// whose checksums cover what follows them, are put over their place once
// that is written.
using PutAt = std::function<bool(uint64_t at, const uint8_t* data, size_t n)>;

// A record encoded section by section straight to where it goes: a layer's
// contents are never copied into one body, so writing the record costs its
// bytes once, not a buffer of its size grown and copied again.
class Encoder {
 public:
  explicit Encoder(PutAt put) : put_(std::move(put)) {}
  void begin_section(Section type) {
    type_ = type;
    section_at_ = at_;
    at_ += kSectionHeadSize;
    body_length_ = 0;
    body_crc_ = 0;
  }
  void end_section() {
    flush_fields();
    uint8_t head[kSectionHeadSize] = {};
    store_u32le(head, uint32_t(type_));
    store_u64le(head + 8, body_length_);
    store_u32le(head + 16, body_crc_);
    store_u32le(head + 20, crc(head, 20));
    ok_ = ok_ && put_(section_at_, head, kSectionHeadSize);
    ++sections_;
  }
  void u8(uint8_t v) { field(&v, 1); }
  void u32(uint32_t v) {
    uint8_t b[4];
    store_u32le(b, v);
    field(b, 4);
  }
  void u64(uint64_t v) {
    uint8_t b[8];
    store_u64le(b, v);
    field(b, 8);
  }
  // Small ones gathered with the fields, large ones put as they are.
  void blob(const uint8_t* data, size_t n) {
    u64(n);
    if (n < kFieldsBuffered) return field(data, n);
    flush_fields();
    body(data, n);
  }
  void text(const std::string& s) { blob(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
  // The file's head, last; false when any put failed.
  bool finish(ModsRecordKind kind) {
    uint8_t head[kHeadSize] = {};
    std::memcpy(head, kMagic, 8);
    store_u32le(head + 8, uint32_t(kind));
    store_u32le(head + 12, sections_);
    store_u64le(head + 16, at_);
    store_u32le(head + 28, crc(head, 28));
    return ok_ && put_(0, head, kHeadSize);
  }

 private:
  static constexpr size_t kFieldsBuffered = size_t(1) << 16;
  void field(const uint8_t* data, size_t n) {
    fields_.insert(fields_.end(), data, data + n);
    if (fields_.size() >= kFieldsBuffered) flush_fields();
  }
  void body(const uint8_t* data, size_t n) {
    if (n == 0) return;
    body_crc_ = crc_of(body_crc_, data, n);
    body_length_ += n;
    ok_ = ok_ && put_(at_, data, n);
    at_ += n;
  }
  void flush_fields() {
    body(fields_.data(), fields_.size());
    fields_.clear();
  }
  PutAt put_;
  std::vector<uint8_t> fields_;
  uint64_t at_ = kHeadSize;
  uint32_t sections_ = 0;
  Section type_ = Section::identity;
  uint64_t section_at_ = 0, body_length_ = 0;
  uint32_t body_crc_ = 0;
  bool ok_ = true;
};

// Where a record is read from: bytes at their positions.
using ReadAt = std::function<bool(uint64_t at, uint8_t* out, size_t n)>;

// Fields read from a section body, pulled from where the record lies in
// blocks and its contents straight into their place, so that reading a
// record holds it once, not its file beside it. The body's checksum is
// taken over the bytes as they come and checked at its end; until then
// nothing read is trusted but for its bounds: any field past the body's end
// fails the whole read, and the body must be used up.
class Reader {
 public:
  Reader(const ReadAt& read, uint64_t at, uint64_t length) : read_(read), at_(at), left_(length) {}
  bool ok = true;
  uint64_t left() const { return left_; }
  uint32_t body_crc() const { return crc_; }
  uint8_t u8() {
    uint8_t v = 0;
    take(&v, 1);
    return v;
  }
  uint32_t u32() {
    uint8_t b[4] = {};
    take(b, 4);
    return load_u32le(b);
  }
  uint64_t u64() {
    uint8_t b[8] = {};
    take(b, 8);
    return load_u64le(b);
  }
  bool flag() {
    const uint8_t v = u8();
    if (v > 1) ok = false;
    return v == 1;
  }
  std::vector<uint8_t> blob() {
    const uint64_t n = u64();
    if (!ok || n > left_) {
      ok = false;
      return {};
    }
    std::vector<uint8_t> out(static_cast<size_t>(n));
    take(out.data(), out.size());
    return out;
  }
  std::string text() {
    const std::vector<uint8_t> b = blob();
    return std::string(b.begin(), b.end());
  }

 private:
  static constexpr size_t kWindow = size_t(1) << 16;
  // The next n bytes of the body.
  void take(uint8_t* out, size_t n) {
    if (!ok || n > left_) {
      ok = false;
      return;
    }
    while (n > 0) {
      if (used_ == window_.size()) {
        const uint64_t unfetched = left_;  // nothing is held in the window
        if (n >= kWindow) {
          fetch(out, n);
          left_ -= n;
          return;
        }
        window_.resize(size_t(std::min<uint64_t>(kWindow, unfetched)));
        used_ = 0;
        fetch(window_.data(), window_.size());
        if (!ok) return;
      }
      const size_t k = std::min(n, window_.size() - used_);
      std::memcpy(out, window_.data() + used_, k);
      used_ += k, out += k, n -= k, left_ -= k;
    }
  }
  void fetch(uint8_t* out, size_t n) {
    if (!ok || !read_(at_, out, n)) {
      ok = false;
      return;
    }
    crc_ = crc_of(crc_, out, n);
    at_ += n;
  }
  const ReadAt& read_;
  uint64_t at_;    // in the file, of the first byte not yet fetched
  uint64_t left_;  // of the body, not yet taken
  uint32_t crc_ = 0;
  std::vector<uint8_t> window_;
  size_t used_ = 0;
};

void encode_layer(Encoder& w, const ModLayer& layer) {
  w.begin_section(Section::layer);
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
    w.u8(e.plain ? 1 : 0);
    w.blob(e.content.data(), e.content.size());
    w.u32(e.content_size);
    w.u32(uint32_t(e.textures.size()));
    for (const ModTexture& t : e.textures) {
      w.u64(t.sub_index);
      w.u64(t.texture_index);
      w.blob(t.pixels.data(), t.pixels.size());
    }
  }
  w.end_section();
}

bool encode_to(const ModsRecord& record, ModsRecordKind kind, PutAt put) {
  Encoder w(std::move(put));
  w.begin_section(Section::identity);
  w.u64(record.identity.original_length);
  w.u32(record.identity.entry_count);
  w.u32(record.identity.index_crc);
  w.end_section();
  for (const ModLayer& layer : record.layers) encode_layer(w, layer);
  w.begin_section(Section::states);
  w.u32(uint32_t(record.states.size()));
  for (const EntryState& s : record.states) {
    w.u32(s.entry);
    for (uint8_t b : s.record) w.u8(b);
    w.u32(s.payload_crc);
  }
  w.end_section();
  if (kind == ModsRecordKind::pending) {
    w.begin_section(Section::touched);
    w.u32(uint32_t(record.touched.size()));
    for (uint32_t n : record.touched) w.u32(n);
    w.end_section();
  }
  return w.finish(kind);
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
    e.plain = r.flag();
    e.content = r.blob();
    e.content_size = r.u32();
    // Only a whole content is kept plain, and then at its own size.
    if (e.plain && (!e.whole || e.content.size() != e.content_size)) r.ok = false;
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

bool write_whole(const std::wstring& path, const ModsRecord& record, ModsRecordKind kind) {
  platform::File f = platform::File::create_fresh(path);
  return f.is_open() &&
         encode_to(record, kind,
                   [&f](uint64_t at, const uint8_t* data, size_t n) {
                     return f.write_at(at, data, n);
                   }) &&
         f.flush_to_disk() && f.close() && platform::flush_folder(folder_of(path));
}

bool remove_if_there(const std::wstring& path) {
  return platform::name_kind(path) == platform::NameKind::none || platform::remove_file(path);
}

}  // namespace

std::vector<uint8_t> encode_mods_record(const ModsRecord& record, ModsRecordKind kind) {
  std::vector<uint8_t> out;
  encode_to(record, kind, [&out](uint64_t at, const uint8_t* data, size_t n) {
    if (out.size() < at + n) out.resize(size_t(at + n));
    std::copy(data, data + n, out.begin() + long(at));
    return true;
  });
  return out;
}

namespace {

bool decode_from(const ReadAt& read, uint64_t size, ModsRecord* out, ModsRecordKind* kind) {
  *out = ModsRecord{};
  uint8_t head[kHeadSize];
  if (size < kHeadSize || !read(0, head, kHeadSize) || std::memcmp(head, kMagic, 8) != 0) {
    return false;
  }
  if (load_u32le(head + 28) != crc(head, 28) || load_u64le(head + 16) != size) return false;
  const uint32_t k = load_u32le(head + 8);
  if (k != uint32_t(ModsRecordKind::committed) && k != uint32_t(ModsRecordKind::pending)) {
    return false;
  }
  *kind = ModsRecordKind(k);
  const uint32_t sections = load_u32le(head + 12);
  uint64_t at = kHeadSize;
  bool had_identity = false, had_states = false, had_touched = false;
  for (uint32_t i = 0; i < sections; ++i) {
    uint8_t section[kSectionHeadSize];
    if (size - at < kSectionHeadSize || !read(at, section, kSectionHeadSize)) return false;
    if (load_u32le(section + 20) != crc(section, 20)) return false;
    const uint64_t length = load_u64le(section + 8);
    at += kSectionHeadSize;
    if (length > size - at) return false;
    const Section type = Section(load_u32le(section));
    if (type == Section::states) {
      if (had_states) return false;
      had_states = true;
    }
    if (type == Section::touched) {
      if (had_touched || *kind != ModsRecordKind::pending) return false;
      had_touched = true;
    }
    Reader r(read, at, length);
    if (!read_section(type, r, out, &had_identity) || r.left() != 0 ||
        r.body_crc() != load_u32le(section + 16)) {
      return false;
    }
    at += length;
  }
  return at == size && had_identity && had_states &&
         had_touched == (*kind == ModsRecordKind::pending);
}

}  // namespace

bool decode_mods_record(const uint8_t* data, size_t size, ModsRecord* out, ModsRecordKind* kind) {
  return decode_from(
      [data, size](uint64_t at, uint8_t* to, size_t n) {
        if (at > size || n > size - at) return false;
        std::memcpy(to, data + at, n);
        return true;
      },
      size, out, kind);
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
  bool read_failed = false;
  bool decoded = false;
  try {
    decoded = decode_from(
        [&f, &read_failed](uint64_t at, uint8_t* to, size_t n) {
          if (read_exactly(f, at, to, n)) return true;
          read_failed = true;
          return false;
        },
        length, out, kind);
  } catch (const std::bad_alloc&) {
    return ModsLoad::unreadable;
  }
  if (read_failed) return ModsLoad::unreadable;
  return decoded ? ModsLoad::ok : ModsLoad::damaged;
}

bool write_mods_pending(const std::wstring& archive_name, const ModsRecord& record) {
  // Written whole beside it and renamed over it: a run that settles a list
  // left by a crash writes it again, and a crash of that run must still
  // leave the list whole, or the entries half rebuilt would pass for the
  // player's own imports.
  const std::wstring path = mods_pending_path(archive_name), next = path + L".new";
  return write_whole(next, record, ModsRecordKind::pending) && platform::replace_file(next, path) &&
         platform::flush_folder(folder_of(path));
}

bool commit_mods_record(const std::wstring& archive_name, const ModsRecord& record) {
  const std::wstring path = mods_record_path(archive_name);
  if (record.layers.empty()) {
    if (!remove_if_there(path) || !platform::flush_folder(folder_of(path))) return false;
  } else {
    const std::wstring next = path + L".new";
    if (!write_whole(next, record, ModsRecordKind::committed) ||
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
  for (const std::wstring& name : {mods_pending_path(archive_name), path, path + L".new",
                                   mods_pending_path(archive_name) + L".new"}) {
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
