#include "archive/export.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "archive/codec.h"
#include "archive/format.h"
#include "archive/locked_archive.h"
#include "archive/package.h"
#include "archive/worker_pool.h"
#include "platform/platform.h"
#include "platform/working_paths.h"
#include "textures/dds.h"

namespace linkdata {
namespace {

constexpr uint32_t kRecordBatch = 4096;
// Plain entries are copied through a buffer of this size, so memory does not
// follow a stored size that may claim gigabytes.
constexpr size_t kCopyBlock = size_t(8) << 20;

struct ExportRun {
  platform::File archive;
  uint64_t archive_length = 0;
  uint32_t offset_unit = 0;
  std::wstring archive_name;
  std::wstring export_dir;
  bool with_textures = false;
};

// Bytes of [pos, pos + size) that the file really holds; the rest reads as zeros.
size_t bytes_present(const ExportRun& run, uint64_t pos, uint64_t size) {
  if (pos >= run.archive_length) return 0;
  return size_t(std::min(size, run.archive_length - pos));
}

bool read_present(ExportRun& run, uint64_t pos, size_t n, std::vector<uint8_t>* out) {
  out->assign(n, 0);
  size_t got = 0;
  return run.archive.read_at(pos, out->data(), n, &got);
}

std::wstring exported_file_name(const ExportRun& run, uint32_t n) {
  return join_path(run.export_dir, std::to_wstring(n) + L".data");
}

void report_exported(const ExportRun& run, const std::wstring& file_name) {
  say(L"从 " + run.archive_name + L" 中导出文件 " + file_name + L" 成功！\n");
}

bool fail(const wchar_t* message) {
  say(message);
  return false;
}

// Exported files are rewritten in place rather than truncated first (see
// File::open_to_replace); one that fails part way is cut to what was
// written, as a truncated one would hold.
bool fail_cut(platform::File& out, uint64_t written, const wchar_t* message) {
  out.extend_to(written);
  return fail(message);
}

// A plain entry: copied block by block, the first block read ahead by the
// pipeline; the part past the end of the archive is zeros, which the file
// gets by being extended rather than written.
bool export_plain(ExportRun& run, uint32_t n, const IndexRecord& record,
                  const std::vector<uint8_t>& first_block) {
  const uint64_t pos = byte_position(record, run.offset_unit);
  const size_t present = bytes_present(run, pos, record.stored_size);
  const std::wstring file_name = exported_file_name(run, n);
  platform::File out = platform::File::open_to_replace(file_name);
  if (!out.is_open()) return fail(L"创建文件失败！\n");
  if (!out.write_at(0, first_block.data(), first_block.size())) {
    return fail_cut(out, 0, L"写入文件失败！\n");
  }
  size_t done = first_block.size();
  std::vector<uint8_t> block;
  while (done < present) {
    const size_t n_bytes = std::min(present - done, kCopyBlock);
    if (!read_present(run, pos + done, n_bytes, &block)) {
      return fail_cut(out, done, L"读取文件出错！\n");
    }
    if (!out.write_at(done, block.data(), n_bytes)) return fail_cut(out, done, L"写入文件失败！\n");
    done += n_bytes;
  }
  // Cut before extending, so that no byte of the old file shows among the zeros.
  const bool finished = out.extend_to(done) &&
                        (done == record.stored_size || out.extend_to(record.stored_size)) &&
                        out.close();
  if (!finished) return fail(L"写入文件失败！\n");
  report_exported(run, file_name);
  return true;
}

bool fail_decoding(uint32_t n) {
  return fail((L"解压文件 " + std::to_wstring(n) + L".data 出错！\n").c_str());
}

// A compressed entry once decoded: textures, the exported file, its message.
bool export_decoded(ExportRun& run, uint32_t n, const DecodeResult& decoded) {
  if (decoded.status != DecodeStatus::ok) {
    if (decoded.status == DecodeStatus::length_mismatch) say(kLengthMismatchMessage);
    return fail_decoding(n);
  }
  const std::vector<uint8_t>& content = decoded.content;
  if (run.with_textures) {
    for (const ContainerSpan& span : find_texture_containers(content.data(), content.size())) {
      extract_textures(content.data() + span.offset, span.size, n, span.sub_index);
    }
  }
  const std::wstring file_name = exported_file_name(run, n);
  platform::File out = platform::File::open_to_replace(file_name);
  if (!out.is_open()) return fail(L"创建文件失败！\n");
  if (!out.write_at(0, content.data(), content.size())) return fail_cut(out, 0, L"写入文件失败！\n");
  if (!out.extend_to(content.size()) || !out.close()) return fail(L"写入文件失败！\n");
  report_exported(run, file_name);
  return true;
}

// Export runs as a pipeline. Worker tasks read the payloads (pread, so they
// share the archive handle) and decode them; the calling thread finishes the
// entries strictly in entry order: textures, exported file, message. That
// stage alone touches the export folder, so a failure at an entry leaves the
// files and messages of a one-entry-at-a-time run: entries read or decoded
// beyond it are dropped unwritten.

// Read-ahead limits: memory stays near this, plus one entry larger than it,
// however large the archive is.
constexpr size_t kMaxEntriesInFlight = 64;
constexpr uint64_t kMaxBytesInFlight = uint64_t(128) << 20;
// Payloads of more chunks than this are inflated in pieces of this many
// chunks (256 KiB of content), so that a lone large entry uses every CPU.
constexpr uint32_t kChunksPerPiece = 8;

enum class SlotKind { plain, compressed, index_read_error };

struct Slot {
  uint32_t n = 0;
  IndexRecord record;
  SlotKind kind = SlotKind::plain;
  uint64_t bytes = 0;  // counted against kMaxBytesInFlight
  bool read_ok = true;
  std::vector<uint8_t> payload;  // the payload, or a plain entry's first block
  SplitDecode split;             // pieces, when the payload is decoded in pieces
  DecodeResult decoded;          // the result otherwise
  TaskGroup group;
};

struct Pipeline {
  Pipeline(ExportRun& r, uint32_t first, uint32_t stop) : run(r), next(first), end(stop) {}
  ExportRun& run;
  uint32_t next;
  uint32_t end;
  std::vector<IndexRecord> batch;
  uint32_t batch_base = 0;
  uint64_t bytes = 0;
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
  try {
    const uint64_t pos = byte_position(slot.record, p.run.offset_unit);
    size_t size = bytes_present(p.run, pos, slot.record.stored_size);
    if (slot.kind == SlotKind::plain) size = std::min(size, kCopyBlock);
    slot.read_ok = read_present(p.run, pos, size, &slot.payload);
    if (!slot.read_ok || slot.kind == SlotKind::plain) return;
    slot.split = plan_split_decode(slot.payload.data(), slot.payload.size(),
                                   slot.record.stored_size, kChunksPerPiece);
  } catch (const std::bad_alloc&) {
    slot.payload = std::vector<uint8_t>();
    slot.split = SplitDecode();
    // A plain entry's first block that cannot be held fails as its read does.
    if (slot.kind == SlotKind::plain) slot.read_ok = false;
    slot.decoded.status = DecodeStatus::out_of_memory;
    return;
  }
  if (slot.split.pieces.empty()) {
    slot.decoded =
        decode_payload(slot.payload.data(), slot.payload.size(), slot.record.stored_size);
    slot.payload = std::vector<uint8_t>();
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
  p.window.push_back(std::move(slot));
  s.n = p.next++;
  if (s.n - p.batch_base >= p.batch.size()) {
    p.batch_base = s.n;
    if (!read_index_records(p.run.archive, s.n, std::min(kRecordBatch, p.end - s.n), &p.batch)) {
      s.kind = SlotKind::index_read_error;
      return false;
    }
  }
  s.record = p.batch[s.n - p.batch_base];
  s.kind = s.record.unpacked_size != 0 ? SlotKind::compressed : SlotKind::plain;
  // The index's sizes stand for what the entry will hold in memory: its
  // payload and, when compressed, its content.
  s.bytes = s.kind == SlotKind::plain ? std::min<uint64_t>(s.record.stored_size, kCopyBlock)
                                      : uint64_t(s.record.stored_size) + s.record.unpacked_size;
  p.bytes += s.bytes;
  p.pool.submit(s.group, [&p, &s] { read_and_decode(p, s); });
  return true;
}

void fill_window(Pipeline& p) {
  // A single entry always gets in, however large.
  while (p.next < p.end && p.window.size() < kMaxEntriesInFlight &&
         (p.window.empty() || p.bytes < kMaxBytesInFlight)) {
    if (!admit_next(p)) p.next = p.end;
  }
}

bool finish_front(Pipeline& p) {
  Slot& slot = *p.window.front();
  p.pool.wait(slot.group);
  bool ok = false;
  try {
    if (slot.kind == SlotKind::index_read_error || !slot.read_ok) {
      ok = fail(L"读取文件出错！\n");
    } else if (slot.kind == SlotKind::plain) {
      ok = export_plain(p.run, slot.n, slot.record, slot.payload);
    } else {
      if (!slot.split.pieces.empty()) slot.decoded = finish_split_decode(slot.split);
      ok = export_decoded(p.run, slot.n, slot.decoded);
    }
  } catch (const std::bad_alloc&) {
    ok = slot.kind == SlotKind::compressed ? fail_decoding(slot.n) : fail(L"读取文件出错！\n");
  }
  p.bytes -= slot.bytes;
  p.window.pop_front();
  return ok;
}

bool export_range(ExportRun& run, uint32_t start, uint32_t end) {
  Pipeline p(run, start, end);
  for (;;) {
    fill_window(p);
    if (p.window.empty()) return true;
    if (!finish_front(p)) return false;
  }
}

}  // namespace

bool run_export(int32_t first, int32_t last, bool with_textures,
                const std::wstring& archive_name, const std::wstring& letter) {
  if (!path_exists(archive_name)) {
    return fail((L"文件“" + archive_name + L"”不存在！\n").c_str());
  }
  // Taken before the folders are made: a run refused here leaves no trace.
  LockedArchive locked = open_archive_locked(archive_name, ArchiveUse::read);
  if (locked.status == ArchiveOpenStatus::in_use ||
      locked.status == ArchiveOpenStatus::not_recovered) {
    return false;
  }
  ExportRun run;
  run.archive_name = archive_name;
  run.with_textures = with_textures;
  run.export_dir = join_path(L"Extracted", letter);
  ensure_directory(L"Extracted");
  ensure_directory(run.export_dir);
  ensure_directory(L"Import");
  ensure_directory(join_path(L"Import", letter));
  g_texture_directory_path = join_path(run.export_dir, L"Textures");
  if (with_textures) ensure_directory(g_texture_directory_path);

  run.archive = std::move(locked.file);
  if (!run.archive.is_open()) return fail(L"打开文件失败！\n");
  ArchiveHeader header;
  switch (read_archive_header(run.archive, &header)) {
    case IndexReadStatus::read_error: return fail(L"读取文件出错！\n");
    case IndexReadStatus::bad_magic: return fail(L"LINKDATA 文件格式错误！\n");
    case IndexReadStatus::ok: break;
  }
  run.offset_unit = header.offset_unit;
  if (!run.archive.size(&run.archive_length)) return fail(L"读取文件出错！\n");

  // Range: last clamps to the entry count and is inclusive when below it; a
  // first beyond last exports the single entry last.
  const uint32_t count = header.entry_count;
  uint32_t end = std::min(uint32_t(last), count);
  const uint32_t start = std::min(uint32_t(first), end);
  if (end < count) ++end;

  return export_range(run, start, end);
}

}  // namespace linkdata
