#include "archive/journal.h"

#include <algorithm>
#include <cstring>

#include "archive/side_files.h"
#include "platform/little_endian.h"
#include "platform/messages.h"
#include "platform/working_paths.h"

namespace linkdata {
namespace {

constexpr char kJournalMagic[8] = {'L', 'D', 'J', 'R', 'N', 'L', '0', '1'};
constexpr size_t kJournalHeaderSize = 32;
constexpr size_t kRegionHeaderSize = 16;

// Copies n bytes from one file to another in blocks; crc (when given) takes
// them in.
bool copy_bytes(platform::File& from, uint64_t from_pos, platform::File& to, uint64_t to_pos,
                uint64_t n, uint32_t* crc) {
  std::vector<uint8_t> block(size_t(std::min<uint64_t>(n, kSideFileBlock)));
  for (uint64_t done = 0; done < n;) {
    const size_t piece = size_t(std::min<uint64_t>(n - done, kSideFileBlock));
    if (!read_exactly(from, from_pos + done, block.data(), piece)) return false;
    if (!to.write_at(to_pos + done, block.data(), piece)) return false;
    if (crc) *crc = crc_of(*crc, block.data(), piece);
    done += piece;
  }
  return true;
}

// A region as the journal holds it: where its old bytes are in the journal.
struct SavedRegion {
  uint64_t position = 0;
  uint64_t size = 0;
  uint64_t saved_at = 0;
};

struct ReadJournal {
  uint64_t archive_length = 0;
  std::vector<SavedRegion> regions;
};

// The journal's regions when the whole of it is intact; false for a journal
// that was cut short or torn, which never reached the disk whole.
bool read_journal(platform::File& journal, ReadJournal* out) {
  uint8_t header[kJournalHeaderSize];
  uint64_t file_size = 0;
  if (!journal.size(&file_size) || !read_exactly(journal, 0, header, kJournalHeaderSize)) {
    return false;
  }
  if (std::memcmp(header, kJournalMagic, sizeof kJournalMagic) != 0) return false;
  if (load_u32le(header + 28) != crc_of(0, header, 28)) return false;
  const uint64_t body_length = load_u64le(header + 16);
  if (body_length > file_size - kJournalHeaderSize) return false;
  file_size = kJournalHeaderSize + body_length;
  out->archive_length = load_u64le(header + 8);

  uint32_t crc = 0;
  std::vector<uint8_t> block(kSideFileBlock);
  uint64_t at = kJournalHeaderSize;
  while (at < file_size) {
    uint8_t region[kRegionHeaderSize];
    if (file_size - at < kRegionHeaderSize || !read_exactly(journal, at, region, sizeof region)) {
      return false;
    }
    crc = crc_of(crc, region, sizeof region);
    const SavedRegion saved{load_u64le(region), load_u64le(region + 8), at + kRegionHeaderSize};
    if (saved.size > file_size - saved.saved_at) return false;
    // Commits write only inside the archive as it was when they began.
    if (saved.position > out->archive_length || saved.size > out->archive_length - saved.position) {
      return false;
    }
    for (uint64_t done = 0; done < saved.size;) {
      const size_t piece = size_t(std::min<uint64_t>(saved.size - done, kSideFileBlock));
      if (!read_exactly(journal, saved.saved_at + done, block.data(), piece)) return false;
      crc = crc_of(crc, block.data(), piece);
      done += piece;
    }
    out->regions.push_back(saved);
    at = saved.saved_at + saved.size;
  }
  return crc == load_u32le(header + 24);
}

// Writes the saved bytes back, last region first, so that where a commit
// overwrote one range twice the oldest bytes are the ones that stay.
bool put_back(platform::File& journal, platform::File& archive,
              const std::vector<SavedRegion>& regions, size_t first) {
  for (size_t i = regions.size(); i > first; --i) {
    const SavedRegion& r = regions[i - 1];
    if (!copy_bytes(journal, r.saved_at, archive, r.position, r.size, nullptr)) return false;
  }
  return true;
}

}  // namespace

std::wstring journal_path(const std::wstring& archive_name) { return archive_name + L"-journal"; }

bool journal_save(Journal& journal, platform::File& archive, uint64_t archive_length,
                  const std::vector<JournalRegion>& regions) {
  if (!journal.file.is_open()) {
    // Rewritten in place for every commit of the run.
    journal.file = platform::File::open_to_replace(journal.path);
    if (!journal.file.is_open()) return false;
  }
  platform::File& file = journal.file;
  uint32_t crc = 0;
  uint64_t at = kJournalHeaderSize;
  bool ok = true;
  for (const JournalRegion& r : regions) {
    uint8_t region[kRegionHeaderSize];
    store_u64le(region, r.position);
    store_u64le(region + 8, r.size);
    crc = crc_of(crc, region, sizeof region);
    ok = file.write_at(at, region, sizeof region) &&
         copy_bytes(archive, r.position, file, at + kRegionHeaderSize, r.size, &crc);
    if (!ok) break;
    at += kRegionHeaderSize + r.size;
  }
  if (ok) {
    uint8_t header[kJournalHeaderSize];
    std::memcpy(header, kJournalMagic, sizeof kJournalMagic);
    store_u64le(header + 8, archive_length);
    store_u64le(header + 16, at - kJournalHeaderSize);
    store_u32le(header + 24, crc);
    store_u32le(header + 28, crc_of(0, header, 28));
    ok = file.write_at(0, header, sizeof header) && file.flush_to_disk();
  }
  // A new journal's name must be on disk too before the archive changes.
  if (ok && !journal.named_on_disk) {
    ok = platform::flush_folder(folder_of(journal.path));
    journal.named_on_disk = ok;
  }
  // The archive is left alone: a journal on disk only names bytes it holds.
  if (!ok) journal_clear(journal);
  return ok;
}

bool journal_clear(Journal& journal) {
  const uint8_t zeros[kJournalHeaderSize] = {};
  return journal.file.write_at(0, zeros, sizeof zeros) && journal.file.flush_to_disk();
}

bool journal_roll_back_tail(Journal& journal, platform::File& archive, size_t first_region) {
  journal.file.close();  // read through a handle of its own, which Windows lets no writer share
  platform::File saved = platform::File::open_read(journal.path);
  ReadJournal read;
  if (!saved.is_open() || !read_journal(saved, &read)) return false;
  if (!put_back(saved, archive, read.regions, first_region) || !archive.flush_to_disk()) {
    return false;
  }
  saved.close();
  // Until the removal is on disk, a crash would bring the journal back and
  // undo the commit's first entries, whose success has been reported.
  return platform::remove_file(journal.path) && platform::flush_folder(folder_of(journal.path));
}

void journal_remove(Journal& journal) {
  if (!journal.file.is_open()) return;
  journal.file.close();
  platform::remove_file(journal.path);
}

LeftJournal left_journal(const std::wstring& archive_name) {
  const std::wstring path = journal_path(archive_name);
  if (!path_exists(path)) return LeftJournal::none;
  platform::File journal = platform::File::open_read(path);
  if (!journal.is_open()) return LeftJournal::commit_to_undo;
  ReadJournal read;
  return read_journal(journal, &read) ? LeftJournal::commit_to_undo : LeftJournal::nothing_to_undo;
}

bool recover_archive(const std::wstring& archive_name, platform::File& archive) {
  const std::wstring path = journal_path(archive_name);
  if (!path_exists(path)) return true;
  platform::File journal = platform::File::open_read(path);
  if (!journal.is_open()) {
    say(msg::journal_rollback_failed(archive_name));
    return false;
  }
  ReadJournal read;
  if (!read_journal(journal, &read)) {
    journal.close();
    platform::remove_file(path);
    return true;
  }
  uint64_t length = 0;
  // A commit never changes the archive's length, so a shorter archive is not
  // the one this journal was written for.
  const bool restored = archive.size(&length) && length >= read.archive_length &&
                        put_back(journal, archive, read.regions, 0) && archive.flush_to_disk();
  journal.close();
  // Until the removal is on disk, a crash would bring the journal back and
  // this rollback would run again over what later runs write.
  if (!restored || !platform::remove_file(path) || !platform::flush_folder(folder_of(path))) {
    say(msg::journal_rollback_failed(archive_name));
    return false;
  }
  say(msg::journal_rolled_back(archive_name));
  return true;
}

}  // namespace linkdata
