#include "archive/import.h"

#include <algorithm>
#include <cstdint>
#include <future>
#include <map>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "archive/codec.h"
#include "archive/format.h"
#include "archive/group_commit.h"
#include "archive/import_names.h"
#include "archive/journal.h"
#include "archive/locked_archive.h"
#include "archive/originals.h"
#include "archive/texture_patch.h"
#include "archive/worker_pool.h"
#include "platform/deferred_interrupts.h"
#include "platform/platform.h"
#include "platform/working_paths.h"

namespace linkdata {
namespace {

// A listed loose file that passed the name test, with the record of its entry
// as the archive held it when the run began.
struct Candidate {
  std::wstring name;
  int32_t entry = 0;
  bool in_range = false;
  IndexRecord record;
  std::vector<TextureFile> textures;  // edited textures to patch into its content
  // No loose file: the content to patch is the entry's own, from the archive.
  bool from_archive = false;
};

// The file that messages about a candidate name.
const std::wstring& shown_name(const Candidate& c) {
  return c.from_archive ? c.textures.front().path : c.name;
}

// With edited textures present, entries go in ascending entry number (loose
// files for one entry keep their name order). An entry's textures patch its
// last loose file, the one whose content stays, or else the entry's own
// content, read from the archive when its turn comes.
void add_texture_files(const std::vector<TextureFile>& files, uint32_t entry_count,
                       std::vector<Candidate>* candidates) {
  auto by_entry = [](const Candidate& a, const Candidate& b) { return a.entry < b.entry; };
  std::stable_sort(candidates->begin(), candidates->end(), by_entry);
  for (size_t i = 0, j = 0; i < files.size(); i = j) {
    while (j < files.size() && files[j].entry == files[i].entry) ++j;
    std::vector<TextureFile> group(files.begin() + long(i), files.begin() + long(j));
    const uint64_t n = files[i].entry;
    auto last = std::find_if(candidates->rbegin(), candidates->rend(), [n](const Candidate& c) {
      return c.entry >= 0 && uint64_t(c.entry) == n;
    });
    if (last != candidates->rend()) {
      last->textures = std::move(group);
      continue;
    }
    Candidate c;
    c.entry = int32_t(std::min<uint64_t>(n, INT32_MAX));
    c.in_range = n < entry_count;
    c.textures = std::move(group);
    c.from_archive = true;
    candidates->push_back(std::move(c));
  }
  std::stable_sort(candidates->begin(), candidates->end(), by_entry);
}

struct ImportRun {
  std::wstring archive_name;
  platform::File archive;
  Journal journal;
  uint32_t entry_count = 0;
  uint64_t original_length = 0;  // of the archive file before the first write
  Originals originals;
  bool originals_begun = false;
  std::vector<uint32_t> written;  // entries handed to the archive
  // The crc32 of the payloads written, for the fingerprint at the end: it
  // need not read them back.
  std::map<uint32_t, uint32_t> payload_crcs;
  GroupCommitter groups{archive, journal};  // last: it waits for its writer before the rest goes
};

const wchar_t* const kOriginalsWriteFailed = L"写入原始数据文件失败！\n";

bool fail(const std::wstring& message) {
  say(message);
  return false;
}

// The file of originals must describe the archive as this tool left it; one
// that does not (the archive was replaced since) is set aside, never deleted,
// and a new one starts from the archive as it is now.
bool take_originals(ImportRun& run, platform::File& archive) {
  switch (load_originals(run.archive_name, true, &run.originals)) {
    case OriginalsLoad::none: return true;
    case OriginalsLoad::unreadable:
      return fail(L"原始数据文件 " + originals_path(run.archive_name) + L" 无法读取！\n");
    case OriginalsLoad::ok: break;
  }
  // The payloads are checked by restore, which writes the saved bytes back.
  if (originals_match(run.originals, archive, false)) return true;
  const std::wstring aside = set_originals_aside(run.originals);
  if (aside.empty()) return fail(kOriginalsWriteFailed);
  say(run.archive_name + L" 在上次导入后被其他程序修改过，旧的原始数据文件已改名为 " + aside +
      L"，从现在的状态重新保存原始数据！\n");
  return true;
}

// Before a group's bytes go in: whatever of them overwrites the original
// archive for the first time is saved and on disk.
std::wstring save_group_originals(ImportRun& run, platform::File& archive, const Group& g) {
  for (size_t e = 0; e < g.entries.size(); ++e) {
    const size_t end = e + 1 < g.entries.size() ? g.entries[e + 1].first_write : g.writes.size();
    // An in-place entry's writes: its record, then its payload, if not empty.
    for (size_t i = g.entries[e].first_write; i < end; ++i) {
      if (!originals_save(run.originals, archive, g.entries[e].entry, g.writes[i].position,
                          g.writes[i].bytes.size())) {
        return kOriginalsWriteFailed;
      }
    }
  }
  return originals_flush(run.originals) ? L"" : kOriginalsWriteFailed;
}

// A failure message comes after the lines of everything before it.
bool fail_after_group(ImportRun& run, const std::wstring& message) {
  return run.groups.commit_all() && fail(message);
}

// In place: the record, then the data in the entry's own slot (the slot's
// bytes behind the new data keep what they held), both through the journal.
void add_in_place(ImportRun& run, uint32_t n, uint64_t position, std::vector<uint8_t> data,
                  uint32_t size, uint32_t unpacked_size, std::vector<std::wstring> lines) {
  Group& g = run.groups.pending();
  g.entries.push_back({g.writes.size(), std::move(lines), n});
  PendingWrite record{record_position(n), std::vector<uint8_t>(kRecordSize)};
  encode_record(IndexRecord{position / kWriteUnit, size, unpacked_size}, record.bytes.data());
  g.writes.push_back(std::move(record));
  if (size != 0) {
    data.resize(size);
    g.bytes += size;
    g.writes.push_back({position, std::move(data)});
  }
}

// Append: the data lands first, at a 2048-aligned end, and only then does the
// record point at it. A crash or full disk in between leaves the old record
// pointing at the old, intact slot; a failed append is cut off again. A
// record is 16 aligned bytes, which no crash tears, so it needs no journal;
// it reaches the disk with the next flush, and its line waits for that.
bool append_plain(ImportRun& run, uint32_t n, const std::vector<uint8_t>& padded, uint32_t size,
                  std::vector<std::wstring> lines) {
  uint64_t length = 0;
  if (!run.archive.size(&length)) return false;
  const uint64_t aligned = (length + kWriteUnit - 1) / kWriteUnit * kWriteUnit;
  // The flush also takes the records of earlier appends to disk.
  const bool data_written = run.archive.extend_to(aligned) &&
                            run.archive.write_at(aligned, padded.data(), padded.size()) &&
                            run.archive.flush_to_disk();
  if (!data_written) {
    run.archive.extend_to(length);
    return false;
  }
  run.groups.records_flushed();
  uint8_t bytes[kRecordSize];
  encode_record(IndexRecord{aligned / kWriteUnit, size, 0}, bytes);
  if (!run.archive.write_at(record_position(n), bytes, sizeof bytes)) return false;
  run.groups.add_unflushed_record(std::move(lines));
  return true;
}

// A slot is rewritten in place only where it lies in the payload area of the
// file as it was when the run began: a record pointing into the header or the
// index (a payload offset of 0, or one whose byte position wraps there), or
// past that end, where this run's own appends land, gets its entry appended
// instead. So no record can make import overwrite the index or an entry it
// has just appended, and only appends ever grow the file.
bool slot_usable(const ImportRun& run, uint64_t position, uint64_t size) {
  if (size == 0) return true;  // nothing is written there
  return position >= record_position(run.entry_count) && position <= run.original_length &&
         size <= run.original_length - position;
}

enum class Way { compressed_in_place, plain_in_place, plain_append };

// What a loose file comes to before anything is written for it: a failure
// message, or the bytes to write and where. It rests only on the file and on
// the index as read at the start, so the next file can be prepared while the
// current one is written.
struct Prepared {
  std::wstring failure;  // set: the run ends with this message
  // Set by a look-ahead that left the file for its turn: larger than a
  // look-ahead takes on, or out of memory beside the previous file.
  bool again_in_turn = false;
  Way way = Way::plain_append;
  std::vector<uint8_t> data;  // the payload, or the file padded to a whole slot
  uint32_t size = 0;          // bytes of data that the record counts
  uint32_t unpacked_size = 0;
};

Prepared failed(std::wstring message) {
  Prepared p;
  p.failure = std::move(message);
  return p;
}

// Fills buffer with a loose file's bytes, padded with zeros to a whole slot.
// A result ends the candidate there.
std::optional<Prepared> read_loose_file(const Candidate& c, uint64_t size_limit,
                                        std::vector<uint8_t>* buffer, uint32_t* size_out) {
  platform::File loose = platform::File::open_read(join_path(g_import_directory_path, c.name));
  if (!loose.is_open()) return failed(c.name + L" 文件打开失败！\n");
  uint64_t file_size = 0;
  if (!loose.size(&file_size)) return failed(c.name + L" 文件读取出错！\n");
  // Index records hold 32-bit sizes.
  if (file_size > UINT32_MAX) return failed(c.name + L" 文件过大，无法导入！\n");
  if (file_size > size_limit) {
    Prepared p;
    p.again_in_turn = true;
    return p;
  }
  const uint32_t size = uint32_t(file_size);
  buffer->assign(size_t(slot_size(size)), 0);
  size_t got = 0;
  // A file that shrank since its size was taken (an editor still saving it)
  // would otherwise go in zero-padded to its old size.
  if (!loose.read_at(0, buffer->data(), size, &got) || got != size) {
    return failed(c.name + L" 文件读取出错！\n");
  }
  *size_out = size;
  return std::nullopt;
}

// The content to write, padded to a whole slot: the loose file's, or the
// entry's own, with the candidate's textures patched in.
std::optional<Prepared> load_content(ImportRun& run, const Candidate& c, uint64_t size_limit,
                                     std::vector<uint8_t>* buffer, uint32_t* size) {
  if (!c.from_archive) {
    std::optional<Prepared> ended = read_loose_file(c, size_limit, buffer, size);
    if (ended) return ended;
  } else {
    const std::wstring failure =
        read_entry_content(run.archive, run.original_length, uint32_t(c.entry), c.record, buffer);
    if (!failure.empty()) return failed(failure);
    *size = uint32_t(buffer->size());
    buffer->resize(size_t(slot_size(*size)), 0);
  }
  if (c.textures.empty()) return std::nullopt;
  const std::wstring failure = patch_textures(buffer->data(), *size, c.textures);
  if (!failure.empty()) return failed(failure);
  return std::nullopt;
}

Prepared prepare_unguarded(ImportRun& run, const Candidate& c, uint64_t size_limit) {
  if (!c.in_range) {
    // A texture folder whose number no entry has.
    if (c.from_archive) return failed(shown_name(c) + L" 在条目中找不到对应的贴图，无法导入！\n");
    return failed(c.name + L" 文件编号超出范围！\n");
  }
  std::vector<uint8_t> buffer;
  uint32_t size = 0;
  std::optional<Prepared> ended = load_content(run, c, size_limit, &buffer, &size);
  if (ended) return std::move(*ended);

  const uint64_t position = byte_position(c.record, kWriteUnit);
  const uint64_t slot = slot_size(c.record.stored_size);
  Prepared p;
  p.size = size;
  if (c.record.unpacked_size != 0) {
    // A payload larger than the slot is never written, so its compression
    // stops as soon as that is certain: a file that grows is appended plain.
    EncodeResult encoded = compress_payload_within(buffer.data(), size, slot);
    if (encoded.status == EncodeStatus::failed) return failed(shown_name(c) + L" 文件压缩失败！\n");
    if (encoded.status == EncodeStatus::ok && slot_usable(run, position, encoded.payload.size())) {
      p.way = Way::compressed_in_place;
      p.size = uint32_t(encoded.payload.size());
      p.unpacked_size = size;
      p.data = std::move(encoded.payload);
      return p;
    }
  } else if (size <= slot && slot_usable(run, position, size)) {
    p.way = Way::plain_in_place;
  }
  p.data = std::move(buffer);
  return p;
}

Prepared prepare(ImportRun& run, const Candidate& c, uint64_t size_limit = UINT64_MAX) {
  try {
    return prepare_unguarded(run, c, size_limit);
  } catch (const std::bad_alloc&) {
    Prepared p = failed(shown_name(c) + L" 文件过大，无法导入！\n");
    p.again_in_turn = true;
    return p;
  }
}

std::vector<std::wstring> success_lines(const ImportRun& run, const Candidate& c, Way way) {
  const wchar_t* what = way == Way::compressed_in_place ? L" 中导入压缩文件 "
                        : way == Way::plain_in_place    ? L" 中导入未压缩文件 "
                                                        : L" 中添加未压缩文件 ";
  std::vector<std::wstring> lines;
  // An entry that had no loose file reports only its textures.
  if (!c.from_archive) lines.push_back(L"向 " + run.archive_name + what + c.name + L" 成功！\n");
  for (const TextureFile& t : c.textures) {
    lines.push_back(L"向 " + run.archive_name + L" 中导入贴图 " + t.path + L" 成功！\n");
  }
  return lines;
}

// Takes a prepared file into the archive; its lines come once it is durable.
bool commit(ImportRun& run, const Candidate& c, Prepared p) {
  if (!p.failure.empty()) return fail_after_group(run, p.failure);
  std::vector<std::wstring> lines = success_lines(run, c, p.way);
  const uint32_t n = uint32_t(c.entry);
  run.written.push_back(n);
  // Taken here, on the thread that owns the map, not by the group's writer.
  run.payload_crcs[n] = payload_checksum(p.data.data(), p.size);
  if (p.way == Way::plain_append) {
    // The archive's length and the journal's regions stay apart: a group's
    // journal covers only the archive as it was when the group began.
    if (!run.groups.commit_writes()) return false;
    if (!append_plain(run, n, p.data, p.size, std::move(lines))) {
      return fail_after_group(run, L"写入 LINKDATA 文件失败！\n");
    }
    return true;
  }
  add_in_place(run, n, byte_position(c.record, kWriteUnit), std::move(p.data), p.size,
               p.unpacked_size, std::move(lines));
  return !group_full(run.groups.pending()) || run.groups.start();
}

// Prepares the next file on a thread of its own while the current one is
// written, where there is more than one CPU to run on. Messages and writes
// stay in listing order, so a run's output is that of a one-file-at-a-time
// run. Larger files wait for their turn: that bounds both the memory of two
// files held at once and how long an interrupted run waits for a look-ahead
// whose result it drops.
class Prefetch {
 public:
  static constexpr uint64_t kSizeLimit = uint64_t(32) << 20;

  // An entry's own content is read from the archive in its turn, after
  // every write before it, as a one-file-at-a-time run reads it.
  void start(ImportRun& run, const Candidate& c) {
    if (helper_threads() == 0 || c.from_archive) return;
    try {
      pending_ = std::async(std::launch::async,
                            [&run, &c] { return prepare(run, c, kSizeLimit); });
    } catch (const std::system_error&) {
      pending_ = {};  // no thread to be had: prepared when its turn comes
    }
  }

  Prepared take(ImportRun& run, const Candidate& c) {
    if (!pending_.valid()) return prepare(run, c);
    Prepared p = pending_.get();
    if (p.again_in_turn) p = prepare(run, c);
    return p;
  }

 private:
  std::future<Prepared> pending_;
};

bool import_files(ImportRun& run) {
  if (!path_exists(g_import_directory_path)) return fail(L"导入目录不存在！\n");
  if (!path_exists(run.archive_name)) return fail(L"文件“" + run.archive_name + L"”不存在！\n");
  LockedArchive locked = open_archive_locked(run.archive_name, ArchiveUse::write);
  if (locked.status == ArchiveOpenStatus::in_use ||
      locked.status == ArchiveOpenStatus::not_recovered) {
    return false;
  }
  if (locked.status == ArchiveOpenStatus::cannot_open) return fail(L"打开文件失败！\n");
  // Read as well as written: the journal saves the bytes a write replaces,
  // and entries without a loose file take their content from here.
  run.archive = std::move(locked.file);
  ArchiveHeader header;
  switch (read_archive_header(run.archive, &header)) {
    case IndexReadStatus::read_error: return fail(L"读取文件出错！\n");
    case IndexReadStatus::bad_magic: return fail(L"LINKDATA 文件格式错误！\n");
    case IndexReadStatus::ok: break;
  }
  // Offsets written here are in 2048-byte units; another unit would make every
  // record we write point at the wrong place.
  if (header.offset_unit != kWriteUnit) {
    return fail(L"LINKDATA 文件的偏移单位不是 2048，无法导入！\n");
  }
  run.entry_count = header.entry_count;
  // An index that claims more records than the file holds shares its tail
  // with whatever import appends: those records would then read the appended
  // bytes and point at garbage. Such an archive is left alone.
  uint64_t archive_length = 0;
  if (!run.archive.size(&archive_length)) return fail(L"读取文件出错！\n");
  if (record_position(run.entry_count) > archive_length) {
    return fail(L"LINKDATA 文件的索引超出了文件末尾，无法导入！\n");
  }
  run.original_length = archive_length;

  std::vector<platform::ListedName> listing;
  platform::list_directory(g_import_directory_path, &listing);
  const std::vector<platform::ListedName> matches = loose_files_in_import_order(listing);
  const std::vector<TextureFile> texture_files =
      texture_files_in_import_order(g_import_directory_path);
  if (matches.empty() && texture_files.empty()) return fail(L"未找到可以导入的文件！\n");

  // Every decision of the run rests on the records as they were before the
  // first write, read here once for the files that will be handled.
  std::vector<Candidate> candidates;
  for (const platform::ListedName& listed : matches) {
    std::optional<int32_t> entry = entry_number_of(listed);
    if (!entry) continue;
    Candidate c;
    c.name = listed.name;
    c.entry = *entry;
    c.in_range = *entry >= 0 && uint32_t(*entry) < run.entry_count;
    candidates.push_back(std::move(c));
  }
  if (!texture_files.empty()) add_texture_files(texture_files, run.entry_count, &candidates);
  std::vector<IndexRecord> one;
  for (Candidate& c : candidates) {
    if (!c.in_range) continue;
    if (!read_index_records(run.archive, uint32_t(c.entry), 1, &one)) {
      return fail(L"读取文件出错！\n");
    }
    c.record = one[0];
  }
  run.journal.path = journal_path(run.archive_name);
  if (!locked.writable) return fail(L"打开 LINKDATA 文件失败！\n");
  if (!take_originals(run, run.archive)) return false;
  // Every record the run may write is saved at once: one flush for all of
  // them, where saving each before its append would cost one more per entry.
  std::vector<uint32_t> records;
  for (const Candidate& c : candidates) {
    if (c.in_range) records.push_back(uint32_t(c.entry));
  }
  if (!originals_begin_run(run.originals, run.archive, records)) return fail(kOriginalsWriteFailed);
  run.originals_begun = true;
  run.groups.set_before_group(
      [&run](platform::File& archive, const Group& g) { return save_group_originals(run, archive, g); });
  // An interruption lets the entry being written finish, so that no entry is
  // left half-written, and then ends the run.
  const platform::InterruptsDeferred deferred;
  // Every allocation for a file comes before its first write, so a file that
  // cannot be held leaves the archive as it was before that file.
  Prefetch prefetch;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (platform::interrupt_requested()) return fail_after_group(run, L"导入被中断！\n");
    // Content read from the archive must see every write before it.
    if (candidates[i].from_archive && !run.groups.commit_writes()) return false;
    Prepared prepared = prefetch.take(run, candidates[i]);
    // Only an append (its data forced to disk) takes long enough to hide the
    // next file's preparation; in-place entries are written on a thread of
    // their own, group by group.
    if (i + 1 < candidates.size() && prepared.failure.empty() && prepared.way == Way::plain_append) {
      prefetch.start(run, candidates[i + 1]);
    }
    if (!commit(run, candidates[i], std::move(prepared))) return false;
  }
  if (!run.groups.commit_all()) return false;
  if (platform::interrupt_requested()) return fail(L"导入被中断！\n");
  return true;
}

}  // namespace

bool run_import(const std::wstring& prefix, const std::wstring& letter) {
  ImportRun run;
  run.archive_name = prefix + letter;
  bool ok = import_files(run);
  journal_remove(run.journal);
  // A journal left behind rolls its commit back on the next run, which then
  // finds the archive as no seal describes it.
  // After a failure, what the archive holds of the run is read back.
  if (run.originals_begun && !path_exists(journal_path(run.archive_name)) &&
      !originals_seal(run.originals, run.archive, run.written,
                      ok ? run.payload_crcs : std::map<uint32_t, uint32_t>{})) {
    ok = fail(kOriginalsWriteFailed);
  }
  return ok;
}

}  // namespace linkdata
