// Export through the built tool: range rules, files, messages, statuses.
#include "archive/modes/export.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/file_change_hook.h"
#include "platform/little_endian.h"
#include "platform/text_encoding.h"
#include "test_support.h"

namespace linkdata::test {
namespace {

std::string ok_line(uint32_t n) {
  return "从 LINKDATA_EU_OS_EUNA.A 中导出文件 " + shown("Extracted/A/") + std::to_string(n) +
         ".data 成功！\n";
}

// Five entries, alternating plain and compressed, each with distinct content.
struct FiveEntries {
  ScratchDir dir;
  std::vector<Bytes> contents;
  FiveEntries() {
    std::vector<StoredEntry> entry_list;
    for (uint32_t i = 0; i < 5; ++i) {
      contents.push_back(pattern_bytes(1000 + 40000 * i, i));
      entry_list.push_back(i % 2 ? compressed_entry(contents[i]) : plain_entry(contents[i]));
    }
    write_file(dir / kArchive, archive_image(entry_list));
  }
};

TEST(Export, RangeRulesAgainstFiveEntries) {
  struct Case {
    std::string first, last;
    std::vector<uint32_t> exported;
  } cases[] = {
      {"0", "10", {0, 1, 2, 3, 4}},
      {"3", "1", {1}},
      {"2", "2", {2}},
      {"5", "9", {}},
      {"4", "4", {4}},
      {"x", "3", {0, 1, 2, 3}},
      {"0", "4", {0, 1, 2, 3, 4}},
      {"4", "5", {4}},
  };
  for (const Case& c : cases) {
    FiveEntries a;
    RunResult r = run_tool(a.dir.path, {"e", "a", c.first, c.last});
    std::string expected;
    for (uint32_t n : c.exported) expected += ok_line(n);
    EXPECT_EQ(r.out, expected) << c.first << ".." << c.last;
    EXPECT_EQ(r.status, 0);
    for (uint32_t n = 0; n < 5; ++n) {
      const std::string path = a.dir / ("Extracted/A/" + std::to_string(n) + ".data");
      const bool wanted = std::find(c.exported.begin(), c.exported.end(), n) != c.exported.end();
      ASSERT_EQ(file_exists(path), wanted) << path;
      if (wanted) {
        EXPECT_EQ(read_file(path), a.contents[n]);
      }
    }
  }
}

TEST(Export, CreatesTheWorkingTreeAndReplacesOldFiles) {
  FiveEntries a;
  ASSERT_TRUE(make_dir(a.dir / "Extracted"));
  ASSERT_TRUE(make_dir(a.dir / "Extracted/A"));
  write_file(a.dir / "Extracted/A/3.data", Bytes(100000, 0xEE));
  RunResult r = run_tool(a.dir.path, {"E", "a", "3", "3"});
  EXPECT_EQ(r.out, ok_line(3));
  EXPECT_EQ(read_file(a.dir / "Extracted/A/3.data"), a.contents[3]);
  EXPECT_TRUE(file_exists(a.dir / "Import/A"));
  EXPECT_FALSE(file_exists(a.dir / "Extracted/A/Textures"));
  r = run_tool(a.dir.path, {"e", "A", "0", "0", "Y"});
  EXPECT_TRUE(file_exists(a.dir / "Extracted/A/Textures"));
}

TEST(Export, EmptyArchiveSucceedsSilently) {
  ScratchDir dir;
  write_file(dir / kArchive, archive_image({}));
  RunResult r = run_tool(dir.path, {"e", "a", "0", "10", "y"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(file_exists(dir / "Extracted/A/Textures"));
  EXPECT_TRUE(file_exists(dir / "Import/A"));
}

TEST(Export, FormatAndOpenFailures) {
  ScratchDir dir;
  write_file(dir / kArchive, text_bytes("not an archive at all"));
  RunResult r = run_tool(dir.path, {"e", "a", "0", "1"});
  EXPECT_EQ(r.out, "LINKDATA 文件格式错误！\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(file_exists(dir / "Import/A"));  // directories come first

  write_file(dir / "LINKDATA_EU_OS_EUNA.B", {});
  r = run_tool(dir.path, {"e", "b", "0", "1"});
  EXPECT_EQ(r.out, "LINKDATA 文件格式错误！\n");

  UnopenableName unopenable(dir / "LINKDATA_EU_OS_EUNA.C");
  ASSERT_TRUE(unopenable.ok());
  r = run_tool(dir.path, {"e", "c", "0", "1"});
  EXPECT_EQ(r.out, "打开文件失败！\n");
  EXPECT_EQ(r.status, 1);
}

// On Windows the existence test is a directory search, so a wildcard letter
// finds the archives that are there and fails only when the name is opened;
// elsewhere the name is taken literally.
TEST(Export, WildcardLetter) {
  FiveEntries a;
  for (const std::string letter : {"*", "?"}) {
    RunResult r = run_tool(a.dir.path, {"e", letter, "0", "0"});
    EXPECT_EQ(r.out, kLastComponentIsAPattern
                         ? "打开文件失败！\n"
                         : "文件“LINKDATA_EU_OS_EUNA." + letter + "”不存在！\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(a.dir / ("Extracted/" + letter)));
    EXPECT_FALSE(file_exists(a.dir / ("Import/" + letter)));
  }
  // With no archive beside it, the pattern matches nothing on every platform.
  ScratchDir empty;
  RunResult r = run_tool(empty.path, {"e", "*", "0", "0"});
  EXPECT_EQ(r.out, "文件“LINKDATA_EU_OS_EUNA.*”不存在！\n");
  EXPECT_FALSE(file_exists(empty / "Extracted"));
}

TEST(Export, DecodeFailureStopsTheRangeThere) {
  ScratchDir dir;
  std::vector<StoredEntry> entry_list;
  for (int i = 0; i < 10; ++i)
    entry_list.push_back(compressed_entry(pattern_bytes(5000, uint32_t(i))));
  Bytes bad = entry_list[7].stored;
  store_u32le(bad.data(), 4999);  // total size one short of what the chunks give
  entry_list[7].stored = bad;
  write_file(dir / kArchive, archive_image(entry_list));
  RunResult r = run_tool(dir.path, {"e", "a", "5", "9"});
  EXPECT_EQ(r.out, ok_line(5) + ok_line(6) + "解压后的数据长度出错！解压文件 7.data 出错！\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(file_exists(dir / "Extracted/A/7.data"));
  EXPECT_FALSE(file_exists(dir / "Extracted/A/8.data"));

  entry_list[7].stored[9] ^= 0xFF;  // damage the zlib stream itself: no length message
  store_u32le(entry_list[7].stored.data(), 5000);
  write_file(dir / kArchive, archive_image(entry_list));
  r = run_tool(dir.path, {"e", "a", "7", "7"});
  EXPECT_EQ(r.out, "解压文件 7.data 出错！\n");
}

TEST(Export, RecordsAndPayloadsPastTheEndReadAsZeros) {
  ScratchDir dir;
  // Entry count 0xFFFFFFFF in a 2048-byte file: records past the end are zero.
  Bytes archive = archive_image({plain_entry(text_bytes("hello"))});
  store_u32le(archive.data() + 4, 0xFFFFFFFFu);
  // Entry 0's plain payload claims 10000 bytes, 5 of them in the file.
  store_u32le(archive.data() + 16 + 8, 10000);
  write_file(dir / kArchive, archive);
  // Longer files from before, whose bytes must not show through.
  ASSERT_TRUE(make_dir(dir / "Extracted") && make_dir(dir / "Extracted/A"));
  write_file(dir / "Extracted/A/0.data", Bytes(30000, 0xEE));
  write_file(dir / "Extracted/A/1.data", Bytes(100, 0xEE));
  RunResult r = run_tool(dir.path, {"e", "a", "0", "2"});
  EXPECT_EQ(r.out, ok_line(0) + ok_line(1) + ok_line(2));
  Bytes expected(10000, 0);
  std::copy_n(archive.data() + 2048, 2048, expected.begin());
  EXPECT_EQ(read_file(dir / "Extracted/A/0.data"), expected);
  EXPECT_EQ(read_file(dir / "Extracted/A/1.data"), Bytes{});
  EXPECT_EQ(r.status, 0);
}

TEST(Export, OffsetAboveFourGiBIsNotTruncated) {
  ScratchDir dir;
  Bytes archive = archive_image({plain_entry(text_bytes("abc"))});
  store_u64le(archive.data() + 16, uint64_t(1) << 32);  // far beyond the end: zeros
  write_file(dir / kArchive, archive);
  RunResult r = run_tool(dir.path, {"e", "a", "0", "0"});
  EXPECT_EQ(r.out, ok_line(0));
  EXPECT_EQ(read_file(dir / "Extracted/A/0.data"), Bytes(3, 0));
}

#ifndef _WIN32
// Exported files are rewritten in place: longer files from before, textures
// among them, end up exactly as a first export writes them.
TEST(Export, RepeatedExportOverLongerFilesMatchesAFreshOne) {
  ScratchDir fresh, again;
  for (const ScratchDir* d : {&fresh, &again}) {
    ASSERT_EQ(std::system((std::string(LINKDATA_SAMPLE_BINARY) + " " + d->path + " A").c_str()), 0);
  }
  std::filesystem::create_directories(again / "Extracted/A/Textures/7");
  for (const char* name : {"7.data", "8.data", "Textures/7/0_0.dds", "Textures/7/0_2.dds"}) {
    write_file(again / "Extracted/A/" + name, Bytes(size_t(3) << 20, 0xEE));
  }
  for (const ScratchDir* d : {&fresh, &again}) {
    EXPECT_EQ(run_tool(d->path, {"e", "a", "0", "8", "y"}).status, 0);
  }
  int compared = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(fresh / "Extracted")) {
    if (!e.is_regular_file()) continue;
    const std::string rel = std::filesystem::relative(e.path(), fresh.path).string();
    EXPECT_EQ(read_file(again / rel), read_file(e.path().string())) << rel;
    ++compared;
  }
  EXPECT_GT(compared, 9);
}
#endif

// A write that fails, as on a full disk, ends the export with its message;
// the file in flight keeps its old bytes and no temporary file stays.
TEST(Export, UnwritableExportedFileIsAFailure) {
  FiveEntries a;
  ASSERT_TRUE(make_dir(a.dir / "Extracted"));
  ASSERT_TRUE(make_dir(a.dir / "Extracted/A"));
  write_file(a.dir / "Extracted/A/1.data", text_bytes("old"));
  const std::string cwd = std::filesystem::current_path().u8string();
  std::filesystem::current_path(std::filesystem::u8path(a.dir.path));
  platform::set_file_change_hook([](const platform::FileChange& f) {
    return !(f.kind == platform::FileChangeKind::write &&
             to_utf8(f.path).find("1.data") != std::string::npos);
  });
  bool ok = true;
  const std::string said =
      capture_stdout([&] { ok = run_export(0, 4, false, L"LINKDATA_EU_OS_EUNA.A", L"A"); });
  platform::set_file_change_hook({});
  std::filesystem::current_path(std::filesystem::u8path(cwd));
  EXPECT_EQ(said, ok_line(0) + "写入文件失败！\n");
  EXPECT_FALSE(ok);
  EXPECT_EQ(read_file(a.dir / "Extracted/A/1.data"), text_bytes("old"));
  EXPECT_FALSE(file_exists(a.dir / "Extracted/A/1.data.tmp"));
  EXPECT_FALSE(file_exists(a.dir / "Extracted/A/2.data"));
}

// A plain file where the export folder should be: creation fails.
TEST(Export, FileWhereTheExportFolderShouldBe) {
  ScratchDir other;
  write_file(other / kArchive, archive_image({plain_entry(text_bytes("x"))}));
  write_file(other / "Extracted", text_bytes("in the way"));
  RunResult r = run_tool(other.path, {"e", "a", "0", "0"});
  EXPECT_EQ(r.out, "创建文件失败！\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(file_exists(other / "Import/A"));
}

}  // namespace
}  // namespace linkdata::test
