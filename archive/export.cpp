#include "archive/export.h"

#include <algorithm>
#include <string>
#include <vector>

#include "archive/codec.h"
#include "archive/format.h"
#include "archive/package.h"
#include "front_end/platform.h"
#include "front_end/working_dirs.h"
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

// A plain entry: copied block by block; the part past the end of the archive
// is zeros, which the file gets by being extended rather than written.
bool export_plain(ExportRun& run, uint32_t n, const IndexRecord& record) {
  const uint64_t pos = byte_position(record, run.offset_unit);
  const size_t present = bytes_present(run, pos, record.stored_size);
  std::vector<uint8_t> block;
  size_t done = std::min(present, kCopyBlock);
  if (!read_present(run, pos, done, &block)) return fail(L"读取文件出错！\n");

  const std::wstring file_name = exported_file_name(run, n);
  platform::File out = platform::File::create_always(file_name);
  if (!out.is_open()) return fail(L"创建文件失败！\n");
  if (!out.write_at(0, block.data(), block.size())) return fail(L"写入文件失败！\n");
  while (done < present) {
    const size_t n_bytes = std::min(present - done, kCopyBlock);
    if (!read_present(run, pos + done, n_bytes, &block)) return fail(L"读取文件出错！\n");
    if (!out.write_at(done, block.data(), n_bytes)) return fail(L"写入文件失败！\n");
    done += n_bytes;
  }
  if (done < record.stored_size && !out.extend_to(record.stored_size)) {
    return fail(L"写入文件失败！\n");
  }
  report_exported(run, file_name);
  return true;
}

bool export_compressed(ExportRun& run, uint32_t n, const IndexRecord& record) {
  const uint64_t pos = byte_position(record, run.offset_unit);
  std::vector<uint8_t> payload;
  if (!read_present(run, pos, bytes_present(run, pos, record.stored_size), &payload)) {
    return fail(L"读取文件出错！\n");
  }
  DecodeResult decoded = decode_payload(payload.data(), payload.size(), record.stored_size);
  payload = std::vector<uint8_t>();
  if (decoded.status != DecodeStatus::ok) {
    if (decoded.status == DecodeStatus::length_mismatch) say(kLengthMismatchMessage);
    say(L"解压文件 " + std::to_wstring(n) + L".data 出错！\n");
    return false;
  }
  const std::vector<uint8_t>& content = decoded.content;
  if (run.with_textures) {
    for (const ContainerSpan& span : find_texture_containers(content.data(), content.size())) {
      extract_textures(content.data() + span.offset, span.size, n, span.sub_index);
    }
  }
  const std::wstring file_name = exported_file_name(run, n);
  platform::File out = platform::File::create_always(file_name);
  if (!out.is_open()) return fail(L"创建文件失败！\n");
  if (!out.write_at(0, content.data(), content.size())) return fail(L"写入文件失败！\n");
  report_exported(run, file_name);
  return true;
}

}  // namespace

bool run_export(int32_t first, int32_t last, bool with_textures,
                const std::wstring& archive_name, const std::wstring& letter) {
  if (!path_exists(archive_name)) {
    return fail((L"文件“" + archive_name + L"”不存在！\n").c_str());
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

  run.archive = platform::File::open_read(archive_name);
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

  std::vector<IndexRecord> batch;
  for (uint32_t base = start; base < end; base += uint32_t(batch.size())) {
    const uint32_t batch_count = std::min(kRecordBatch, end - base);
    if (!read_index_records(run.archive, base, batch_count, &batch)) {
      return fail(L"读取文件出错！\n");
    }
    for (uint32_t i = 0; i < batch_count; ++i) {
      const IndexRecord& record = batch[i];
      const bool ok = record.unpacked_size != 0 ? export_compressed(run, base + i, record)
                                                : export_plain(run, base + i, record);
      if (!ok) return false;
    }
  }
  return true;
}

}  // namespace linkdata
