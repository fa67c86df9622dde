#include "archive/safety/journal.h"

#include <algorithm>
#include <cstring>

#include "archive/format/format.h"
#include "archive/safety/checked_reads.h"
#include "platform/little_endian.h"
#include "platform/messages.h"
#include "platform/working_paths.h"

namespace linkdata {
namespace {

constexpr char kJournalMagic[8] = {'L', 'D', 'J', 'R', 'N', 'L', '0', '2'};
constexpr char kUncheckedJournalMagic[8] = {'L', 'D', 'J', 'R', 'N', 'L', '0', '1'};
constexpr size_t kJournalHeaderSize = 40;
constexpr size_t kUncheckedHeaderSize = 32;
// Where the header's fields are, in today's layout and in the earlier one
// (whose header ends with the body's crc32 and its own).
namespace at_in_header {
constexpr size_t archive_length = 8, body_length = 16, index_crc = 24, operation = 28,
                 body_crc = 32, header_crc = 36;
constexpr size_t unchecked_body_crc = 24, unchecked_header_crc = 28;
}  // namespace at_in_header
constexpr size_t kRegionHeaderSize = 16;
// What a torn write leaves whole: a disk sector.
constexpr uint64_t kPiece = 512;
constexpr size_t kPairSize = 8;
// How many sectors of a commit's regions one crash may leave neither old nor
// new: a write cut at any byte tears one; a power cut may leave the sectors
// the disk was writing as garbage, a whole 4 KiB physical sector (eight of
// these) on most disks, and one more torn. Any more is not one crash of this
// commit.
constexpr size_t kTornSectorsOneCrashLeaves = 16;
// The playback mark, written on a page of its own past the body so that a
// power cut while it is written cannot spoil a byte the rollback reads:
// "LDJPLAY1", the header's own crc32 (the commit it belongs to), and a crc32
// of the 12 bytes before.
constexpr char kPlaybackMagic[8] = {'L', 'D', 'J', 'P', 'L', 'A', 'Y', '1'};
constexpr size_t kPlaybackMarkSize = 16;
constexpr uint64_t kPlaybackMarkAlign = 4096;
// Regions are saved in stretches that end at multiples of this in the
// archive, so that every buffer stays this small.
constexpr uint64_t kStretch = kSideFileBlock;
static_assert(kStretch % kPiece == 0);

// Whether each sector piece of a region comes with the crc32 of its old and
// new bytes (today's layout) or only its old bytes are kept (the unchecked one).
enum class PieceChecksums { absent, present };

// A region as the journal holds it: where its bytes are in the journal.
struct SavedRegion {
  uint64_t position = 0;
  uint64_t size = 0;
  uint64_t saved_at = 0;  // just past the region's header
  PieceChecksums checksums = PieceChecksums::absent;
};

// A header of today's layout, field by field.
struct JournalHeader {
  uint64_t archive_length = 0, body_length = 0;
  uint32_t index_crc = 0, operation = 0, body_crc = 0, header_crc = 0;
};

void encode_header(JournalHeader* h, uint8_t* out) {
  namespace at = at_in_header;
  std::memcpy(out, kJournalMagic, sizeof kJournalMagic);
  store_u64le(out + at::archive_length, h->archive_length);
  store_u64le(out + at::body_length, h->body_length);
  store_u32le(out + at::index_crc, h->index_crc);
  store_u32le(out + at::operation, h->operation);
  store_u32le(out + at::body_crc, h->body_crc);
  h->header_crc = crc_of(0, out, at::header_crc);
  store_u32le(out + at::header_crc, h->header_crc);
}

// False unless the 40 bytes are a whole header of today's layout.
bool decode_header(const uint8_t* in, JournalHeader* h) {
  namespace at = at_in_header;
  if (std::memcmp(in, kJournalMagic, sizeof kJournalMagic) != 0 ||
      load_u32le(in + at::header_crc) != crc_of(0, in, at::header_crc)) {
    return false;
  }
  h->archive_length = load_u64le(in + at::archive_length);
  h->body_length = load_u64le(in + at::body_length);
  h->index_crc = load_u32le(in + at::index_crc);
  h->operation = load_u32le(in + at::operation);
  h->body_crc = load_u32le(in + at::body_crc);
  h->header_crc = load_u32le(in + at::header_crc);
  return true;
}

struct ReadJournal {
  uint64_t archive_length = 0;
  bool checked = false;  // today's layout, tied to its archive
  uint32_t index_crc = 0;
  uint32_t operation = 0;
  uint32_t header_crc = 0;  // what ties a playback mark to this commit
  uint64_t mark_at = 0;     // where its playback mark goes
  bool playback_begun = false;
  std::vector<SavedRegion> regions;
};

// One stretch of a region: its place in the archive and in the journal.
struct Stretch {
  uint64_t position = 0;
  size_t size = 0;
  size_t pieces = 0;
  uint64_t pairs_at = 0;  // in the journal; as many bytes as pair_bytes()
  uint64_t bytes_at = 0;  // the old bytes, in the journal
  size_t pair_bytes() const { return pieces * kPairSize; }
};

size_t pieces_in(uint64_t position, size_t size) {
  return size_t((position + size + kPiece - 1) / kPiece - position / kPiece);
}

// Calls visit(stretch) for each stretch of a region in order; stops at the
// first false. The journal bytes a region takes follow from its position and
// size alone.
template <typename Visit>
bool for_each_stretch(uint64_t position, uint64_t size, uint64_t saved_at, PieceChecksums checksums,
                      Visit visit) {
  uint64_t at = saved_at;
  for (uint64_t done = 0; done < size;) {
    Stretch s;
    s.position = position + done;
    s.size = size_t(std::min<uint64_t>(size - done, kStretch - s.position % kStretch));
    s.pieces = checksums == PieceChecksums::present ? pieces_in(s.position, s.size) : 0;
    s.pairs_at = at;
    s.bytes_at = at + s.pair_bytes();
    if (!visit(s)) return false;
    at = s.bytes_at + s.size;
    done += s.size;
  }
  return true;
}

template <typename Visit>
bool for_each_stretch(const SavedRegion& r, Visit visit) {
  return for_each_stretch(r.position, r.size, r.saved_at, r.checksums, visit);
}

// The sector pieces of a stretch: calls visit(offset, size) within it.
template <typename Visit>
void for_each_piece(const Stretch& s, Visit visit) {
  for (size_t off = 0; off < s.size;) {
    const size_t n = size_t(std::min<uint64_t>(s.size - off, kPiece - (s.position + off) % kPiece));
    visit(off, n);
    off += n;
  }
}

// Journal bytes that a region's stretches take, past its header; false when
// that would pass `limit`.
bool region_journal_size(uint64_t position, uint64_t size, PieceChecksums checksums, uint64_t limit,
                         uint64_t* out) {
  uint64_t total = 0;
  for_each_stretch(position, size, 0, checksums, [&](const Stretch& s) {
    total = s.bytes_at + s.size;
    return total <= limit;
  });
  *out = total;
  return total <= limit;
}

// Reads n bytes of the archive at pos with the journal's saved old bytes put
// over them: the archive as it was before the commit, where the regions lie.
bool read_old(platform::File& archive, platform::File* journal,
              const std::vector<SavedRegion>& saved, uint64_t pos, uint8_t* buf, size_t n) {
  if (!read_exactly(archive, pos, buf, n)) return false;
  // Last region first, as put_back writes them, so the oldest bytes win.
  for (size_t i = saved.size(); i-- > 0;) {
    const bool ok = for_each_stretch(saved[i], [&](const Stretch& s) {
      const uint64_t from = std::max(pos, s.position);
      const uint64_t to = std::min(pos + n, s.position + s.size);
      if (from >= to) return true;
      return read_exactly(*journal, s.bytes_at + (from - s.position), buf + (from - pos),
                          size_t(to - from));
    });
    if (!ok) return false;
  }
  return true;
}

// A crc32 of the archive's header and index, [0, end of the index) within
// its length, as they were before the commit when `saved` is the journal's
// regions (as they are now when it is empty). The entry count comes from the
// header read the same way.
bool index_checksum(platform::File& archive, uint64_t length, platform::File* journal,
                    const std::vector<SavedRegion>& saved, uint32_t* out) {
  return header_and_index_crc(
      [&](uint64_t pos, uint8_t* buf, size_t n) {
        return read_old(archive, journal, saved, pos, buf, n);
      },
      length, IndexPastEnd::cut, out);
}

void playback_mark(uint32_t header_crc, uint8_t* mark) {
  std::memcpy(mark, kPlaybackMagic, sizeof kPlaybackMagic);
  store_u32le(mark + 8, header_crc);
  store_u32le(mark + 12, crc_of(0, mark, 12));
}

// Whether a rollback of this very commit had begun: its saved bytes were
// judged to be this archive's, and some may be back in it already.
bool playback_marked(platform::File& journal, const ReadJournal& read) {
  uint8_t found[kPlaybackMarkSize], want[kPlaybackMarkSize];
  playback_mark(read.header_crc, want);
  return read_exactly(journal, read.mark_at, found, sizeof found) &&
         std::memcmp(found, want, sizeof want) == 0;
}

// Forced to disk before the first byte goes back: a rollback cut short by
// another crash leaves pieces that are neither the commit's old nor its new
// bytes, and the next run must finish it rather than take it for another
// archive's journal.
bool mark_playback_begun(platform::File& journal, const ReadJournal& read) {
  if (read.playback_begun) return true;
  uint8_t mark[kPlaybackMarkSize];
  playback_mark(read.header_crc, mark);
  return journal.write_at(read.mark_at, mark, sizeof mark) && journal.flush_to_disk();
}

// The journal's regions when the whole of it is intact; false for a journal
// that was cut short or torn, which never reached the disk whole. Every byte
// of the body goes through its checksum.
bool read_journal(platform::File& journal, ReadJournal* out) {
  uint8_t header[kJournalHeaderSize];
  uint64_t file_size = 0;
  if (!journal.size(&file_size) || file_size < kUncheckedHeaderSize ||
      !read_exactly(journal, 0, header, kUncheckedHeaderSize)) {
    return false;
  }
  namespace at = at_in_header;
  size_t header_size = kJournalHeaderSize;
  uint64_t body_crc = 0, body_length = 0;
  if (std::memcmp(header, kJournalMagic, sizeof kJournalMagic) == 0) {
    JournalHeader h;
    if (file_size < kJournalHeaderSize ||
        !read_exactly(journal, kUncheckedHeaderSize, header + kUncheckedHeaderSize,
                      kJournalHeaderSize - kUncheckedHeaderSize) ||
        !decode_header(header, &h)) {
      return false;
    }
    out->checked = true;
    out->archive_length = h.archive_length;
    out->index_crc = h.index_crc;
    out->operation = h.operation;
    out->header_crc = h.header_crc;
    body_crc = h.body_crc;
    body_length = h.body_length;
  } else if (std::memcmp(header, kUncheckedJournalMagic, sizeof kUncheckedJournalMagic) == 0) {
    if (load_u32le(header + at::unchecked_header_crc) !=
        crc_of(0, header, at::unchecked_header_crc)) {
      return false;
    }
    header_size = kUncheckedHeaderSize;
    out->archive_length = load_u64le(header + at::archive_length);
    out->operation = uint32_t(JournalOperation::import);
    body_crc = load_u32le(header + at::unchecked_body_crc);
    body_length = load_u64le(header + at::body_length);
  } else {
    return false;
  }
  if (body_length > file_size - header_size) return false;
  const uint64_t end = header_size + body_length;

  uint32_t crc = 0;
  for (uint64_t at = header_size; at < end;) {
    uint8_t region[kRegionHeaderSize];
    if (end - at < kRegionHeaderSize || !read_exactly(journal, at, region, sizeof region)) {
      return false;
    }
    crc = crc_of(crc, region, sizeof region);
    const SavedRegion saved{load_u64le(region), load_u64le(region + 8), at + kRegionHeaderSize,
                            out->checked ? PieceChecksums::present : PieceChecksums::absent};
    // Commits write only inside the archive as it was when they began.
    if (saved.position > out->archive_length || saved.size > out->archive_length - saved.position) {
      return false;
    }
    uint64_t taken = 0;
    if (!region_journal_size(saved.position, saved.size, saved.checksums, end - saved.saved_at,
                             &taken)) {
      return false;
    }
    const bool whole = for_each_stretch(saved, [&](const Stretch& s) {
      return crc_of_file_range(journal, s.pairs_at, s.pair_bytes(), &crc) &&
             crc_of_file_range(journal, s.bytes_at, s.size, &crc);
    });
    if (!whole) return false;
    out->regions.push_back(saved);
    at = saved.saved_at + taken;
  }
  if (crc != body_crc) return false;
  if (out->checked) {
    out->mark_at = (end + kPlaybackMarkAlign - 1) / kPlaybackMarkAlign * kPlaybackMarkAlign;
    out->playback_begun = playback_marked(journal, *out);
  }
  return true;
}

// The archive length and index checksum of a journal of today's layout whose
// header is whole, though its body may not be: a commit was begun.
bool commit_header(platform::File& journal, uint64_t* archive_length, uint32_t* index_crc) {
  uint8_t header[kJournalHeaderSize];
  JournalHeader h;
  if (!read_exactly(journal, 0, header, sizeof header) || !decode_header(header, &h)) return false;
  *archive_length = h.archive_length;
  *index_crc = h.index_crc;
  return true;
}

// What the archive's bytes in the regions say of the journal.
enum class Match { same, other, unclear, read_error };

struct PieceCount {
  bool read_all = true;
  bool all_old = true;                 // the earlier layout keeps only the old bytes
  std::vector<uint64_t> torn_sectors;  // of the pieces neither old nor new
};

// Counts the sector pieces of the regions that hold neither the bytes the
// journal saved nor the ones its commit writes there.
PieceCount count_pieces(platform::File& journal, platform::File& archive, const ReadJournal& read) {
  std::vector<uint8_t> pairs, now, old;
  PieceCount count;
  for (const SavedRegion& r : read.regions) {
    count.read_all = for_each_stretch(r, [&](const Stretch& s) {
      pairs.resize(s.pair_bytes());
      now.resize(s.size);
      if (!read_exactly(journal, s.pairs_at, pairs.data(), pairs.size())) return false;
      if (!read_exactly(archive, s.position, now.data(), now.size())) return false;
      if (r.checksums == PieceChecksums::absent) {
        old.resize(s.size);
        if (!read_exactly(journal, s.bytes_at, old.data(), old.size())) return false;
        count.all_old = count.all_old && old == now;
        return true;
      }
      size_t i = 0;
      for_each_piece(s, [&](size_t off, size_t n) {
        const uint32_t crc = crc_of(0, now.data() + off, n);
        const uint8_t* pair = pairs.data() + kPairSize * i++;
        if (crc != load_u32le(pair) && crc != load_u32le(pair + 4)) {
          count.torn_sectors.push_back((s.position + off) / kPiece);
        }
      });
      return true;
    });
    if (!count.read_all) break;
  }
  return count;
}

// Whether the journal belongs to the archive as it is now. Its identity is
// the archive's length and its header and index as they were before the
// commit (the saved bytes put over them), which no tear of the commit's
// writes can change: another length or index is another archive. Within the
// regions one crash leaves every piece old or new but for a few torn ones;
// a rollback that had begun may have left any piece old, new or torn, and is
// finished.
Match journal_matches(platform::File& journal, platform::File& archive, const ReadJournal& read,
                      size_t* neither) {
  uint64_t length = 0;
  if (!archive.size(&length)) return Match::read_error;
  // A commit never changes the archive's length: appends wait for it.
  if (length != read.archive_length) return Match::other;
  if (read.checked) {
    uint32_t crc = 0;
    if (!index_checksum(archive, length, &journal, read.regions, &crc)) return Match::read_error;
    if (crc != read.index_crc) return Match::other;
    if (read.playback_begun) return Match::same;
  }
  const PieceCount pieces = count_pieces(journal, archive, read);
  if (!pieces.read_all) return Match::read_error;
  if (!read.checked) return pieces.all_old ? Match::same : Match::other;
  // Pieces of one sector may lie in two regions: a sector counts once.
  std::vector<uint64_t> sectors = pieces.torn_sectors;
  std::sort(sectors.begin(), sectors.end());
  *neither = size_t(std::unique(sectors.begin(), sectors.end()) - sectors.begin());
  return *neither <= kTornSectorsOneCrashLeaves ? Match::same : Match::unclear;
}

// Writes the saved bytes back, last region first, so that where a commit
// overwrote one range twice the oldest bytes are the ones that stay.
bool put_back(platform::File& journal, platform::File& archive,
              const std::vector<SavedRegion>& regions, size_t first) {
  std::vector<uint8_t> block;
  for (size_t i = regions.size(); i > first; --i) {
    const bool ok = for_each_stretch(regions[i - 1], [&](const Stretch& s) {
      block.resize(s.size);
      return read_exactly(journal, s.bytes_at, block.data(), s.size) &&
             archive.write_at(s.position, block.data(), s.size);
    });
    if (!ok) return false;
  }
  return true;
}

bool restore_journal(const ReadJournal& read) {
  return read.operation == uint32_t(JournalOperation::restore);
}

}  // namespace

std::wstring journal_path(const std::wstring& archive_name) { return archive_name + L"-journal"; }

namespace {

// The bytes around the commit's writes that share a sector with them: a
// power cut while a sector is written may leave all of it as garbage, not
// only the bytes the write changes, so those are saved too (as regions the
// commit leaves as they are). Each is at most a sector's worth; together
// with the writes they cover every sector the commit touches, once.
struct Margins {
  std::vector<JournalRegion> regions;
  std::vector<std::vector<uint8_t>> bytes;
};

bool sector_margins(platform::File& archive, uint64_t archive_length,
                    const std::vector<JournalRegion>& writes, Margins* out) {
  std::vector<std::pair<uint64_t, uint64_t>> spans, written;  // [from, to)
  for (const JournalRegion& w : writes) {
    if (w.size == 0) continue;
    written.push_back({w.position, w.position + w.size});
    spans.push_back(
        {w.position / kPiece * kPiece,
         std::min(archive_length, (w.position + w.size + kPiece - 1) / kPiece * kPiece)});
  }
  std::sort(spans.begin(), spans.end());
  std::sort(written.begin(), written.end());
  std::vector<std::pair<uint64_t, uint64_t>> gaps;
  size_t next_write = 0;
  for (size_t i = 0; i < spans.size();) {
    uint64_t from = spans[i].first, to = spans[i].second;
    for (++i; i < spans.size() && spans[i].first <= to; ++i) to = std::max(to, spans[i].second);
    uint64_t at = from;
    for (; next_write < written.size() && written[next_write].first < to; ++next_write) {
      if (written[next_write].first > at) gaps.push_back({at, written[next_write].first});
      at = std::max(at, written[next_write].second);
    }
    if (at < to) gaps.push_back({at, to});
  }
  out->bytes.resize(gaps.size());
  for (size_t i = 0; i < gaps.size(); ++i) {
    out->bytes[i].resize(size_t(gaps[i].second - gaps[i].first));
    if (!read_exactly(archive, gaps[i].first, out->bytes[i].data(), out->bytes[i].size())) {
      return false;
    }
    out->regions.push_back({gaps[i].first, out->bytes[i].size(), out->bytes[i].data()});
  }
  return true;
}

}  // namespace

bool journal_save(Journal& journal, platform::File& archive, uint64_t archive_length,
                  const std::vector<JournalRegion>& writes) {
  Margins margins;
  if (!sector_margins(archive, archive_length, writes, &margins)) return false;
  // After the writes, so that the writes keep their numbers for a rollback
  // of the commit's tail.
  std::vector<JournalRegion> regions = writes;
  regions.insert(regions.end(), margins.regions.begin(), margins.regions.end());
  if (!journal.file.is_open()) {
    // Rewritten in place for every commit of the run.
    journal.file = platform::File::open_to_replace(journal.path);
    if (!journal.file.is_open()) return false;
  }
  platform::File& file = journal.file;
  uint32_t crc = 0;
  uint64_t at = kJournalHeaderSize;
  uint32_t index_crc = 0;
  bool ok = index_checksum(archive, archive_length, nullptr, {}, &index_crc);
  std::vector<uint8_t> pairs, old;
  for (const JournalRegion& r : regions) {
    if (!ok) break;
    uint8_t region[kRegionHeaderSize];
    store_u64le(region, r.position);
    store_u64le(region + 8, r.size);
    crc = crc_of(crc, region, sizeof region);
    ok = file.write_at(at, region, sizeof region);
    at += kRegionHeaderSize;
    ok = ok &&
         for_each_stretch(r.position, r.size, at, PieceChecksums::present, [&](const Stretch& s) {
           old.resize(s.size);
           pairs.resize(s.pair_bytes());
           if (!read_exactly(archive, s.position, old.data(), s.size)) return false;
           const uint8_t* fresh = r.bytes + (s.position - r.position);
           size_t i = 0;
           for_each_piece(s, [&](size_t off, size_t n) {
             store_u32le(pairs.data() + kPairSize * i, crc_of(0, old.data() + off, n));
             store_u32le(pairs.data() + kPairSize * i + 4, crc_of(0, fresh + off, n));
             ++i;
           });
           crc = crc_of(crc_of(crc, pairs.data(), pairs.size()), old.data(), old.size());
           at = s.bytes_at + s.size;
           return file.write_at(s.pairs_at, pairs.data(), pairs.size()) &&
                  file.write_at(s.bytes_at, old.data(), old.size());
         });
  }
  if (ok) {
    uint8_t header[kJournalHeaderSize];
    JournalHeader h;
    h.archive_length = archive_length;
    h.body_length = at - kJournalHeaderSize;
    h.index_crc = index_crc;
    h.operation = uint32_t(journal.operation);
    h.body_crc = crc;
    encode_header(&h, header);
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
  platform::File saved = platform::File::open_read_write_existing(journal.path);
  ReadJournal read;
  if (!saved.is_open() || !read_journal(saved, &read)) return false;
  // Cut short, this is finished by the next run as a rollback of the whole
  // commit. The mark only spares that run the check of the pieces, so a
  // full disk that refuses it stops nothing.
  (void)mark_playback_begun(saved, read);
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
  if (platform::name_kind(path) != platform::NameKind::file) {
    return LeftJournal::not_a_journal;
  }
  platform::File journal = platform::File::open_read(path);
  if (!journal.is_open()) return LeftJournal::commit_to_undo;
  ReadJournal read;
  uint64_t length = 0;
  uint32_t crc = 0;
  // One whose header alone is whole is judged against the archive, which
  // takes the lock held alone.
  return read_journal(journal, &read) || commit_header(journal, &length, &crc)
             ? LeftJournal::commit_to_undo
             : LeftJournal::nothing_to_undo;
}

Recovery recover_archive(const std::wstring& archive_name, platform::File& archive) {
  const std::wstring path = journal_path(archive_name);
  if (!path_exists(path)) return {};
  // The tool writes its journal as a plain file only: a link (even one
  // whose target is gone), a folder or a device in its place was put there
  // by someone else, and neither read nor removed.
  if (platform::name_kind(path) != platform::NameKind::file) {
    return {false, msg::journal_not_a_file(path, archive_name)};
  }
  // Opened for writing to mark a rollback begun; a journal that can only be
  // read is still played back, unmarked.
  platform::File journal = platform::File::open_read_write_existing(path);
  if (!journal.is_open()) journal = platform::File::open_read(path);
  if (!journal.is_open()) {
    return {false, msg::journal_rollback_failed(archive_name)};
  }
  ReadJournal read;
  if (!read_journal(journal, &read)) {
    // Cut short while it was written, the archive untouched since (it is
    // written only once its journal is on disk): nothing to undo. With its
    // header whole, that is so only while the archive's length and index are
    // still the ones it saw; otherwise the commit had begun and the journal
    // was damaged since, and it stays.
    uint64_t length = 0, now = 0;
    uint32_t crc = 0, now_crc = 0;
    if (commit_header(journal, &length, &crc)) {
      if (!archive.size(&now) || !index_checksum(archive, now, nullptr, {}, &now_crc)) {
        return {false, msg::journal_rollback_failed(archive_name)};
      }
      if (now != length || now_crc != crc) {
        return {false, msg::journal_damaged(path, archive_name)};
      }
    }
    journal.close();
    platform::remove_file(path);
    return {};
  }
  const std::wstring failed = restore_journal(read)
                                  ? msg::journal_restore_rollback_failed(archive_name)
                                  : msg::journal_rollback_failed(archive_name);
  size_t neither = 0;
  switch (journal_matches(journal, archive, read, &neither)) {
    case Match::same:
      break;
    case Match::other:
      return {false, read.checked ? msg::journal_of_other_archive(path, archive_name)
                                  : msg::journal_unchecked(path, archive_name)};
    case Match::unclear:
      return {false, msg::journal_unclear(path, archive_name, neither)};
    case Match::read_error:
      return {false, failed};
  }
  // A journal of the earlier layout that matches holds only what the archive
  // already has: there is nothing to put back. A mark that cannot be written
  // (a journal that is read-only) costs only the finishing of a rollback cut
  // short by yet another crash.
  if (read.checked) (void)mark_playback_begun(journal, read);
  const bool restored =
      !read.checked || (put_back(journal, archive, read.regions, 0) && archive.flush_to_disk());
  journal.close();
  // Until the removal is on disk, a crash would bring the journal back and
  // this rollback would run again over what later runs write.
  if (!restored || !platform::remove_file(path) || !platform::flush_folder(folder_of(path))) {
    return {false, failed};
  }
  if (!read.checked) return {};
  return {true, restore_journal(read) ? msg::journal_restore_rolled_back(archive_name)
                                      : msg::journal_rolled_back(archive_name)};
}

}  // namespace linkdata
