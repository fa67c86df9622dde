// Restore through the built tool: the file of originals that import keeps,
// put back by range and whole, and refused over an archive that changed.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

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
    std::vector<EntrySpec> entries;
    for (uint32_t n = 0; n < 6; ++n) {
      contents.push_back(pattern_bytes(5000 + 300 * n, n));
      entries.push_back(n % 2 ? compressed_entry(contents[n]) : plain_entry(contents[n]));
    }
    original = build_archive(entries);
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
  // The same entries again: only a few small records more, no bytes.
  EXPECT_LT(read_file(w.dir / kOriginals).size(), first_save + 200);
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

// An archive replaced since the last import, by another one or by the
// original itself: restore refuses and changes nothing; the next import sets
// the old file of originals aside and starts a new one.
TEST(Restore, ArchiveChangedByAnotherProgram) {
  struct Case {
    const char* name;
    bool by_original;
  };
  for (const Case c : {Case{"another archive", false}, Case{"the original", true}}) {
    Workspace w;
    ASSERT_EQ(w.import(1, 2, 400, false).status, 0);
    const Bytes saved = read_file(w.dir / kOriginals);
    const Bytes replacement = c.by_original
                                  ? w.original
                                  : build_archive({plain_entry(pattern_bytes(7000, 9)),
                                                   compressed_entry(pattern_bytes(6000, 8)),
                                                   plain_entry(pattern_bytes(100, 7))});
    write_file(w.dir / kArchive, replacement);
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"r", "a"}, {"r", "a", "0", "5"}}) {
      RunResult r = w.tool(args);
      EXPECT_EQ(r.out, kChanged) << c.name;
      EXPECT_EQ(r.status, 1) << c.name;
    }
    EXPECT_TRUE(w.archive() == replacement) << c.name;
    EXPECT_TRUE(read_file(w.dir / kOriginals) == saved) << c.name;

    RunResult r = w.import(1, 2, 500, false);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1),
              "LINKDATA_EU_OS_EUNA.A 在上次导入后被其他程序修改过，旧的原始数据文件已改名为 "
              "LINKDATA_EU_OS_EUNA.A-original.1，从现在的状态重新保存原始数据！\n")
        << c.name;
    EXPECT_TRUE(read_file(w.dir / (kOriginals + ".1")) == saved) << c.name;
    EXPECT_EQ(w.tool({"r", "a"}).out, kWhole) << c.name;
    EXPECT_TRUE(w.archive() == replacement) << c.name;
  }
}

TEST(Restore, UnreadableFileOfOriginals) {
  Workspace w;
  ASSERT_EQ(w.import(0, 1, 600, false).status, 0);
  Bytes spoilt = read_file(w.dir / kOriginals);
  spoilt[9] ^= 1;  // in the header
  write_file(w.dir / kOriginals, spoilt);
  const Bytes modded = w.archive();
  const std::string said = "原始数据文件 LINKDATA_EU_OS_EUNA.A-original 无法读取！\n";
  for (const auto& args : std::vector<std::vector<std::string>>{{"r", "a"}, {"i", "a"}}) {
    RunResult r = w.tool(args);
    EXPECT_EQ(r.out, said) << args[0];
    EXPECT_EQ(r.status, 1) << args[0];
  }
  EXPECT_TRUE(w.archive() == modded);
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
  EXPECT_EQ(r.out, "原始数据文件 " + kOriginals + " 无法读取！\n");
}

}  // namespace
}  // namespace linkdata::test
