// Restore through the built tool: the file of originals that import keeps,
// put back by range and whole, and refused over an archive that changed or
// from a file of originals that is damaged.
#include "archive/modes/restore.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "archive/modes/import.h"
#include "platform/file_change_hook.h"
#include "platform/little_endian.h"
#include "platform/working_paths.h"
#include "test_support.h"

namespace linkdata::test {
namespace {

const std::string kChanged = "LINKDATA_EU_OS_EUNA.A 在上次导入后被其他程序修改过，无法还原！\n";
const std::string kNothing = "LINKDATA_EU_OS_EUNA.A 没有需要还原的内容！\n";
const std::string kWhole = "已将 LINKDATA_EU_OS_EUNA.A 还原到首次导入前的状态！\n";

std::string entry_restored(int n) {
  return "已将 LINKDATA_EU_OS_EUNA.A 中的条目 " + std::to_string(n) + " 还原到首次导入前的状态！\n";
}

// Six entries, plain and compressed, and the contents of two mods.
struct Workspace {
  ScratchDir dir;
  std::vector<Bytes> contents;
  Bytes original;
  Workspace() {
    std::vector<StoredEntry> entries;
    for (uint32_t n = 0; n < 6; ++n) {
      contents.push_back(pattern_bytes(5000 + 300 * n, n));
      entries.push_back(n % 2 ? compressed_entry(contents[n]) : plain_entry(contents[n]));
    }
    original = archive_image(entries);
    write_file(dir / kArchive, original);
    make_dir(dir / "Import");
    make_dir(dir / "Import/A");
  }
  // Loose files for entries first..last: fitting their slots, or growing
  // past them (appended).
  RunResult import(uint32_t first, uint32_t last, uint32_t seed, bool grow) {
    for (uint32_t n = 0; n < 6; ++n) {
      const std::string name = dir / ("Import/A/" + std::to_string(n) + ".data");
      if (n < first || n > last) {
        std::remove(name.c_str());
        continue;
      }
      Bytes content = pattern_bytes(grow ? 9000 : 4000 + 100 * n, seed + n);
      std::fill(content.begin(), content.begin() + 1000, 0);
      write_file(name, content);
    }
    return run_tool(dir.path, {"i", "a"});
  }
  RunResult tool(const std::vector<std::string>& args) { return run_tool(dir.path, args); }
  Bytes archive() const { return read_file(dir / kArchive); }
  // Each entry's content as export gives it.
  std::vector<Bytes> exported() {
    EXPECT_EQ(tool({"e", "a", "0", "5"}).status, 0);
    std::vector<Bytes> out;
    for (int n = 0; n < 6; ++n) {
      out.push_back(read_file(dir / ("Extracted/A/" + std::to_string(n) + ".data")));
    }
    return out;
  }
};

TEST(Restore, TwoModsThenARangeThenTheWholeArchive) {
  Workspace w;
  ASSERT_EQ(w.import(0, 3, 100, true).status, 0);
  const uint64_t first_save = read_file(w.dir / kOriginals).size();
  ASSERT_EQ(w.import(0, 3, 100, true).status, 0);
  // The same entries again: two batches of small records, each padded to a
  // sector of its own, and no saved bytes (those would take a third).
  EXPECT_LE(read_file(w.dir / kOriginals).size(), first_save + 2 * 512);
  ASSERT_EQ(w.import(2, 5, 200, false).status, 0);
  const std::vector<Bytes> modded = w.exported();

  RunResult r = w.tool({"r", "a", "1", "3"});
  EXPECT_EQ(r.out, entry_restored(1) + entry_restored(2) + entry_restored(3));
  EXPECT_EQ(r.status, 0);
  const std::vector<Bytes> after = w.exported();
  for (int n = 0; n < 6; ++n) {
    EXPECT_EQ(after[n], n >= 1 && n <= 3 ? w.contents[n] : modded[n]) << n;
  }
  // Restored entries are unmodified again: nothing left to put back there.
  r = w.tool({"r", "a", "2", "2"});
  EXPECT_EQ(r.out, kNothing);
  EXPECT_EQ(r.status, 0);

  r = w.tool({"R", "a"});
  EXPECT_EQ(r.out, kWhole);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(w.archive() == w.original);
  EXPECT_FALSE(file_exists(w.dir / kOriginals));
  r = w.tool({"r", "a"});
  EXPECT_EQ(r.out, kNothing);
  EXPECT_EQ(r.status, 0);
}

TEST(Restore, RangeClampedAsExportClampsIt) {
  Workspace w;
  ASSERT_EQ(w.import(3, 5, 300, true).status, 0);
  RunResult r = w.tool({"r", "a", "9", "4"});  // first beyond last: the entry last alone
  EXPECT_EQ(r.out, entry_restored(4));
  const std::vector<Bytes> after = w.exported();
  EXPECT_NE(after[3], w.contents[3]);
  EXPECT_EQ(after[4], w.contents[4]);
  EXPECT_NE(after[5], w.contents[5]);
  r = w.tool({"r", "a", "0", "2"});
  EXPECT_EQ(r.out, kNothing);
  EXPECT_EQ(r.status, 0);
  r = w.tool({"r", "a", "5", "2147483647"});  // a last beyond the end: up to the last entry
  EXPECT_EQ(r.out, entry_restored(5));
  EXPECT_EQ(w.tool({"r", "a", "3", "3"}).out, entry_restored(3));
  // No saves left, but the appended bytes are: the whole restore cuts them.
  EXPECT_GT(w.archive().size(), w.original.size());
  EXPECT_EQ(w.tool({"r", "a"}).out, kWhole);
  EXPECT_TRUE(w.archive() == w.original);
}

// An archive changed since the last import, as restore and the next import
// find it: another archive, a game update that keeps the index and changes a
// changed entry's payload, or the original copied back.
TEST(Restore, ArchiveChangedByAnotherProgram) {
  enum class Change { another_archive, same_index_update, original_copied_back };
  const std::string kSetAside =
      "LINKDATA_EU_OS_EUNA.A 在上次导入后被其他程序修改过，旧的原始数据文件已改名为 "
      "LINKDATA_EU_OS_EUNA.A-original.1，从现在的状态重新保存原始数据！\n";
  struct Case {
    const char* name;
    Change change;
    std::string restore_said;
    int restore_status;
    bool set_aside;  // by the next import
  };
  const Case cases[] = {
      {"another archive", Change::another_archive, kChanged, 1, true},
      {"same index, payload updated", Change::same_index_update, kChanged, 1, true},
      {"the original copied back", Change::original_copied_back, kNothing, 0, false},
  };
  for (const Case& c : cases) {
    for (const bool restore_first : {true, false}) {
      const std::string name = std::string(c.name) + (restore_first ? ", restore" : ", import");
      Workspace w;
      ASSERT_EQ(w.import(1, 2, 400, false).status, 0);
      const Bytes saved = read_file(w.dir / kOriginals);
      Bytes replacement = w.archive();
      if (c.change == Change::another_archive) {
        replacement = archive_image({plain_entry(pattern_bytes(7000, 9)),
                                     compressed_entry(pattern_bytes(6000, 8)),
                                     plain_entry(pattern_bytes(100, 7))});
      } else if (c.change == Change::same_index_update) {
        replacement[record_of(replacement, 2).payload_offset * 2048 + 10] ^= 0x20;
      } else {
        replacement = w.original;
      }
      write_file(w.dir / kArchive, replacement);
      if (restore_first) {
        for (const auto& args :
             std::vector<std::vector<std::string>>{{"r", "a", "0", "5"}, {"r", "a"}}) {
          RunResult r = w.tool(args);
          EXPECT_EQ(r.out, c.restore_said) << name;
          EXPECT_EQ(r.status, c.restore_status) << name;
        }
        EXPECT_TRUE(w.archive() == replacement) << name;
        // Kept where it may still be the way back; gone where the archive
        // already is what it would give.
        EXPECT_EQ(file_exists(w.dir / kOriginals), c.restore_status != 0) << name;
        if (file_exists(w.dir / kOriginals)) {
          EXPECT_TRUE(read_file(w.dir / kOriginals) == saved) << name;
        }
      }
      RunResult r = w.import(1, 2, 500, false);
      EXPECT_EQ(r.status, 0) << name;
      const std::string first_line = r.out.substr(0, r.out.find('\n') + 1);
      EXPECT_EQ(first_line == kSetAside, c.set_aside) << name << r.out;
      if (c.set_aside) {
        EXPECT_TRUE(read_file(w.dir / (kOriginals + ".1")) == saved) << name;
      }
      EXPECT_FALSE(file_exists(w.dir / (kOriginals + ".new"))) << name;
      EXPECT_EQ(w.tool({"r", "a"}).out, kWhole) << name;
      EXPECT_TRUE(w.archive() == replacement) << name;
    }
  }
}

// Restore or import of archive A run in this process, with what it said.
bool run_in_process(char op, std::string* said) {
  bool ok = false;
  *said = capture_stdout([&] {
    ok = op == 'r' ? run_restore_whole(L"LINKDATA_EU_OS_EUNA.A") : run_import(kArchivePrefix, L"A");
  });
  return ok;
}

// Every byte of a file of originals is checked: after two imports, a flipped
// byte anywhere, or the file cut short at any length, stops restore and
// import before they write: the archive and the file stay as they are. In
// this process, for speed: thousands of runs.
TEST(Restore, DamagedFileOfOriginalsIsNeverAppliedNorCut) {
  InScratchDir here;
  std::vector<StoredEntry> entries;
  for (uint32_t n = 0; n < 4; ++n) {
    const Bytes content = pattern_bytes(400 + 100 * n, n);
    entries.push_back(n % 2 ? compressed_entry(content) : plain_entry(content));
  }
  const Bytes original = archive_image(entries);
  write_file(kArchive, original);
  make_dir("Import");
  make_dir("Import/A");
  std::string said;
  write_file("Import/A/1.data", pattern_bytes(300, 11));   // fits its slot
  write_file("Import/A/2.data", pattern_bytes(9000, 12));  // grows: appended
  ASSERT_TRUE(run_in_process('i', &said)) << said;
  std::remove("Import/A/2.data");
  write_file("Import/A/1.data", pattern_bytes(350, 13));
  write_file("Import/A/3.data", pattern_bytes(200, 14));
  ASSERT_TRUE(run_in_process('i', &said)) << said;
  const Bytes modded = read_file(kArchive), sound = read_file(kOriginals);

  // The header is kept twice, each copy alone in its sector; the copy with
  // the higher count may be torn by a crash while its count was raised, and
  // then the records past the other copy's count show it. The rest of the
  // two sectors is never read.
  const size_t newer =
      load_u32le(sound.data() + 512 + 24) > load_u32le(sound.data() + 24) ? 512 : 0;
  const auto unread_or_newer = [&](size_t at) {
    return at < 1024 && (at % 512 >= 32 || at / 512 * 512 == newer);
  };
  // A pad's zeros are checked as any body is: its first and last byte stand
  // for the rest.
  std::vector<bool> pad_inside(sound.size(), false);
  for (size_t at = 1024; at + 32 <= sound.size();) {
    const size_t length = size_t(load_u64le(sound.data() + at + 16));
    if (load_u32le(sound.data() + at) == 5) {
      for (size_t i = 1; i + 1 < length; ++i) pad_inside[at + 32 + i] = true;
    }
    at += 32 + length;
  }
  std::vector<Bytes> damaged;
  for (size_t at = 0; at < sound.size(); ++at) {
    if (unread_or_newer(at) || pad_inside[at]) continue;
    damaged.push_back(sound);
    damaged.back()[at] ^= 0xFF;
  }
  for (size_t length = 0; length < sound.size(); length += 3) {
    if (pad_inside[length]) continue;
    damaged.emplace_back(sound.begin(), sound.begin() + long(length));
  }
  const std::string start = "原始数据文件 " + kOriginals + " 从第 ";
  for (size_t k = 0; k < damaged.size(); ++k) {
    write_file(kOriginals, damaged[k]);
    for (const char op : {'r', 'i'}) {
      const std::string end = op == 'r' ? "的所有条目都没有还原！\n" : "未做任何修改！\n";
      EXPECT_FALSE(run_in_process(op, &said)) << op << " " << k;
      EXPECT_EQ(said.substr(0, start.size()), start) << op << " " << k << said;
      EXPECT_EQ(said.substr(said.size() - std::min(said.size(), end.size())), end) << k;
      ASSERT_TRUE(read_file(kArchive) == modded) << op << " " << k;
      ASSERT_TRUE(read_file(kOriginals) == damaged[k]) << op << " " << k;
      EXPECT_FALSE(file_exists(kOriginals + ".1")) << op << " " << k;
    }
  }
  Bytes newer_torn = sound;
  newer_torn[newer + 8] ^= 0xFF;
  write_file(kOriginals, newer_torn);
  EXPECT_TRUE(run_in_process('r', &said)) << said;
  EXPECT_TRUE(read_file(kArchive) == original);
}

// A run that crashed before its fingerprint left every record it had forced
// to disk, and the archive written after them. Those records are counted:
// damage to the last of them, or the file cut before its end, even between
// two records, is never taken for the crash's torn tail.
TEST(Restore, RecordsOfACrashedRunAreNeverTakenForItsTornTail) {
  struct Crash {};
  struct Case {
    const char* name;
    void (*spoil)(Bytes* file);  // null: left as the crash left it
  };
  const Case cases[] = {
      {"as the crash left it", nullptr},
      {"last byte flipped", [](Bytes* f) { f->back() ^= 1; }},
      // The last record: a 32-byte head and the 1000 saved bytes.
      {"last record's head flipped", [](Bytes* f) { (*f)[f->size() - 1032 + 8] ^= 1; }},
      {"cut by a byte", [](Bytes* f) { f->pop_back(); }},
      {"cut inside the last record's head", [](Bytes* f) { f->resize(f->size() - 1020); }},
      {"cut before the last record", [](Bytes* f) { f->resize(f->size() - 1032); }},
  };
  for (const Case& c : cases) {
    InScratchDir here;
    const Bytes original = archive_image({plain_entry(pattern_bytes(1000, 1))});
    write_file(kArchive, original);
    make_dir("Import");
    make_dir("Import/A");
    write_file("Import/A/0.data", pattern_bytes(1000, 2));  // in place: 1000 bytes saved last
    bool crashed = false;
    platform::set_file_change_hook([](const platform::FileChange& f) {
      const uint8_t* head = static_cast<const uint8_t*>(f.data);
      // The fingerprint's head: the crash comes before it is written.
      if (f.kind == platform::FileChangeKind::write && f.size == 32 && head[0] == 3 &&
          f.path.size() > 9 && f.path.compare(f.path.size() - 9, 9, L"-original") == 0) {
        throw Crash{};
      }
      return true;
    });
    capture_stdout([&] {
      try {
        run_import(kArchivePrefix, L"A");
      } catch (const Crash&) {
        crashed = true;
      }
    });
    platform::set_file_change_hook({});
    ASSERT_TRUE(crashed) << c.name;
    Bytes file = read_file(kOriginals);
    const Bytes modded = read_file(kArchive);
    ASSERT_NE(modded, original) << c.name;
    if (c.spoil) c.spoil(&file);
    write_file(kOriginals, file);
    std::string said;
    const bool restored = run_in_process('r', &said);
    EXPECT_EQ(restored, c.spoil == nullptr) << c.name << said;
    EXPECT_EQ(read_file(kArchive), restored ? original : modded) << c.name;
    EXPECT_EQ(file_exists(kOriginals), !restored) << c.name;
  }
}

// A file of originals that an earlier version wrote, with one header and its
// records from byte 32, is still read, added to and applied.
TEST(Restore, FileOfOriginalsOfTheEarlierLayout) {
  InScratchDir here;
  const Bytes original = archive_image(
      {plain_entry(pattern_bytes(3000, 1)), compressed_entry(pattern_bytes(5000, 2))});
  write_file(kArchive, original);
  make_dir("Import");
  make_dir("Import/A");
  write_file("Import/A/0.data", pattern_bytes(2000, 3));
  std::string said;
  ASSERT_TRUE(run_in_process('i', &said)) << said;
  const Bytes today = read_file(kOriginals);
  Bytes earlier(today.begin(), today.begin() + 32);
  const char magic[] = "LDORIG01";
  std::copy(magic, magic + 8, earlier.begin());
  store_u32le(earlier.data() + 28, uint32_t(crc32(0, earlier.data(), 28)));
  earlier.insert(earlier.end(), today.begin() + 1024, today.end());
  write_file(kOriginals, earlier);
  write_file("Import/A/1.data", pattern_bytes(4000, 4));
  ASSERT_TRUE(run_in_process('i', &said)) << said;
  const Bytes added_to = read_file(kOriginals);
  EXPECT_EQ(std::string(added_to.begin(), added_to.begin() + 8), "LDORIG01");
  EXPECT_GT(added_to.size(), earlier.size());
  EXPECT_TRUE(run_in_process('r', &said)) << said;
  EXPECT_TRUE(read_file(kArchive) == original);
}

// The file of originals cannot be opened at all.
TEST(Restore, UnreadableFileOfOriginals) {
  Workspace w;
  ASSERT_EQ(w.import(0, 1, 600, false).status, 0);
  const Bytes modded = w.archive();
  std::remove((w.dir / kOriginals).c_str());
  const UnopenableName unopenable(w.dir / kOriginals);
  ASSERT_TRUE(unopenable.ok());
  const std::string said = "原始数据文件 LINKDATA_EU_OS_EUNA.A-original 无法读取！\n";
  for (const auto& args : std::vector<std::vector<std::string>>{{"r", "a"}, {"i", "a"}}) {
    RunResult r = w.tool(args);
    EXPECT_EQ(r.out, said) << args[0];
    EXPECT_EQ(r.status, 1) << args[0];
  }
  EXPECT_TRUE(w.archive() == modded);
}

// A run that writes nothing leaves no side file behind.
TEST(Restore, RunThatWritesNothingCreatesNoFileOfOriginals) {
  Workspace w;
  write_file(w.dir / "Import/A/x7.data", pattern_bytes(100, 1));  // skipped by the name rule
  RunResult r = w.tool({"i", "a"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  write_file(w.dir / "Import/A/9.data", pattern_bytes(100, 1));  // past the last entry
  r = w.tool({"i", "a"});
  EXPECT_EQ(r.out, "9.data 文件编号超出范围！\n");
  for (const std::string& side : {kOriginals, kOriginals + ".new", kJournal}) {
    EXPECT_FALSE(file_exists(w.dir / side)) << side;
  }
  EXPECT_EQ(w.tool({"r", "a"}).out, kNothing);
  EXPECT_TRUE(w.archive() == w.original);
}

// The listing's changed column: entries written since the originals began
// and not put back since.
TEST(Restore, ListingShowsChangedEntries) {
  Workspace w;
  const auto changed = [&w] {
    const RunResult r = w.tool({"l", "a"});
    EXPECT_EQ(r.status, 0) << r.out;
    std::string flags;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) flags += line.substr(line.rfind('\t') + 1);
    return flags;
  };
  EXPECT_EQ(changed(), "000000");
  ASSERT_EQ(w.import(1, 3, 700, false).status, 0);
  ASSERT_EQ(w.import(5, 5, 700, true).status, 0);
  EXPECT_EQ(changed(), "011101");
  ASSERT_EQ(w.tool({"r", "a", "2", "3"}).status, 0);
  EXPECT_EQ(changed(), "010001");
  write_file(w.dir / kOriginals, text_bytes("not a file of originals, but long enough to be read"));
  const RunResult r = w.tool({"l", "a"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "原始数据文件 " + kOriginals + " 从第 0 字节起已损坏，无法读回，" + kArchive +
                       " 未做任何修改！\n");
}

}  // namespace
}  // namespace linkdata::test
