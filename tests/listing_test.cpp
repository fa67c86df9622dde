// The listing through the built tool: its columns, its range, what `y` says
// about each entry, and the console form on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <sstream>

#include "platform/little_endian.h"
#include "test_support.h"
#include "textures/container.h"

namespace linkdata::test {
namespace {

const std::string kHeader = "编号\t位置\t存储大小\t内容大小\t压缩\t已修改\n";
const std::string kExaminedHeader = "编号\t位置\t存储大小\t内容大小\t压缩\t已修改\t类型\t贴图\n";

// A container of textures given as {byte 0, format code, byte 2}, each with
// `pixels` bytes of pixel data.
Bytes container(const std::vector<std::array<uint8_t, 3>>& textures, size_t pixels) {
  Bytes c(0x20 + 4 * textures.size(), 0);
  std::memcpy(c.data(), kTextureMagic, sizeof kTextureMagic);
  store_u32le(&c[12], 0x20);
  store_u32le(&c[16], uint32_t(textures.size()));
  for (size_t i = 0; i < textures.size(); ++i) {
    store_u32le(&c[0x20 + 4 * i], uint32_t(c.size() - 0x20));
    const uint8_t header[8] = {textures[i][0], textures[i][1], textures[i][2], 0, 0, 0, 0, 0};
    c.insert(c.end(), header, header + 8);
    c.resize(c.size() + pixels, 0x5A);
  }
  return c;
}

// Tab-separated field `index` of every line after the header.
std::vector<std::string> column(const std::string& out, size_t index) {
  std::vector<std::string> values;
  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string field;
    for (size_t i = 0; i <= index; ++i) std::getline(fields, field, '\t');
    values.push_back(field);
  }
  return values;
}

TEST(Listing, IndexOnlyAsTabSeparatedLines) {
  ScratchDir dir;
  const std::vector<StoredEntry> entries = {
      plain_entry(pattern_bytes(3000, 1)), compressed_entry(pattern_bytes(70000, 2)),
      StoredEntry{{}, 0, true}, compressed_entry(pattern_bytes(10, 3))};
  const Bytes archive = archive_image(entries);
  write_file(dir / kArchive, archive);
  // The columns from what went in: the payloads lie one after the other in
  // 2048-byte units after the one that holds the index; an absent entry is
  // at 0 with nothing stored.
  const uint32_t content_sizes[] = {3000, 70000, 0, 10};
  std::string expected = kHeader;
  uint64_t position = 2048;
  for (size_t n = 0; n < entries.size(); ++n) {
    const size_t stored = entries[n].stored.size();
    expected += std::to_string(n) + "\t" + std::to_string(entries[n].absent ? 0 : position) + "\t" +
                std::to_string(stored) + "\t" + std::to_string(content_sizes[n]) + "\t" +
                (entries[n].unpacked_size != 0 ? "1" : "0") + "\t0\n";
    if (!entries[n].absent) position += (stored + 2047) / 2048 * 2048;
  }
  const RunResult r = run_tool(dir.path, {"l", "a"});
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.status, 0);
  // A listing writes nothing beside the archive.
  EXPECT_FALSE(file_exists(dir / "Extracted"));
  EXPECT_FALSE(file_exists(dir / "Import"));
  EXPECT_EQ(read_file(dir / kArchive), archive);
}

TEST(Listing, RangeClampedAsExportClampsIt) {
  ScratchDir dir;
  write_file(dir / kArchive, archive_image(std::vector<StoredEntry>(5, plain_entry({1, 2}))));
  struct Case {
    std::string first, last;
    std::vector<std::string> listed;
  } cases[] = {
      {"0", "10", {"0", "1", "2", "3", "4"}},
      {"3", "1", {"1"}},
      {"2", "2", {"2"}},
      {"5", "9", {}},
      {"4", "4", {"4"}},
      {"x", "3", {"0", "1", "2", "3"}},
      {"4", "5", {"4"}},
  };
  for (const Case& c : cases) {
    for (const char* flag : {"n", "y"}) {
      const RunResult r = run_tool(dir.path, {"l", "a", c.first, c.last, flag});
      EXPECT_EQ(column(r.out, 0), c.listed) << c.first << ".." << c.last << " " << flag;
      EXPECT_EQ(r.status, 0);
    }
  }
}

TEST(Listing, MissingOrBadArchiveAsInExport) {
  ScratchDir dir;
  RunResult r = run_tool(dir.path, {"l", "a", "0", "5", "y"});
  EXPECT_EQ(r.out, "文件“LINKDATA_EU_OS_EUNA.A”不存在！\n");
  EXPECT_EQ(r.status, 1);
  Bytes archive = archive_image({plain_entry({1})});
  archive[0] ^= 1;
  write_file(dir / kArchive, archive);
  r = run_tool(dir.path, {"l", "a"});
  EXPECT_EQ(r.out, "LINKDATA 文件格式错误！\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(file_exists(dir / "Extracted"));
}

// What `y` says about each kind of entry, stored plain or compressed; the
// entries are listed together, so a failing one also shows that the listing
// goes on past it.
TEST(Listing, ExaminedEntriesSayWhatTheyHold) {
  Bytes bad_zlib = compressed_entry(pattern_bytes(5000, 4)).stored;
  bad_zlib[10] ^= 0xFF;  // inside the first chunk's zlib stream
  Bytes short_total = compressed_entry(pattern_bytes(5000, 5)).stored;
  store_u32le(short_total.data(), 4000);  // the chunks hold more than the total claims
  const Bytes dxt = container({{0x90, 8, 0x88}, {0x10, 2, 0x22}, {0x10, 1, 0x34}}, 90000);
  Bytes cut = container({{0x30, 6, 0x55}}, 100);  // 32x32 DXT1 needs 672 bytes
  struct Case {
    const char* what;
    StoredEntry entry;
    std::string kind, textures;
  } cases[] = {
      {"container", compressed_entry(dxt), "贴图容器",
       "0_0 DXT5 256x256 9; 0_1 2 4x4 1; 0_2 A8R8G8B8 16x8 1"},
      {"package",
       compressed_entry(package(
           {text_bytes("readme"), container({{0x50, 6, 0x43}}, 300), pattern_bytes(40, 6)})),
       "文件包（3 个子文件）", "1_0 DXT1 8x16 4"},
      {"text", compressed_entry(text_bytes("RIFF and more")), "其他 \"RIFF\"", ""},
      {"binary", compressed_entry({0x00, 0x7F, 0x41, 0xFF, 0x20}), "其他 007F41FF", ""},
      {"short", compressed_entry({0x09, 0x41}), "其他 0941", ""},
      {"cut texture", compressed_entry(cut), "贴图容器", "0_0 DXT1 32x32 3 数据越界"},
      {"plain container", plain_entry(dxt), "贴图容器",
       "0_0 DXT5 256x256 9; 0_1 2 4x4 1; 0_2 A8R8G8B8 16x8 1"},
      {"empty plain", plain_entry({}), "其他", ""},
      {"zlib error", StoredEntry{bad_zlib, 5000, false}, "出错：解压出错", ""},
      {"length error", StoredEntry{short_total, 4000, false}, "出错：解压后的数据长度出错", ""},
      {"plain package",
       plain_entry(package({text_bytes("readme"), container({{0x50, 6, 0x43}}, 300)})),
       "文件包（2 个子文件）", "1_0 DXT1 8x16 4"},
      {"plain text", plain_entry(text_bytes("RIFF and more")), "其他 \"RIFF\"", ""},
      // A package's table whose offsets lie past the entry's end.
      {"plain non-package", plain_entry({2, 0, 0, 0, 12, 0, 0, 0, 99, 0, 0, 0, 1}), "其他 02000000",
       ""},
  };
  std::vector<StoredEntry> entries;
  for (const Case& c : cases) entries.push_back(c.entry);
  ScratchDir dir;
  write_file(dir / kArchive, archive_image(entries));
  // The failing entries in the middle of the range as well as at its end.
  entries.push_back(cases[8].entry);
  entries.push_back(cases[0].entry);
  std::rotate(entries.begin(), entries.begin() + 8, entries.begin() + 10);
  ScratchDir failing_first;
  write_file(failing_first / kArchive, archive_image(entries));

  const RunResult r = run_tool(dir.path, {"l", "a", "0", "99", "Y"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.substr(0, kExaminedHeader.size()), kExaminedHeader);
  const std::vector<std::string> kinds = column(r.out, 6), textures = column(r.out, 7);
  ASSERT_EQ(kinds.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(kinds[i], cases[i].kind) << cases[i].what;
    EXPECT_EQ(textures[i], cases[i].textures) << cases[i].what;
  }
  const RunResult mixed = run_tool(failing_first.path, {"l", "a", "0", "99", "y"});
  EXPECT_EQ(mixed.status, 1);
  const std::vector<std::string> mixed_kinds = column(mixed.out, 6);
  ASSERT_EQ(mixed_kinds.size(), entries.size());
  EXPECT_EQ(mixed_kinds[0], "出错：解压出错");
  EXPECT_EQ(mixed_kinds[1], "出错：解压后的数据长度出错");
  EXPECT_EQ(mixed_kinds[2], "贴图容器");
  EXPECT_EQ(mixed_kinds.back(), "贴图容器");
  // Without `y` nothing is decoded, so nothing fails.
  EXPECT_EQ(run_tool(dir.path, {"l", "a", "0", "99"}).status, 0);
}

// A table of 100,000 textures that all share one header: the cell stops
// after about 64K characters.
TEST(Listing, TexturesCellOfAHugeTableIsCut) {
  const uint32_t count = 100000;
  Bytes c(0x20 + 4 * count, 0);
  std::memcpy(c.data(), kTextureMagic, sizeof kTextureMagic);
  store_u32le(&c[12], 0x20);
  store_u32le(&c[16], count);
  for (uint32_t i = 0; i < count; ++i) store_u32le(&c[0x20 + 4 * i], 4 * count);
  c.insert(c.end(), {0x10, 6, 0x00, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8});
  ScratchDir dir;
  write_file(dir / kArchive, archive_image({compressed_entry(c)}));
  const RunResult r = run_tool(dir.path, {"l", "a", "0", "0", "y"});
  EXPECT_EQ(r.status, 0);
  const std::string cell = column(r.out, 7).at(0);
  EXPECT_EQ(cell.substr(0, 36), "0_0 DXT1 1x1 1; 0_1 DXT1 1x1 1; 0_2 ");
  EXPECT_EQ(cell.substr(cell.size() - 8), "; ……");
  EXPECT_LT(cell.size(), 70000u);
}

TEST(Listing, ConsoleFormAlignsColumnsAndSumsUp) {
#ifdef _WIN32
  GTEST_SKIP() << "drives a POSIX pseudo-terminal";
#else
  ScratchDir dir;
  std::vector<StoredEntry> entries(11, plain_entry(text_bytes("abcdef")));
  entries[1] = compressed_entry(container({{0x10, 6, 0x00}}, 8));
  entries[10] = compressed_entry(Bytes(100000, 7));
  const Bytes archive = archive_image(entries);
  write_file(dir / kArchive, archive);
  // The archive's length (24576) has five digits: positions and stored sizes
  // take five columns, the titles of four characters eight.
  ASSERT_EQ(archive.size(), 24576u);
  const std::string stored1 = std::to_string(entries[1].stored.size());
  const std::string stored10 = std::to_string(entries[10].stored.size());
  ASSERT_EQ(stored1.size(), 2u);
  ASSERT_EQ(stored10.size(), 3u);
  RunResult r = run_on_terminal(dir.path, {"l", "a", "0", "10"});
  EXPECT_EQ(r.out,
            "编号   位置  存储大小    内容大小  压缩  已修改\n"
            "   0   2048         6           6     0       0\n"
            "   1   4096        " +
                stored1 +
                "          52     1       0\n"
                "   2   6144         6           6     0       0\n"
                "   3   8192         6           6     0       0\n"
                "   4  10240         6           6     0       0\n"
                "   5  12288         6           6     0       0\n"
                "   6  14336         6           6     0       0\n"
                "   7  16384         6           6     0       0\n"
                "   8  18432         6           6     0       0\n"
                "   9  20480         6           6     0       0\n"
                "  10  22528       " +
                stored10 +
                "      100000     1       0\n"
                "共 11 个条目，存储大小合计 " +
                std::to_string(9 * 6 + entries[1].stored.size() + entries[10].stored.size()) +
                " 字节，其中压缩 2 个，已修改 0 个\n");
  EXPECT_EQ(r.status, 0);
  r = run_on_terminal(dir.path, {"l", "a", "1", "2", "y"});
  EXPECT_EQ(r.out,
            "编号   位置  存储大小    内容大小  压缩  已修改  类型                      贴图\n"
            "   1   4096        " +
                stored1 +
                "          52     1       0  贴图容器                  0_0 DXT1 1x1 1\n"
                "   2   6144         6           6     0       0  其他 \"abcd\"\n"
                "共 2 个条目，存储大小合计 " +
                std::to_string(6 + entries[1].stored.size()) +
                " 字节，其中压缩 1 个，已修改 0 个\n");
#endif
}

}  // namespace
}  // namespace linkdata::test
