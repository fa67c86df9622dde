#include "archive/modes/listing.h"

#include <algorithm>
#include <map>
#include <new>
#include <vector>

#include "archive/format/format.h"
#include "archive/format/package.h"
#include "archive/modes/entry_description.h"
#include "archive/modes/entry_reader.h"
#include "archive/modes/listing_format.h"
#include "archive/modes/mods.h"
#include "archive/safety/originals_check.h"
#include "platform/byte_buffer.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "platform/platform.h"

namespace linkdata {
namespace {

// Enough of a plain entry to show its first bytes and to tell whether it
// may hold textures.
constexpr size_t kPlainHead = std::max<size_t>(4, kTextureKindBytes);
// Output goes out in pieces of about this many characters.
constexpr size_t kFlushAt = 64 * 1024;

// Entries whose index record lies, at least in part, inside the file: no
// import writes to the others, so only these can have been changed.
uint32_t records_in_file(uint64_t archive_length) {
  if (archive_length <= kArchiveHeaderSize) return 0;
  const uint64_t records = (archive_length - kArchiveHeaderSize + kRecordSize - 1) / kRecordSize;
  return uint32_t(std::min<uint64_t>(records, UINT32_MAX));
}

struct Listing {
  ReadableArchive archive;
  bool examine = false;
  bool console = false;
  ConsoleLayout layout;
  std::vector<bool> changed;
  bool layered = false;  // the archive has mods installed
  std::map<uint32_t, LayerOnTop> top_layers;
  ListingTotals totals;
  std::wstring pending;
  bool entry_failed = false;

  void write(const std::wstring& text) {
    pending += text;
    if (pending.size() >= kFlushAt) flush();
  }
  void flush() {
    if (console) {
      platform::console_write(pending);
    } else {
      platform::output_write_utf8(pending);
    }
    pending.clear();
  }
  void add(const ListedEntry& entry) {
    add_to_totals(entry, &totals);
    write(console ? console_row(layout, entry) : tsv_row(entry, examine, layered));
  }
  // The message of a failure that ends the listing, after the rows before it.
  bool fail(const std::wstring& message) {
    flush();
    say(message);
    return false;
  }
};

ListedEntry listed(const Listing& l, uint32_t n, const IndexRecord& record) {
  ListedEntry e;
  e.n = n;
  e.position = byte_position(record, l.archive.header.offset_unit);
  e.stored_size = record.stored_size;
  e.compressed = record.unpacked_size != 0;
  e.content_size = e.compressed ? record.unpacked_size : record.stored_size;
  e.changed = n < l.changed.size() && l.changed[n];
  if (l.layered && e.changed) {
    // An entry whose record is no longer the one the mods left was written
    // by an import since.
    uint8_t now[kRecordSize];
    encode_record(record, now);
    const auto top = l.top_layers.find(n);
    const bool as_left =
        top != l.top_layers.end() && std::equal(now, now + kRecordSize, top->second.record);
    e.layer = as_left ? top->second.name : msg::kOwnImports;
  }
  return e;
}

// Header and index only.
bool list_index(Listing& l, EntryRange range) {
  std::vector<IndexRecord> batch;
  for (uint32_t base = range.start; base < range.end;) {
    const uint32_t count = std::min(kRecordBatch, range.end - base);
    if (!read_index_records(l.archive.file, base, count, &batch)) {
      return l.fail(msg::kArchiveReadFailed);
    }
    for (uint32_t i = 0; i < count; ++i) l.add(listed(l, base + i, batch[i]));
    base += count;
  }
  return true;
}

// A plain entry is examined as a decoded one is when its first bytes show
// a texture container or a package (import appends an entry plain once it
// outgrows its slot); other data is shown by its first bytes alone.
EntryDescription describe_stored_plain(Listing& l, ReadEntry& read) {
  if (!plain_may_hold_textures(read)) return describe_plain(read.head.data(), read.head.size());
  ByteBuffer content;
  try {
    if (!take_plain_content(l.archive, read, &content)) {
      l.entry_failed = true;
      return describe_read_failure();
    }
  } catch (const std::bad_alloc&) {
    l.entry_failed = true;
    return describe_decode_failure(DecodeStatus::out_of_memory);
  }
  return describe_content(content.data(), content.size());
}

bool list_examined(Listing& l, ReadEntry& read) {
  if (!read.index_read) return l.fail(msg::kArchiveReadFailed);
  ListedEntry e = listed(l, read.n, read.record);
  if (!read.payload_read) {
    e.description = describe_read_failure();
  } else if (!read.compressed) {
    e.description = describe_stored_plain(l, read);
  } else if (read.decoded.status != DecodeStatus::ok) {
    e.description = describe_decode_failure(read.decoded.status);
  } else {
    e.description = describe_content(read.decoded.content.data(), read.decoded.content.size());
  }
  if (!read.payload_read || (read.compressed && read.decoded.status != DecodeStatus::ok)) {
    l.entry_failed = true;
  }
  l.add(e);
  return true;
}

}  // namespace

bool run_list(uint32_t first, uint32_t last, ListingDetail detail,
              const std::wstring& archive_name) {
  const bool examine = detail == ListingDetail::contents;
  Listing l;
  if (!open_archive_to_read(archive_name, nullptr, &l.archive)) return false;
  const EntryRange range = clamp_range(first, last, l.archive.header.entry_count);
  const uint32_t flagged = std::min(range.end, records_in_file(l.archive.length));
  // Entries past the flags count as unchanged.
  uint64_t damaged_at = 0;
  switch (changed_entries(archive_name, l.archive.file, flagged, &l.changed, &damaged_at)) {
    case OriginalsLoad::unreadable:
      return l.fail(msg::originals_unreadable(originals_path(archive_name)));
    case OriginalsLoad::damaged:
      return l.fail(msg::originals_damaged(originals_path(archive_name), archive_name, damaged_at));
    default:
      break;
  }

  l.examine = examine;
  l.console = platform::output_is_console();
  l.layout = console_layout(examine, range.end == 0 ? 0 : range.end - 1, l.archive.length);
  l.layered = mods_on_top(archive_name, &l.top_layers);
  l.layout.layered = l.layered;
  l.write(l.console ? console_header(l.layout) : tsv_header(examine, l.layered));
  const bool read = examine ? read_entries(l.archive, range, kPlainHead,
                                           [&l](ReadEntry& e) { return list_examined(l, e); })
                            : list_index(l, range);
  if (!read) return false;
  if (l.console) l.write(console_summary(l.totals));
  l.flush();
  return !l.entry_failed;
}

}  // namespace linkdata
