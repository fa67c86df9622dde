#include "archive/modes/export.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "archive/format/codec.h"
#include "archive/format/entry_content.h"
#include "archive/format/format.h"
#include "archive/format/package.h"
#include "archive/modes/dds_files.h"
#include "archive/modes/entry_reader.h"
#include "archive/modes/gallery.h"
#include "archive/modes/gallery_notes.h"
#include "archive/modes/open_archive.h"
#include "archive/modes/picture_export.h"
#include "archive/modes/run_summary.h"
#include "archive/modes/texture_file_name.h"
#include "archive/modes/work_tree.h"
#include "platform/byte_buffer.h"
#include "platform/console.h"
#include "platform/deferred_interrupts.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/whole_file.h"
#include "platform/working_paths.h"
#include "textures/texture_formats.h"

namespace linkdata {
namespace {

// Plain entries are copied through a buffer of this size, so memory does not
// follow a stored size that may claim gigabytes.
constexpr size_t kPlainCopyBlock = size_t(8) << 20;

// Beside the exported files, empty: what two exports of one letter take
// turns on.
constexpr const wchar_t* kExportLockName = L".linkdata-export.lock";

struct ExportRun {
  ReadableArchive archive;
  std::wstring archive_name;
  std::wstring export_dir;
  std::wstring texture_dir;
  TextureOutput textures;
  RunTally tally;
  std::unique_ptr<PictureQueue> pictures;  // with the p flag
  bool texture_failed = false;             // the run goes on, and ends with a failure
  std::set<std::wstring> links_reported;   // texture folders found to be links
  // In the export folder, listed once it is this run's.
  std::unique_ptr<LeftoverTemporaries> leftovers;
};

std::wstring exported_file_name(const ExportRun& run, uint32_t n) {
  return join_path(run.export_dir, std::to_wstring(n) + L".data");
}

void report_exported(const ExportRun& run, const std::wstring& file_name) {
  say(msg::exported(run.archive_name, file_name));
}

// A file found to hold the entry's bytes already, where the entry was read:
// left as it is, reported as written.
bool keep_unchanged(ExportRun& run, const std::wstring& file_name, TargetState target) {
  if (target != TargetState::same && target != TargetState::same_beside_leftover) return false;
  keep_target(file_name, target);
  report_exported(run, file_name);
  ++run.tally.files_written;
  return true;
}

// A plain entry: copied block by block, the first block read ahead by the
// pipeline; the part past the end of the archive is zeros, which the file
// gets by being extended rather than written.
bool export_plain(ExportRun& run, uint32_t n, const IndexRecord& record,
                  const ByteBuffer& first_block, TargetState target) {
  const uint64_t pos = byte_position(record, run.archive.header.offset_unit);
  const size_t present = bytes_present(run.archive.length, pos, record.stored_size);
  const std::wstring file_name = exported_file_name(run, n);
  if (keep_unchanged(run, file_name, target)) return true;
  // A file that fails part way is dropped: the old export stays as it was.
  WholeFile out(file_name, record.stored_size, target);
  if (!out.is_open()) return fail(msg::kFileCreateFailed);
  if (!out.write_at(0, first_block.data(), first_block.size())) {
    return fail(msg::kFileWriteFailed);
  }
  size_t done = first_block.size();
  ByteBuffer block;
  while (done < present) {
    const size_t n_bytes = std::min(present - done, kPlainCopyBlock);
    if (!read_present(run.archive.file, pos + done, n_bytes, &block)) {
      return fail(entry_read_failure());
    }
    if (!out.write_at(done, block.data(), n_bytes)) return fail(msg::kFileWriteFailed);
    done += n_bytes;
  }
  const bool finished =
      (done == record.stored_size || out.extend_to(record.stored_size)) && out.finish();
  if (!finished) return fail(msg::kFileWriteFailed);
  report_exported(run, file_name);
  ++run.tally.files_written;
  return true;
}

// Two exports of one letter write the same files, each through temporary
// files and spares of its own: the later one waits for the earlier, so that
// neither takes up the other's. Held while the returned file is open; a file
// system without locks, or a lock file that cannot be made, lets it go on.
platform::File export_folder_held(const std::wstring& export_dir) {
  platform::File lock = platform::File::open_to_replace(join_path(export_dir, kExportLockName));
  if (!lock.is_open()) return lock;
  while (lock.lock(platform::LockKind::exclusive) == platform::LockOutcome::busy) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return lock;
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

// With p, what the gallery needs beside an entry's pictures: the textures
// left out for their format, and the entry's identity, which its pictures'
// notes carry too. Written where the entry has textures, or a folder of
// earlier runs whose pictures may now be older than the entry. A note that
// cannot be written fails the run as the page would.
void leave_gallery_notes(ExportRun& run, uint32_t n, const ByteBuffer& content, bool has_textures,
                         const std::vector<SkippedTexture>& skipped, std::string* identity) {
  const std::wstring entry_dir = entry_texture_dir(run.texture_dir, n);
  if (!skipped.empty()) ensure_directory(entry_dir);
  if (!has_textures && (platform::name_kind(run.texture_dir) != platform::NameKind::folder)) return;
  if (platform::name_kind(entry_dir) != platform::NameKind::folder) return;
  if (identity->empty()) *identity = entry_identity(content.data(), content.size());
  if (!write_entry_identity(entry_dir, *identity)) {
    say(msg::gallery_write_failed(entry_identity_path(entry_dir)));
    run.texture_failed = true;
  }
  if (!write_skipped_textures(entry_dir, skipped)) {
    say(msg::gallery_write_failed(skipped_textures_path(entry_dir)));
    run.texture_failed = true;
  }
}

// Textures of an entry's content: DDS files now, pictures queued. Each
// container is read once, for both.
void export_textures(ExportRun& run, uint32_t n, const ByteBuffer& content) {
  bool writable = true;
  bool folder_checked = false;
  std::vector<SkippedTexture> skipped;
  std::string identity;  // with p, of an entry that has textures or a folder of them
  for (const ContainerSpan& span : find_texture_containers(content.data(), content.size())) {
    const uint8_t* container = content.data() + span.offset;
    const std::vector<TextureDescription> textures = read_texture_container(container, span.size);
    for (const TextureDescription& t : textures) {
      if (find_texture_format(t.format_code) != nullptr) continue;
      ++run.tally.textures_skipped;
      skipped.push_back(
          {span.sub_index, t.texture_index, t.format_code, t.width, t.height, t.mip_count});
    }
    if (!folder_checked) {
      folder_checked = true;
      writable = folder_writable(run, run.texture_dir) &&
                 folder_writable(run, join_path(run.texture_dir, std::to_wstring(n)));
    }
    if (!writable) continue;
    if (run.textures.dds) {
      const DdsFilesWritten dds =
          extract_textures(run.texture_dir, textures, container, span.size, n, span.sub_index);
      for (const std::wstring& path : dds.unwritten) say(msg::texture_write_failed(path));
      if (!dds.all_written()) run.texture_failed = true;
      run.tally.textures_written += dds.written;
    }
    if (run.pictures) {
      if (identity.empty()) identity = entry_identity(content.data(), content.size());
      queue_pictures(*run.pictures, textures, container, n, span.sub_index, identity);
    }
  }
  if (!run.pictures) return;
  if (writable) leave_gallery_notes(run, n, content, folder_checked, skipped, &identity);
  close_picture_batch(*run.pictures);
}

// An entry's whole content: textures, the exported file, its message.
bool export_content(ExportRun& run, uint32_t n, const ByteBuffer& content, TargetState target) {
  if (run.textures.dds || run.textures.pictures) export_textures(run, n, content);
  const std::wstring file_name = exported_file_name(run, n);
  if (keep_unchanged(run, file_name, target)) return true;
  WholeFile out(file_name, content.size(), target);
  if (!out.is_open()) return fail(msg::kFileCreateFailed);
  if (!out.write_at(0, content.data(), content.size()) || !out.finish()) {
    return fail(msg::kFileWriteFailed);
  }
  report_exported(run, file_name);
  ++run.tally.files_written;
  return true;
}

// A plain entry is examined for textures as a decoded one is, whatever
// stored it plain (import appends an entry plain once it outgrows its
// slot): held whole when its first bytes show a texture container or a
// package, copied block by block otherwise, so that other data costs no
// more than before. One that memory cannot hold stops the run rather than
// go out without its textures.
bool export_stored_plain(ExportRun& run, ReadEntry& e) {
  if ((!run.textures.dds && !run.textures.pictures) || !plain_may_hold_textures(e)) {
    return export_plain(run, e.n, e.record, e.head, e.target);
  }
  ByteBuffer content;
  try {
    if (!take_plain_content(run.archive, e, &content)) return fail(entry_read_failure());
  } catch (const std::bad_alloc&) {
    return fail(msg::kOutOfMemory);
  }
  return export_content(run, e.n, content, e.target);
}

// A pipeline reads the entries. Worker tasks read the payloads (pread, so
// they share the archive handle) and decode them; the calling thread finishes
// the entries strictly in entry order (for export: textures, exported file,
// message). That stage alone writes in the export folder, so a failure at an
// entry leaves the files and messages of a one-entry-at-a-time run: entries
// read or decoded beyond it are dropped unwritten. What the workers may do
// there is read: an entry's file is compared with its content where the
// entry was decoded, so that the writing stage, whose system calls bound an
// export of many small entries, is left only the files that change.

void examine_exported_file(const ExportRun& run, ReadEntry& e) {
  const ByteBuffer& content = e.compressed ? e.decoded.content : e.head;
  try {
    e.target = examine_target(exported_file_name(run, e.n), content.data(), content.size(),
                              *run.leftovers);
  } catch (const std::bad_alloc&) {
    e.target = TargetState::unknown;  // the writing stage compares, as it would have
  }
}

bool finish_exported(ExportRun& run, ReadEntry& e) {
  try {
    if (!e.index_read || !e.payload_read) return fail(entry_read_failure());
    if (!e.compressed) return export_stored_plain(run, e);
    if (e.decoded.status != DecodeStatus::ok) {
      return fail(entry_decode_failure(e.n, e.decoded.status));
    }
    return export_content(run, e.n, e.decoded.content, e.target);
  } catch (const std::bad_alloc&) {
    return fail(entry_too_large_failure(e.n, e.compressed));
  }
}

}  // namespace

// The pictures still being written, then the gallery page over every
// picture in the texture folder. False when something was not written.
bool finish_picture_output(ExportRun& run, const std::wstring& letter) {
  finish_pictures(*run.pictures);
  run.tally.textures_written += run.pictures->written;
  // A run that ran out of memory stops there, without a gallery.
  if (run.pictures->out_of_memory) return fail(msg::kOutOfMemory);
  bool ok = !run.pictures->failed;
  if (!folder_writable(run, run.texture_dir)) return false;
  std::vector<std::wstring> skipped;
  const bool written = write_gallery(work_tree_for(letter), &skipped);
  for (const std::wstring& path : skipped) ok = fail(msg::not_regular_file(path));
  if (written) {
    run.tally.gallery_page = gallery_path(run.texture_dir);
  } else {
    ok = fail(msg::gallery_write_failed(gallery_path(run.texture_dir)));
  }
  return ok;
}

bool run_export(int32_t first, int32_t last, TextureOutput textures,
                const std::wstring& archive_name, const std::wstring& letter) {
  // The export folder, taken in turn with other exports of the letter. The
  // spare files the run's writes kept go when the run does, its picture
  // writers joined before, and before another export may take the folder.
  struct ExportFolder {
    platform::File held;
    ~ExportFolder() { drop_spare_files(); }
  } folder;
  ExportRun run;
  run.archive_name = archive_name;
  run.textures = textures;
  const WorkTree tree = work_tree_for(letter);
  run.export_dir = tree.export_dir;
  run.texture_dir = tree.texture_dir;
  const auto make_folders = [&run, &letter] {
    ensure_directory(L"Extracted");
    ensure_directory(run.export_dir);
    ensure_directory(L"Import");
    ensure_directory(join_path(L"Import", letter));
    if (run.textures.dds || run.textures.pictures) ensure_directory(run.texture_dir);
  };
  if (!open_archive_to_read(archive_name, make_folders, &run.archive)) return false;
  folder.held = export_folder_held(run.export_dir);
  run.leftovers = std::make_unique<LeftoverTemporaries>(run.export_dir);
  if (run.textures.pictures) {
    run.pictures = std::make_unique<PictureQueue>();
    run.pictures->texture_dir = run.texture_dir;
  }
  const EntryRange range =
      clamp_range(uint32_t(first), uint32_t(last), run.archive.header.entry_count);
  // An interruption lets the entry in hand finish (its textures, its file
  // and its line), so that its files agree with each other, and stops the
  // run before the next one. The
  // pipeline's workers are joined inside read_entries, before `deferred`
  // puts the handlers back.
  const platform::InterruptsDeferred deferred;
  bool finished = read_entries(
      run.archive, range, kPlainCopyBlock,
      [&](ReadEntry& e) {
        if (platform::interrupt_requested()) return fail(msg::kExportInterrupted);
        // Its message comes once the pictures in hand are done.
        if (run.pictures && run.pictures->out_of_memory) return false;
        return finish_exported(run, e);
      },
      [&run](ReadEntry& e) { examine_exported_file(run, e); });
  if (run.pictures && !finish_picture_output(run, letter)) finished = false;
  finished = finished && (!platform::interrupt_requested() || fail(msg::kExportInterrupted));
  report_export_on_console(run.tally);
  return finished && !run.texture_failed;
}

}  // namespace linkdata
