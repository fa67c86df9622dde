#include "archive/modes/export.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "archive/format/codec.h"
#include "archive/format/entry_content.h"
#include "archive/format/format.h"
#include "archive/format/package.h"
#include "archive/modes/picture_export.h"
#include "archive/safety/locked_archive.h"
#include "platform/byte_buffer.h"
#include "platform/console.h"
#include "platform/deferred_interrupts.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/run_summary.h"
#include "platform/whole_file.h"
#include "platform/worker_pool.h"
#include "platform/working_paths.h"
#include "textures/dds.h"
#include "textures/gallery.h"

namespace linkdata {
namespace {

// Plain entries are copied through a buffer of this size, so memory does not
// follow a stored size that may claim gigabytes.
constexpr size_t kPlainCopyBlock = size_t(8) << 20;

struct ExportRun {
  ReadableArchive archive;
  std::wstring archive_name;
  std::wstring export_dir;
  TextureOutput textures;
  RunTally tally;
  std::unique_ptr<PictureQueue> pictures;  // with the p flag
  bool texture_failed = false;             // the run goes on, and ends with a failure
  std::set<std::wstring> links_reported;   // texture folders found to be links
};

std::wstring exported_file_name(const ExportRun& run, uint32_t n) {
  return join_path(run.export_dir, std::to_wstring(n) + L".data");
}

void report_exported(const ExportRun& run, const std::wstring& file_name) {
  say(msg::exported(run.archive_name, file_name));
}

// A plain entry: copied block by block, the first block read ahead by the
// pipeline; the part past the end of the archive is zeros, which the file
// gets by being extended rather than written.
bool export_plain(ExportRun& run, uint32_t n, const IndexRecord& record,
                  const ByteBuffer& first_block) {
  const uint64_t pos = byte_position(record, run.archive.header.offset_unit);
  const size_t present = bytes_present(run.archive.length, pos, record.stored_size);
  const std::wstring file_name = exported_file_name(run, n);
  // A file that fails part way is dropped: the old export stays as it was.
  WholeFile out(file_name);
  if (!out.is_open()) return fail(msg::kFileCreateFailed);
  if (!out.file().write_at(0, first_block.data(), first_block.size())) {
    return fail(msg::kFileWriteFailed);
  }
  size_t done = first_block.size();
  ByteBuffer block;
  while (done < present) {
    const size_t n_bytes = std::min(present - done, kPlainCopyBlock);
    if (!read_present(run.archive.file, pos + done, n_bytes, &block)) {
      return fail(entry_read_failure());
    }
    if (!out.file().write_at(done, block.data(), n_bytes)) return fail(msg::kFileWriteFailed);
    done += n_bytes;
  }
  const bool finished =
      (done == record.stored_size || out.file().extend_to(record.stored_size)) && out.finish();
  if (!finished) return fail(msg::kFileWriteFailed);
  report_exported(run, file_name);
  ++run.tally.files_written;
  return true;
}

// Export never makes a link, so a link in place of a texture folder is
// someone else's and may lead anywhere, outside the game folder too: nothing
// is written through it. Named once a run; the run ends with a failure.
bool folder_writable(ExportRun& run, const std::wstring& folder) {
  if (platform::name_kind(folder) != platform::NameKind::link) return true;
  if (run.links_reported.insert(folder).second) say(msg::folder_is_link(folder));
  run.texture_failed = true;
  return false;
}

// Textures of a decoded entry: DDS files now, pictures queued.
void export_textures(ExportRun& run, uint32_t n, const ByteBuffer& content) {
  bool writable = true;
  bool folder_checked = false;
  for (const ContainerSpan& span : find_texture_containers(content.data(), content.size())) {
    const uint8_t* container = content.data() + span.offset;
    for (const TextureDescription& t : read_texture_container(container, span.size)) {
      if (!format_written(t.format_code)) ++run.tally.textures_skipped;
    }
    if (!folder_checked) {
      folder_checked = true;
      writable = folder_writable(run, g_texture_directory_path) &&
                 folder_writable(run, join_path(g_texture_directory_path, std::to_wstring(n)));
    }
    if (!writable) continue;
    if (run.textures.dds) {
      size_t written = 0;
      if (!extract_textures(container, span.size, n, span.sub_index, &written)) {
        run.texture_failed = true;
      }
      run.tally.textures_written += written;
    }
    if (run.pictures) queue_pictures(*run.pictures, container, span.size, n, span.sub_index);
  }
  if (run.pictures) close_picture_batch(*run.pictures);
}

// A compressed entry once decoded: textures, the exported file, its message.
bool export_decoded(ExportRun& run, uint32_t n, const DecodeResult& decoded) {
  if (decoded.status != DecodeStatus::ok) return fail(entry_decode_failure(n, decoded.status));
  const ByteBuffer& content = decoded.content;
  if (run.textures.dds || run.textures.pictures) export_textures(run, n, content);
  const std::wstring file_name = exported_file_name(run, n);
  WholeFile out(file_name);
  if (!out.is_open()) return fail(msg::kFileCreateFailed);
  if (!out.file().write_at(0, content.data(), content.size()) || !out.finish()) {
    return fail(msg::kFileWriteFailed);
  }
  report_exported(run, file_name);
  ++run.tally.files_written;
  return true;
}

// A pipeline reads the entries. Worker tasks read the payloads (pread, so
// they share the archive handle) and decode them; the calling thread finishes
// the entries strictly in entry order (for export: textures, exported file,
// message). That stage alone touches the export folder, so a failure at an
// entry leaves the files and messages of a one-entry-at-a-time run: entries
// read or decoded beyond it are dropped unwritten.

// Read-ahead limits: memory stays near this, plus one entry larger than it,
// however large the archive is.
constexpr size_t kMaxEntriesInFlight = 64;
constexpr uint64_t kMaxBytesInFlight = uint64_t(128) << 20;
// Payloads of more chunks than this are inflated in pieces of this many
// chunks (256 KiB of content), so that a lone large entry uses every CPU.
constexpr uint32_t kChunksPerPiece = 8;
// Payload and content buffers go back to a store once their entry is done,
// for the entries after it. What the store keeps counts against the
// read-ahead limit, so memory stays as it was; a buffer larger than this,
// of a rare huge entry, goes back to the system.
constexpr size_t kMaxKeptBuffer = size_t(32) << 20;
constexpr size_t kMaxKeptBytes = size_t(64) << 20;

struct Slot {
  ReadEntry entry;
  uint64_t bytes = 0;  // counted against kMaxBytesInFlight
  ByteBuffer payload;  // a compressed entry's payload while it is decoded
  SplitDecode split;   // pieces, when the payload is decoded in pieces
  TaskGroup group;
};

struct Pipeline {
  Pipeline(ReadableArchive& a, EntryRange range, size_t head)
      : archive(a), next(range.start), end(range.end), plain_head(head) {}
  ReadableArchive& archive;
  uint32_t next;
  uint32_t end;
  size_t plain_head;
  std::vector<IndexRecord> batch;
  uint32_t batch_base = 0;
  uint64_t bytes = 0;
  // A payload and a content buffer for each thread at work, kept apart since
  // a payload is about half its content: on one CPU the entry being decoded
  // takes over the memory of the one just written, so memory peaks where it
  // did without the stores.
  BufferStore payloads{helper_threads() + 1, kMaxKeptBuffer, kMaxKeptBytes / 2};
  BufferStore contents{helper_threads() + 1, kMaxKeptBuffer, kMaxKeptBytes / 2};
  // Slots stay in place while their tasks run; the pool, declared last, is
  // joined before any slot goes away.
  std::deque<std::unique_ptr<Slot>> window;
  WorkerPool pool{helper_threads()};
};

// Worker side of an entry: read its bytes, and decode a compressed payload,
// in pieces placed first in the queue so that earlier entries finish first.
// A payload of gigabytes that the file does hold can be more than memory
// allows; the entry then fails like any other that cannot be exported,
// instead of the exception ending the process from a worker thread.
void read_and_decode(Pipeline& p, Slot& slot) {
  ReadEntry& e = slot.entry;
  ByteBuffer storage;  // for the content
  try {
    const uint64_t pos = byte_position(e.record, p.archive.header.offset_unit);
    size_t size = bytes_present(p.archive.length, pos, e.record.stored_size);
    if (!e.compressed) {
      size = std::min(size, p.plain_head);
      e.head = p.payloads.take(size);
      e.payload_read = read_present(p.archive.file, pos, size, &e.head);
      return;
    }
    slot.payload = p.payloads.take(size);
    e.payload_read = read_present(p.archive.file, pos, size, &slot.payload);
    if (!e.payload_read) return;
    storage = p.contents.take(e.record.unpacked_size);
    slot.split = plan_split_decode(slot.payload.data(), slot.payload.size(), e.record.stored_size,
                                   kChunksPerPiece, storage);
  } catch (const std::bad_alloc&) {
    slot.payload = ByteBuffer();
    e.head = ByteBuffer();
    slot.split = SplitDecode();
    // A plain entry's first block that cannot be held fails as its read does.
    if (!e.compressed) e.payload_read = false;
    e.decoded.status = DecodeStatus::out_of_memory;
    return;
  }
  if (slot.split.pieces.empty()) {
    e.decoded = decode_payload(slot.payload.data(), slot.payload.size(), e.record.stored_size,
                               std::move(storage));
    p.payloads.give(std::move(slot.payload));
    return;
  }
  for (size_t i = slot.split.pieces.size(); i-- > 0;) {
    try {
      p.pool.submit_first(slot.group, [&slot, i] { decode_piece(slot.split, i); });
    } catch (const std::bad_alloc&) {
      decode_piece(slot.split, i);  // no room to queue it: done here instead
    }
  }
}

// Takes the next entry into the window. False when nothing after it is to
// be read.
bool admit_next(Pipeline& p) {
  auto slot = std::make_unique<Slot>();
  Slot& s = *slot;
  ReadEntry& e = s.entry;
  p.window.push_back(std::move(slot));
  e.n = p.next++;
  if (e.n - p.batch_base >= p.batch.size()) {
    p.batch_base = e.n;
    if (!read_index_records(p.archive.file, e.n, std::min(kRecordBatch, p.end - e.n), &p.batch)) {
      e.index_read = false;
      return false;
    }
  }
  e.record = p.batch[e.n - p.batch_base];
  e.compressed = e.record.unpacked_size != 0;
  // The index's sizes stand for what the entry will hold in memory: its
  // payload and, when compressed, its content.
  s.bytes = e.compressed ? uint64_t(e.record.stored_size) + e.record.unpacked_size
                         : std::min<uint64_t>(e.record.stored_size, p.plain_head);
  p.bytes += s.bytes;
  p.pool.submit(s.group, [&p, &s] { read_and_decode(p, s); });
  return true;
}

void fill_window(Pipeline& p) {
  // A single entry always gets in, however large.
  while (p.next < p.end && p.window.size() < kMaxEntriesInFlight &&
         (p.window.empty() ||
          p.bytes + p.payloads.kept_bytes() + p.contents.kept_bytes() < kMaxBytesInFlight)) {
    if (!admit_next(p)) p.next = p.end;
  }
}

bool finish_front(Pipeline& p, const std::function<bool(ReadEntry&)>& finish) {
  Slot& slot = *p.window.front();
  try {
    p.pool.wait(slot.group);
  } catch (const std::bad_alloc&) {
    // A piece that could not be decoded: the entry fails as out of memory.
    slot.split = SplitDecode();
    slot.entry.decoded = DecodeResult{DecodeStatus::out_of_memory, {}};
  }
  if (!slot.split.pieces.empty()) {
    try {
      slot.entry.decoded = finish_split_decode(slot.split);
    } catch (const std::bad_alloc&) {
      slot.entry.decoded = DecodeResult{DecodeStatus::out_of_memory, {}};
    }
    p.contents.give(std::move(slot.split.content));
    slot.split = SplitDecode();
    p.payloads.give(std::move(slot.payload));
  }
  const bool ok = finish(slot.entry);
  p.payloads.give(std::move(slot.entry.head));
  p.payloads.give(std::move(slot.payload));
  p.contents.give(std::move(slot.entry.decoded.content));
  p.bytes -= slot.bytes;
  p.window.pop_front();
  return ok;
}

bool finish_exported(ExportRun& run, ReadEntry& e) {
  try {
    if (!e.index_read || !e.payload_read) return fail(entry_read_failure());
    if (!e.compressed) return export_plain(run, e.n, e.record, e.head);
    return export_decoded(run, e.n, e.decoded);
  } catch (const std::bad_alloc&) {
    return fail(entry_too_large_failure(e.n, e.compressed));
  }
}

}  // namespace

bool read_entries(ReadableArchive& archive, EntryRange range, size_t plain_head,
                  const std::function<bool(ReadEntry&)>& finish) {
  Pipeline p(archive, range, plain_head);
  for (;;) {
    fill_window(p);
    if (p.window.empty()) return true;
    if (!finish_front(p, finish)) return false;
  }
}

bool open_archive_to_read(const std::wstring& archive_name,
                          const std::function<void()>& before_open, ReadableArchive* out) {
  if (!path_exists(archive_name)) {
    return fail(msg::archive_missing(archive_name));
  }
  // Taken before the folders are made: a run refused here leaves no trace.
  LockedArchive locked = open_archive_locked(archive_name, ArchiveUse::read);
  if (locked.status == ArchiveOpenStatus::in_use ||
      locked.status == ArchiveOpenStatus::not_recovered ||
      locked.status == ArchiveOpenStatus::lock_failed) {
    return false;
  }
  if (before_open) before_open();
  out->file = std::move(locked.file);
  if (!out->file.is_open()) return fail(msg::kArchiveOpenFailed);
  if (!read_header_reporting(out->file, &out->header)) return false;
  if (!out->file.size(&out->length)) return fail(msg::kArchiveReadFailed);
  return true;
}

EntryRange clamp_range(uint32_t first, uint32_t last, uint32_t entry_count) {
  EntryRange range;
  range.end = std::min(last, entry_count);
  range.start = std::min(first, range.end);
  if (range.end < entry_count) ++range.end;
  return range;
}

// The pictures still being written, then the gallery page over every
// picture in the texture folder. False when something was not written.
bool finish_picture_output(ExportRun& run, const std::wstring& letter) {
  finish_pictures(*run.pictures);
  run.tally.textures_written += run.pictures->written;
  bool ok = !run.pictures->failed;
  if (!folder_writable(run, g_texture_directory_path)) return false;
  const std::wstring import_textures = join_path(join_path(L"Import", letter), L"Textures");
  std::vector<std::wstring> skipped;
  const bool written = write_gallery(g_texture_directory_path, import_textures, &skipped);
  for (const std::wstring& path : skipped) ok = fail(msg::not_regular_file(path));
  if (!written) ok = fail(msg::gallery_write_failed(gallery_path(g_texture_directory_path)));
  return ok;
}

bool run_export(int32_t first, int32_t last, bool with_textures, const std::wstring& archive_name,
                const std::wstring& letter) {
  return run_export(first, last, TextureOutput{with_textures, false}, archive_name, letter);
}

bool run_export(int32_t first, int32_t last, TextureOutput textures,
                const std::wstring& archive_name, const std::wstring& letter) {
  ExportRun run;
  run.archive_name = archive_name;
  run.textures = textures;
  run.export_dir = join_path(L"Extracted", letter);
  const auto make_folders = [&run, &letter] {
    ensure_directory(L"Extracted");
    ensure_directory(run.export_dir);
    ensure_directory(L"Import");
    ensure_directory(join_path(L"Import", letter));
    g_texture_directory_path = join_path(run.export_dir, L"Textures");
    if (run.textures.dds || run.textures.pictures) ensure_directory(g_texture_directory_path);
  };
  if (!open_archive_to_read(archive_name, make_folders, &run.archive)) return false;
  if (run.textures.pictures) run.pictures = std::make_unique<PictureQueue>();
  const EntryRange range =
      clamp_range(uint32_t(first), uint32_t(last), run.archive.header.entry_count);
  // An interruption lets the entry in hand finish (its textures, its file
  // and its line), so that its files agree with each other, and stops the
  // run before the next one. The
  // pipeline's workers are joined inside read_entries, before `deferred`
  // puts the handlers back.
  const platform::InterruptsDeferred deferred;
  bool finished = read_entries(run.archive, range, kPlainCopyBlock, [&](ReadEntry& e) {
    if (platform::interrupt_requested()) return fail(msg::kExportInterrupted);
    return finish_exported(run, e);
  });
  if (run.pictures && !finish_picture_output(run, letter)) finished = false;
  finished = finished && (!platform::interrupt_requested() || fail(msg::kExportInterrupted));
  report_run_on_console(run.tally);
  return finished && !run.texture_failed;
}

}  // namespace linkdata
