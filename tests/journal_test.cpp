// The rollback journal, in the process: a disk that forgets unflushed writes
// at a crash played after every single change of an import, recovery from
// journals whole and torn, and failures of single file operations.
#include "archive/safety/journal.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive/modes/export.h"
#include "archive/modes/import.h"
#include "archive/modes/listing.h"
#include "archive/modes/restore.h"
#include "forgetful_disk.h"
#include "front_end/command_line.h"
#include "platform/file_change_hook.h"
#include "platform/little_endian.h"
#include "platform/text_encoding.h"
#include "platform/working_paths.h"
#include "test_support.h"

namespace linkdata::test {
namespace {

namespace fs = std::filesystem;
using platform::FileChange;
using platform::FileChangeKind;

struct HookInstalled {
  explicit HookInstalled(platform::FileChangeHook hook) { platform::set_file_change_hook(hook); }
  ~HookInstalled() { platform::set_file_change_hook({}); }
};

bool import_a(std::string* out = nullptr) {
  bool ok = false;
  const std::string said = capture_stdout([&] { ok = run_import(kArchivePrefix, L"A"); });
  if (out) *out = said;
  return ok;
}

// The whole archive when first is negative, else entries first..last.
bool restore_archive_a(int32_t first, int32_t last) {
  return first < 0 ? run_restore_whole(L"LINKDATA_EU_OS_EUNA.A")
                   : run_restore_range(L"LINKDATA_EU_OS_EUNA.A", first, last);
}

bool restore_a(std::string* out = nullptr, int32_t first = -1, int32_t last = -1) {
  bool ok = false;
  const std::string said = capture_stdout([&] { ok = restore_archive_a(first, last); });
  if (out) *out = said;
  return ok;
}

bool export_a(uint32_t last, std::string* out = nullptr) {
  bool ok = false;
  const std::string said = capture_stdout(
      [&] { ok = run_export(0, int32_t(last), false, L"LINKDATA_EU_OS_EUNA.A", L"A"); });
  if (out) *out = said;
  return ok;
}

// Old and new contents of every entry, written as an archive and an import
// folder in the current directory.
struct Edit {
  Bytes old_content, new_content;
  bool compressed;
};

Bytes archive_of(const std::vector<Edit>& edits) {
  std::vector<StoredEntry> entries;
  for (const Edit& e : edits) {
    entries.push_back(e.compressed ? compressed_entry(e.old_content) : plain_entry(e.old_content));
  }
  return archive_image(entries);
}

void lay_out(const std::vector<Edit>& edits, const Bytes& archive) {
  write_file(kArchive, archive);
  fs::remove_all("Import");
  fs::remove_all("Extracted");
  fs::create_directories("Import/A");
  for (size_t n = 0; n < edits.size(); ++n) {
    write_file("Import/A/" + std::to_string(n) + ".data", edits[n].new_content);
  }
}

// For each entry as export now gives it: 0 old, 1 new, -1 anything else.
std::vector<int> states(const std::vector<Edit>& edits, std::string* said = nullptr) {
  fs::remove_all("Extracted");
  EXPECT_TRUE(export_a(uint32_t(edits.size() - 1), said));
  std::vector<int> out;
  for (size_t n = 0; n < edits.size(); ++n) {
    const Bytes got = read_file("Extracted/A/" + std::to_string(n) + ".data");
    out.push_back(got == edits[n].new_content ? 1 : got == edits[n].old_content ? 0 : -1);
  }
  return out;
}

// Enough in-place entries for two journal commits, plain and compressed, one
// large enough to be torn inside, and appends between them.
std::vector<Edit> mixed_edits() {
  std::vector<Edit> edits;
  for (uint32_t n = 0; n < 40; ++n) {
    const size_t size = n == 6 ? 1300000 : 3000 + 97 * n;
    Bytes old_content = pattern_bytes(size, n);
    Bytes new_content = pattern_bytes(size, n + 1000);
    if (n % 9 == 4) new_content.resize(size * 3);  // grows: appended
    // Zeros compress better, so a compressed edit fits its old slot.
    if (n % 2 == 1) std::fill(new_content.begin(), new_content.begin() + long(size / 4), 0);
    edits.push_back({old_content, new_content, n % 2 == 1});
  }
  return edits;
}

// The crash tests below go through every change of a run, hundreds of them;
// each takes every kCrashShards-th change from its own start, so that the
// shards, each a test of its own, run side by side on the machine's CPUs
// (the sanitized and Windows builds run them several times slower). Every
// shard meets each kind of crash many times over.
constexpr uint64_t kCrashShards = 4;
class JournalCrash : public ::testing::TestWithParam<uint64_t> {};
INSTANTIATE_TEST_SUITE_P(Shard, JournalCrash, ::testing::Range<uint64_t>(0, kCrashShards));

// A crash after each single change an import makes, for every one of them:
// whatever the disk keeps of the unflushed writes, every entry then exports
// its old or its new content, an entry whose line was shown its new one, a
// second import finishes the job, and a restore gives back the archive as it
// was before the first import, byte for byte.

TEST_P(JournalCrash, CrashAfterAnyChangeLeavesEveryEntryOldOrNew) {
  InScratchDir here;
  const std::vector<Edit> edits = mixed_edits();
  const Bytes archive = archive_of(edits);
  lay_out(edits, archive);
  ForgetfulDisk counter(0, 0);
  {
    const HookInstalled hook([&](const FileChange& c) { return counter.follow(c); });
    ASSERT_TRUE(import_a());
  }
  const uint64_t total = counter.changes();
  ASSERT_GT(total, 60u);

  uint64_t fates[3] = {0, 0, 0}, spoils[3] = {0, 0, 0}, rolled_back = 0, new_entries = 0;
  uint64_t recoveries_cut = 0;
  for (uint64_t k = 1 + GetParam(); k <= total; k += kCrashShards) {
    lay_out(edits, archive);
    ForgetfulDisk disk(k, uint32_t(k));
    disk.watch(kArchive);
    bool crashed = false;
    std::string said;
    {
      const HookInstalled hook([&](const FileChange& c) { return disk.follow(c); });
      said = capture_stdout([&] {
        try {
          run_import(kArchivePrefix, L"A");
        } catch (const ForgetfulDisk::Crash&) {
          crashed = true;
        }
      });
    }
    ASSERT_TRUE(crashed) << k;
    disk.crash();
    for (size_t i = 0; i < 3; ++i) fates[i] += disk.fates[i];
    for (size_t i = 0; i < 3; ++i) spoils[i] += disk.spoils[i];
    // Every third time the recovery itself crashes, within its first dozen
    // changes: the mark, the put-back writes and the flushes.
    if (k % 3 == 0 && fs::exists(kJournal)) {
      ForgetfulDisk second(1 + k % 12, uint32_t(k) + 1);
      second.watch(kArchive);
      second.watch(kJournal);
      {
        const HookInstalled hook([&](const FileChange& c) { return second.follow(c); });
        capture_stdout([&] {
          try {
            run_export(0, 0, false, L"LINKDATA_EU_OS_EUNA.A", L"A");
          } catch (const ForgetfulDisk::Crash&) {
          }
        });
      }
      second.crash();
      recoveries_cut += fs::exists(kJournal);
    }
    std::string recovery;
    const std::vector<int> after = states(edits, &recovery);
    if (recovery.find("恢复到导入前的状态") != std::string::npos) ++rolled_back;
    EXPECT_FALSE(fs::exists(kJournal)) << k << recovery;
    for (size_t n = 0; n < edits.size(); ++n) {
      const bool shown_new =
          said.find(" " + std::to_string(n) + ".data 成功！") != std::string::npos;
      EXPECT_NE(after[n], -1) << "crash at change " << k << ", entry " << n;
      if (shown_new) {
        EXPECT_EQ(after[n], 1) << "crash at change " << k << ", entry " << n;
      }
      new_entries += after[n] == 1;
    }
    std::string again;
    EXPECT_TRUE(import_a(&again)) << k << again;
    EXPECT_EQ(states(edits), std::vector<int>(edits.size(), 1)) << k;
    std::string restored;
    EXPECT_TRUE(restore_a(&restored)) << k << restored;
    EXPECT_TRUE(read_file(kArchive) == archive) << "crash at change " << k;
    EXPECT_FALSE(fs::exists(kOriginals)) << k;
  }
  std::cout << total << " crash points; unflushed writes kept " << fates[0] << ", lost " << fates[1]
            << ", torn " << fates[2] << "; spoilt: cut at a byte " << spoils[0]
            << ", a sector zeroed " << spoils[1] << ", a sector of garbage " << spoils[2] << "; "
            << recoveries_cut << " recoveries cut short; " << rolled_back << " runs rolled back; "
            << new_entries << " entries found new\n";
  EXPECT_GT(rolled_back, 0u);
  EXPECT_GT(fates[2], 0u);
  for (uint64_t n : spoils) EXPECT_GT(n, 10u);
  EXPECT_GT(recoveries_cut, 5u);
}

// A crash after each single change of a restore, of a range and of the whole
// archive: run again, the restore finishes, and the archive is then byte for
// byte the one before the first import.
TEST_P(JournalCrash, CrashAfterAnyChangeOfARestoreIsFinishedByRunningItAgain) {
  InScratchDir here;
  const std::vector<Edit> edits = mixed_edits();
  const Bytes archive = archive_of(edits);
  struct Op {
    const char* name;
    int32_t first, last;  // -1: the whole archive
  };
  lay_out(edits, archive);
  ASSERT_TRUE(import_a());
  const Bytes modded_archive = read_file(kArchive), originals = read_file(kOriginals);
  auto modded = [&] {
    write_file(kArchive, modded_archive);
    write_file(kOriginals, originals);
  };
  for (const Op op : {Op{"range", 5, 30}, Op{"whole", -1, -1}}) {
    modded();
    ForgetfulDisk counter(0, 0);
    {
      const HookInstalled hook([&](const FileChange& c) { return counter.follow(c); });
      ASSERT_TRUE(restore_a(nullptr, op.first, op.last));
    }
    const uint64_t total = counter.changes();
    ASSERT_GT(total, 10u) << op.name;
    uint64_t torn = 0, undone = 0;
    for (uint64_t k = 1 + GetParam(); k <= total; k += kCrashShards) {
      modded();
      ForgetfulDisk disk(k, uint32_t(k));
      disk.watch(kArchive);
      disk.watch(kOriginals);
      bool crashed = false;
      {
        const HookInstalled hook([&](const FileChange& c) { return disk.follow(c); });
        capture_stdout([&] {
          try {
            restore_archive_a(op.first, op.last);
          } catch (const ForgetfulDisk::Crash&) {
            crashed = true;
          }
        });
      }
      ASSERT_TRUE(crashed) << op.name << " " << k;
      disk.crash();
      torn += disk.fates[size_t(Fate::torn)];
      std::string said;
      EXPECT_TRUE(restore_a(&said, op.first, op.last)) << op.name << " " << k << said;
      // The rollback line names the restore that was cut short.
      EXPECT_EQ(said.find("上次导入未完成"), std::string::npos) << op.name << " " << k << said;
      undone += said.find("检测到上次还原未完成，已撤销") == 0;
      if (op.first >= 0) {
        const std::vector<int> after = states(edits);
        for (size_t n = 0; n < edits.size(); ++n) {
          const bool in_range = n >= size_t(op.first) && n <= size_t(op.last);
          EXPECT_EQ(after[n], in_range ? 0 : 1) << op.name << " " << k << ", entry " << n;
        }
        EXPECT_TRUE(restore_a(&said)) << op.name << " " << k << said;
      }
      EXPECT_TRUE(read_file(kArchive) == archive) << op.name << ", crash at change " << k;
      EXPECT_FALSE(fs::exists(kOriginals)) << op.name << " " << k;
    }
    std::cout << op.name << " restore: " << total << " crash points, " << torn << " writes torn, "
              << undone << " rolled back\n";
    EXPECT_GT(undone, 0u) << op.name;
  }
}

// In-place entries share journal commits: forty small ones cost a handful of
// flushes, not two for each, and the lines come in their order. (That every
// commit is on disk before the next step rests on it, the crash tests show.)
TEST(Journal, InPlaceEntriesShareCommits) {
  InScratchDir here;
  std::vector<Edit> edits;
  for (uint32_t n = 0; n < 40; ++n) {
    edits.push_back({pattern_bytes(2000, n), pattern_bytes(1900, n + 7), false});
  }
  lay_out(edits, archive_of(edits));
  int flushes = 0;
  std::string said;
  const HookInstalled hook([&](const FileChange& c) {
    flushes += c.kind == FileChangeKind::flush;
    return true;
  });
  ASSERT_TRUE(import_a(&said));
  const int per_entry_commits = 2 * int(edits.size());  // the journal's and the archive's
  EXPECT_LT(flushes, per_entry_commits / 4);
  const int first_run = flushes;
  flushes = 0;
  std::string again;
  ASSERT_TRUE(import_a(&again));
  EXPECT_LE(flushes, first_run);  // nothing left to save in the file of originals
  EXPECT_EQ(again, said);
  std::vector<std::string> names;  // in the name order import goes by
  for (int n = 0; n < 40; ++n) names.push_back(std::to_string(n) + ".data");
  std::sort(names.begin(), names.end());
  std::string want;
  for (const std::string& name : names) {
    want += "向 LINKDATA_EU_OS_EUNA.A 中导入未压缩文件 " + name + " 成功！\n";
  }
  EXPECT_EQ(said, want);
  EXPECT_FALSE(fs::exists(kJournal));
}

// A journal of the earlier layout, which names its archive by length alone:
// the old bytes of one region.
Bytes unchecked_journal(uint64_t archive_length, uint64_t position, const Bytes& old_bytes) {
  Bytes body(16 + old_bytes.size());
  store_u64le(body.data(), position);
  store_u64le(body.data() + 8, old_bytes.size());
  std::copy(old_bytes.begin(), old_bytes.end(), body.begin() + 16);
  Bytes journal(32);
  const char magic[] = "LDJRNL01";
  std::copy(magic, magic + 8, journal.begin());
  store_u64le(journal.data() + 8, archive_length);
  store_u64le(journal.data() + 16, body.size());
  store_u32le(journal.data() + 24, uint32_t(crc32(0, body.data(), uInt(body.size()))));
  store_u32le(journal.data() + 28, uint32_t(crc32(0, journal.data(), 28)));
  journal.insert(journal.end(), body.begin(), body.end());
  return journal;
}

// A journal left behind, as the runs that read or write the archive find it:
// played back into the archive it was written for, whatever one crash did to
// the sectors the commit wrote, and finished when a rollback was cut short;
// never into another archive in its place.
TEST(Journal, RecoveryOfWholeAndTornJournals) {
  struct Case {
    const char* name;
    char mode;                        // the run that finds it: e, i, l
    void (*spoil)(Bytes* journal);    // null: left whole
    void (*replace)(Bytes* archive);  // null: the archive the commit was cut short in
    bool fail_archive_write, by_restore, unchecked, playback_begun;
    const char* said;  // before the operation's own lines
    bool ok, restored, journal_stays;
  };
  const char* kRestored = "检测到上次导入未完成，已将 LINKDATA_EU_OS_EUNA.A 恢复到导入前的状态。\n";
  const char* kRestoreUndone =
      "检测到上次还原未完成，已撤销它对 LINKDATA_EU_OS_EUNA.A 写了一半的修改，请再运行一次还原。\n";
  const char* kCannot = "检测到上次导入未完成，但无法恢复 LINKDATA_EU_OS_EUNA.A！\n";
  const char* kOther =
      "恢复日志 LINKDATA_EU_OS_EUNA.A-journal 不属于现在的 LINKDATA_EU_OS_EUNA.A"
      "（存档在上次运行中断后被换过），没有做任何修改！\n";
  const char* kUnclear =
      "恢复日志 LINKDATA_EU_OS_EUNA.A-journal 与现在的 LINKDATA_EU_OS_EUNA.A 长度和索引相同，"
      "但有 20 "
      "个扇区既不是中断前的数据也不是那次写入的数据，无法判断存档是中断时写坏的还是后来被换过，"
      "没有做任何修改！请把 LINKDATA_EU_OS_EUNA.A-journal 改名为 "
      "LINKDATA_EU_OS_EUNA.A-journal.kept 保存起来后再运行。\n";
  const char* kUnchecked =
      "恢复日志 LINKDATA_EU_OS_EUNA.A-journal 由旧版本写入，无法确认它属于现在的 "
      "LINKDATA_EU_OS_EUNA.A，没有做任何修改！\n";
  const char* kDamaged =
      "恢复日志 LINKDATA_EU_OS_EUNA.A-journal 已损坏，而 LINKDATA_EU_OS_EUNA.A "
      "已被中断的那次运行改动过，无法恢复，没有做任何修改！\n";
  // The commit: entry 0's record, in the first sector with the header and
  // 30 other records, and 11000 bytes of its slot from 2048 on. The archive
  // as the crash left it: the record new, the slot new up to 4096 and old
  // after it.
  constexpr size_t kSlot = 2048, kSlotWrite = 11000;
  using A = Bytes*;
  const auto flip_body = [](A j) { (*j)[j->size() - 1] ^= 1; };
  const auto cut_100 = [](A j) { j->resize(j->size() - 100); };
  const auto untouched = [](A a) {  // the crash's writes undone
    (*a)[20] ^= 0x40;
    std::fill(a->begin() + kSlot, a->begin() + 4096, 0x11);
  };
  const auto byte_torn = [](A a) { (*a)[kSlot + 4500] ^= 1; };  // one sector neither
  const auto sector_zeroed = [](A a) {                          // one sector of garbage,
    std::fill(a->begin() + 200, a->begin() + 512, 0);           // other records in it
  };
  const auto physical_sector = [](A a) {  // a 4 KiB sector of garbage
    for (size_t i = 4096; i < 8192; ++i) (*a)[i] = uint8_t(i * 7);
  };
  const auto many_sectors = [](A a) {  // more than one crash leaves
    for (size_t i = 0; i < 20; ++i) (*a)[kSlot + 512 * i + 3] ^= 0x5A;
  };
  const auto payload_elsewhere = [](A a) { a->back() ^= 1; };      // another entry's bytes
  const auto index_changed = [](A a) { (*a)[16 * 36 + 4] ^= 1; };  // a record in another sector
  const auto longer = [](A a) { a->push_back(0); };
  const auto old_bytes_back = [](A a) {
    std::fill(a->begin() + kSlot, a->begin() + kSlot + 512, 0x11);
  };
  const Case cases[] = {
      {"whole, export", 'e', nullptr, nullptr, false, false, false, false, kRestored, true, true,
       false},
      {"whole, import", 'i', nullptr, nullptr, false, false, false, false, kRestored, true, true,
       false},
      {"whole, listing", 'l', nullptr, nullptr, false, false, false, false, kRestored, true, true,
       false},
      {"left by a restore", 'e', nullptr, nullptr, false, true, false, false, kRestoreUndone, true,
       true, false},
      // Damaged after the commit had begun: the archive is not as it saw it.
      {"body byte flipped", 'e', flip_body, nullptr, false, false, false, false, kDamaged, false,
       false, true},
      {"cut short", 'e', cut_100, nullptr, false, false, false, false, kDamaged, false, false,
       true},
      {"header only", 'l', [](Bytes* j) { j->resize(40); }, nullptr, false, false, false, false,
       kDamaged, false, false, true},
      // Cut short while it was written, before any archive write: nothing to undo.
      {"body byte flipped, archive untouched", 'i', flip_body, untouched, false, false, false,
       false, "", true, false, false},
      {"cut short, archive untouched", 'e', cut_100, untouched, false, false, false, false, "",
       true, false, false},
      {"cleared", 'e', [](Bytes* j) { std::fill(j->begin(), j->begin() + 40, 0); }, nullptr, false,
       false, false, false, "", true, false, false},
      {"empty", 'i', [](Bytes* j) { j->clear(); }, nullptr, false, false, false, false, "", true,
       false, false},
      {"archive not writable", 'e', nullptr, nullptr, true, false, false, false, kCannot, false,
       false, true},
      // What one crash can do to the sectors it writes.
      {"a write cut inside a sector", 'e', nullptr, byte_torn, false, false, false, false,
       kRestored, true, true, false},
      {"a sector of zeros", 'i', nullptr, sector_zeroed, false, false, false, false, kRestored,
       true, true, false},
      {"a physical sector of garbage", 'l', nullptr, physical_sector, false, false, false, false,
       kRestored, true, true, false},
      // More than one crash explains: crash or another archive, it cannot tell.
      {"twenty sectors neither", 'e', nullptr, many_sectors, false, false, false, false, kUnclear,
       false, false, true},
      // A rollback that had begun is finished, whatever the pieces hold.
      {"rollback cut short", 'e', nullptr, many_sectors, false, false, false, true, kRestored, true,
       true, false},
      // Another archive of the same length in its place.
      {"index, export", 'e', nullptr, index_changed, false, false, false, false, kOther, false,
       false, true},
      {"index, import", 'i', nullptr, index_changed, false, false, false, false, kOther, false,
       false, true},
      {"index, listing", 'l', nullptr, index_changed, false, false, false, false, kOther, false,
       false, true},
      {"index, rollback cut short", 'e', nullptr, index_changed, false, false, false, true, kOther,
       false, false, true},
      {"longer", 'e', nullptr, longer, false, false, false, false, kOther, false, false, true},
      // Bytes outside every region are not the journal's to judge.
      {"payload elsewhere", 'e', nullptr, payload_elsewhere, false, false, false, false, kRestored,
       true, true, false},
      // The earlier layout: removed when the archive holds what it saved.
      {"earlier layout, written", 'e', nullptr, nullptr, false, false, true, false, kUnchecked,
       false, false, true},
      {"earlier layout, nothing written", 'i', nullptr, old_bytes_back, false, false, true, false,
       "", true, false, false},
  };
  for (const Case& c : cases) {
    InScratchDir here;
    std::vector<StoredEntry> entries = {plain_entry(Bytes(12000, 0x11))};
    for (uint32_t n = 1; n < 40; ++n) entries.push_back(plain_entry(pattern_bytes(10, n)));
    const Bytes before = archive_image(entries);
    Bytes record(before.begin() + 16, before.begin() + 32);
    record[4] ^= 0x40;
    const Bytes slot(kSlotWrite, 0xEE);
    write_file(kArchive, before);
    if (c.unchecked) {
      write_file(kJournal, unchecked_journal(before.size(), kSlot,
                                             Bytes(before.begin() + kSlot, before.begin() + 2560)));
    } else {
      platform::File archive = platform::File::open_read_write_existing(L"LINKDATA_EU_OS_EUNA.A");
      Journal journal{L"LINKDATA_EU_OS_EUNA.A-journal", {}, false};
      if (c.by_restore) journal.operation = JournalOperation::restore;
      ASSERT_TRUE(journal_save(journal, archive, before.size(),
                               {{16, 16, record.data()}, {kSlot, slot.size(), slot.data()}}));
    }
    Bytes spoilt = before;
    std::copy(record.begin(), record.end(), spoilt.begin() + 16);
    std::fill(spoilt.begin() + kSlot, spoilt.begin() + 4096, 0xEE);
    if (c.playback_begun) {
      // A first recovery marked its rollback begun and was cut short after
      // putting back the record.
      const HookInstalled hook([&](const FileChange& f) {
        if (f.kind == FileChangeKind::write && to_utf8(f.path) == kArchive) {
          throw ForgetfulDisk::Crash{};
        }
        return true;
      });
      write_file(kArchive, spoilt);
      capture_stdout([&] {
        try {
          run_export(0, 0, false, L"LINKDATA_EU_OS_EUNA.A", L"A");
        } catch (const ForgetfulDisk::Crash&) {
        }
      });
    }
    if (c.replace) c.replace(&spoilt);
    write_file(kArchive, spoilt);
    Bytes rolled_back = spoilt;  // every sector the commit touched as it was
    std::copy(before.begin(), before.begin() + 512, rolled_back.begin());
    std::copy(before.begin() + kSlot, before.begin() + 13312, rolled_back.begin() + kSlot);
    if (c.spoil) {
      Bytes journal = read_file(kJournal);
      c.spoil(&journal);
      write_file(kJournal, journal);
    }
    fs::create_directories("Import/A");
    std::string said;
    bool ok;
    {
      const HookInstalled hook([&](const FileChange& f) {
        return !(c.fail_archive_write && f.kind == FileChangeKind::write);
      });
      if (c.mode == 'i') {
        ok = import_a(&said);
      } else if (c.mode == 'l') {
        said = capture_stdout(
            [&] { ok = run_list(0, 0, ListingDetail::index_only, L"LINKDATA_EU_OS_EUNA.A"); });
      } else {
        ok = export_a(0, &said);
      }
    }
    EXPECT_EQ(said.substr(0, std::string(c.said).size()), c.said) << c.name << ": " << said;
    if (!c.ok) {
      EXPECT_EQ(said, c.said) << c.name;
    }
    // The import folder is empty: import goes on as far as its own message.
    EXPECT_EQ(ok, c.ok && c.mode != 'i') << c.name;
    EXPECT_EQ(read_file(kArchive), c.restored ? rolled_back : spoilt) << c.name;
    EXPECT_EQ(fs::exists(kJournal), c.journal_stays) << c.name;
  }
}

// Something in place of the journal that this tool never writes there: a
// link, even one whose target is gone, or a folder. The run says what it is
// and changes nothing.
TEST(Journal, LinkOrFolderInPlaceOfTheJournal) {
  const std::string said =
      "LINKDATA_EU_OS_EUNA.A-journal 不是 linkdata 写的恢复日志（是链接、文件夹或特殊文件），"
      "请把它移走后再运行；LINKDATA_EU_OS_EUNA.A 没有做任何修改！\n";
#ifdef _WIN32
  const char* const kinds[] = {"folder"};  // links need rights a player seldom has
#else
  const char* const kinds[] = {"dangling link", "link to a journal", "folder"};
#endif
  for (const char* kind : kinds) {
    InScratchDir here;
    write_file(kArchive, archive_image({plain_entry(pattern_bytes(100, 1))}));
    const std::string kind_name = kind;
    if (kind_name == "folder") {
      fs::create_directory(kJournal);
    } else {
      if (kind_name == "link to a journal") write_file("elsewhere", Bytes(64, 0));
      fs::create_symlink("elsewhere", kJournal);
    }
    const Bytes archive = read_file(kArchive);
    std::string out;
    EXPECT_FALSE(export_a(0, &out)) << kind;
    EXPECT_EQ(out, said) << kind;
    EXPECT_EQ(read_file(kArchive), archive) << kind;
    EXPECT_TRUE(fs::exists(fs::symlink_status(kJournal))) << kind;
  }
}

// Memory that runs out on the thread that writes the commits ends the run
// with its message and status 1, never an abort; the next run rolls the
// commit back and the import then finishes.
TEST(Journal, OutOfMemoryOnTheWriterThread) {
  InScratchDir here;
  const std::vector<Edit> edits = mixed_edits();
  lay_out(edits, archive_of(edits));
  const std::thread::id main_thread = std::this_thread::get_id();
  int status = 0;
  std::string said;
  {
    const HookInstalled hook([&](const FileChange& c) {
      if (c.kind == FileChangeKind::write && to_utf8(c.path) == kArchive &&
          std::this_thread::get_id() != main_thread) {
        throw std::bad_alloc();
      }
      return true;
    });
    said = capture_stdout([&] { status = run_command_line({L"i", L"a"}); });
  }
  EXPECT_EQ(status, 1);
  const std::string message = "内存不足，运行已停止！\n";
  ASSERT_GE(said.size(), message.size());
  EXPECT_EQ(said.substr(said.size() - message.size()), message) << said;
  std::string again;
  EXPECT_TRUE(import_a(&again)) << again;
  EXPECT_EQ(again.find("检测到上次导入未完成，已将"), 0u) << again;
  EXPECT_EQ(states(edits), std::vector<int>(edits.size(), 1));
}

// A write, flush, removal or close that fails, each where it bites.
TEST(Journal, FailingFileOperations) {
  struct Case {
    const char* name;
    FileChangeKind kind;
    const char* path_end;  // of the file the failure hits
    int which;             // the n-th such change of that file, from 1
    std::string said;
    std::vector<int> states;  // of the four entries after the run
  };
  const std::string ok0 = "向 LINKDATA_EU_OS_EUNA.A 中导入压缩文件 0.data 成功！\n";
  const Case cases[] = {
      {"journal cannot be created",
       FileChangeKind::replace,
       "-journal",
       1,
       "写入恢复日志失败！\n",
       {0, 0, 0, 0}},
      {"journal not flushed",
       FileChangeKind::flush,
       "-journal",
       1,
       "写入恢复日志失败！\n",
       {0, 0, 0, 0}},
      // The archive's writes are on disk, and maybe the journal that would
      // undo them after a crash: no line is shown for them.
      {"journal not cleared",
       FileChangeKind::flush,
       "-journal",
       2,
       "写入恢复日志失败！\n",
       {1, 1, 1, 1}},
      // Writes of the archive: record 0, data 0, record 1, data 1, ...
      {"second entry's data",
       FileChangeKind::write,
       ".A",
       4,
       ok0 + "写入 LINKDATA 文件失败！\n",
       {1, 0, 0, 0}},
      {"archive not flushed",
       FileChangeKind::flush,
       ".A",
       1,
       "写入 LINKDATA 文件失败！\n",
       {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    InScratchDir here;
    std::vector<Edit> edits;
    for (uint32_t n = 0; n < 4; ++n) {
      Bytes fresh = pattern_bytes(5000, n + 10);
      std::fill(fresh.begin(), fresh.begin() + 2000, 0);
      edits.push_back({pattern_bytes(5000, n), fresh, true});
    }
    lay_out(edits, archive_of(edits));
    int seen = 0;
    std::string said;
    {
      const HookInstalled hook([&](const FileChange& f) {
        const std::string path = to_utf8(f.path);
        const std::string end = c.path_end;
        if (f.kind != c.kind || path.size() < end.size() ||
            path.compare(path.size() - end.size(), end.size(), end) != 0) {
          return true;
        }
        return ++seen != c.which;
      });
      EXPECT_FALSE(import_a(&said)) << c.name;
    }
    EXPECT_EQ(said, c.said) << c.name;
    EXPECT_EQ(states(edits), c.states) << c.name;
    EXPECT_FALSE(fs::exists(kJournal)) << c.name;
  }
}

// Two loose names for entry 1 in one group, and a failed write in the second:
// the second starts a commit of its own, so undoing it puts back what the
// first one wrote, whose line was shown; entry 0 keeps its line and bytes.
TEST(Journal, FailedWriteNeverUndoesAnEntryWhoseLineWasShown) {
  InScratchDir here;
  std::vector<Edit> edits;
  for (uint32_t n = 0; n < 2; ++n) {
    edits.push_back({pattern_bytes(5000, n), pattern_bytes(4000, n + 10), false});
  }
  lay_out(edits, archive_of(edits));
  write_file("Import/A/01.data", pattern_bytes(4500, 20));  // between 0.data and 1.data
  int archive_writes = 0;
  std::string said;
  {
    // Records and data of 0.data, 01.data, then 1.data's record and its data.
    const HookInstalled hook([&](const FileChange& f) {
      return !(f.kind == FileChangeKind::write && to_utf8(f.path) == kArchive &&
               ++archive_writes == 6);
    });
    EXPECT_FALSE(import_a(&said));
  }
  EXPECT_EQ(said,
            "向 LINKDATA_EU_OS_EUNA.A 中导入未压缩文件 0.data 成功！\n"
            "向 LINKDATA_EU_OS_EUNA.A 中导入未压缩文件 01.data 成功！\n"
            "写入 LINKDATA 文件失败！\n");
  EXPECT_EQ(states(edits)[0], 1);
  EXPECT_EQ(read_file("Extracted/A/1.data"), pattern_bytes(4500, 20));
  EXPECT_FALSE(fs::exists(kJournal));
}

// Some file systems report a failed write only when the file is closed.
TEST(Journal, FailedCloseOfAnExportedFile) {
  InScratchDir here;
  write_file(kArchive, archive_image({plain_entry(pattern_bytes(100, 1)),
                                      compressed_entry(pattern_bytes(3000, 2)),
                                      plain_entry(pattern_bytes(100, 3))}));
  for (const char* failing : {"0.data", "1.data"}) {
    std::string said;
    bool ok;
    {
      const HookInstalled hook([&](const FileChange& f) {
        return !(f.kind == FileChangeKind::close &&
                 to_utf8(f.path).find(failing) != std::string::npos);
      });
      ok = export_a(2, &said);
    }
    const std::string before =
        std::string(failing) == "1.data"
            ? "从 LINKDATA_EU_OS_EUNA.A 中导出文件 " + shown("Extracted/A/0.data") + " 成功！\n"
            : "";
    EXPECT_FALSE(ok) << failing;
    EXPECT_EQ(said, before + "写入文件失败！\n") << failing;
  }
}

#ifndef _WIN32
// Ctrl+C while an exported file is written under its temporary name, or as
// that is swapped into place: the file is finished whole, then export stops
// with its message, leaves the files after it untouched and no temporary
// file behind. Both for a plain entry and for a compressed one.
TEST(Journal, CtrlCWhileAnExportedFileIsRewritten) {
  InScratchDir here;
  const std::vector<Bytes> contents = {pattern_bytes(3000, 1), pattern_bytes(9000, 2),
                                       pattern_bytes(4000, 3)};
  write_file(kArchive, archive_image({plain_entry(contents[0]), compressed_entry(contents[1]),
                                      plain_entry(contents[2])}));
  const Bytes old(20000, 0xEE);
  // The old file is there: the new one is swapped in for it.
  for (const FileChangeKind moment : {FileChangeKind::write, FileChangeKind::exchange}) {
    for (size_t in_flight : {0, 1}) {
      const std::string what =
          std::to_string(in_flight) + (moment == FileChangeKind::write ? " write" : " exchange");
      fs::create_directories("Extracted/A");
      for (int n = 0; n < 3; ++n) write_file("Extracted/A/" + std::to_string(n) + ".data", old);
      std::string said;
      bool ok;
      {
        // Each file is written in one write, under a temporary name (a spare
        // of an earlier file's, or its own), then swapped in.
        size_t seen = 0;
        const HookInstalled hook([&](const FileChange& f) {
          const std::string path = to_utf8(f.path);
          const bool temporary = path.size() > 4 && path.compare(path.size() - 4, 4, ".tmp") == 0;
          if (f.kind == moment && temporary && seen++ == in_flight) raise(SIGINT);
          return true;
        });
        ok = export_a(2, &said);
      }
      std::string want;
      for (size_t n = 0; n <= in_flight; ++n) {
        want += "从 LINKDATA_EU_OS_EUNA.A 中导出文件 Extracted/A/" + std::to_string(n) +
                ".data 成功！\n";
      }
      EXPECT_FALSE(ok) << what;
      EXPECT_EQ(said, want + "导出被中断！\n") << what;
      for (size_t n = 0; n < 3; ++n) {
        EXPECT_EQ(read_file("Extracted/A/" + std::to_string(n) + ".data"),
                  n <= in_flight ? contents[n] : old)
            << what << " " << n;
      }
      for (const auto& e : fs::directory_iterator("Extracted/A")) {
        EXPECT_NE(e.path().extension(), ".tmp") << what << " " << e.path();
      }
    }
  }
}

// A DDS file whose close fails gets the texture message; export goes on.
TEST(Journal, FailedCloseOfADdsFile) {
  InScratchDir here;
  bool ok = true;
  ASSERT_EQ(std::system((std::string(LINKDATA_SAMPLE_BINARY) + " . A").c_str()), 0);
  std::string said;
  {
    const HookInstalled hook([](const FileChange& f) {
      return !(f.kind == FileChangeKind::close &&
               to_utf8(f.path).find("7/0_0.dds") != std::string::npos);
    });
    said = capture_stdout([&] { ok = run_export(7, 8, true, L"LINKDATA_EU_OS_EUNA.A", L"A"); });
  }
  EXPECT_FALSE(ok);
  EXPECT_FALSE(fs::exists("Extracted/A/Textures/7/0_0.dds"));
  EXPECT_EQ(said,
            "Extracted/A/Textures/7/0_0.dds 创建贴图文件失败！\n"
            "从 LINKDATA_EU_OS_EUNA.A 中导出文件 Extracted/A/7.data 成功！\n"
            "从 LINKDATA_EU_OS_EUNA.A 中导出文件 Extracted/A/8.data 成功！\n");
}
#endif

}  // namespace
}  // namespace linkdata::test
