// The platform layer on its own, on whichever system the tests run: 64-bit
// positions, the existence test, directory listing and creation, console text,
// and names outside ASCII from the command line to the disk.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/text_encoding.h"
#include "platform/working_paths.h"
#include "test_support.h"

namespace linkdata::test {
namespace {

using platform::File;
using platform::ListedName;

// A name inside a scratch folder, joined the way the tool joins paths.
std::wstring inside(const ScratchDir& dir, const std::wstring& name) {
  return join_path(from_utf8(dir.path), name);
}

TEST(PlatformFile, PositionsAndSizesPastFourGiB) {
  ScratchDir dir;
  const std::wstring path = inside(dir, L"big");
  const uint64_t far = (uint64_t(1) << 32) + 10;  // 10 again in the low 32 bits
  const Bytes marker = text_bytes("marker");
  {
    File f = File::create_always(path);
    ASSERT_TRUE(f.is_open());
    ASSERT_TRUE(f.extend_to(far + 100));
    ASSERT_TRUE(f.write_at(far, marker.data(), marker.size()));
  }
  File f = File::open_read(path);
  ASSERT_TRUE(f.is_open());
  uint64_t size = 0;
  ASSERT_TRUE(f.size(&size));
  EXPECT_EQ(size, far + 100);
  Bytes got(10, 0xFF);
  size_t n = 0;
  ASSERT_TRUE(f.read_at(far - 2, got.data(), got.size(), &n));
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(got, (Bytes{0, 0, 'm', 'a', 'r', 'k', 'e', 'r', 0, 0}));
  // A position cut to 32 bits would have put the marker here.
  ASSERT_TRUE(f.read_at(10, got.data(), got.size(), &n));
  EXPECT_EQ(got, Bytes(10, 0));
  // Reads across or at the end are short, not failures.
  ASSERT_TRUE(f.read_at(far + 95, got.data(), got.size(), &n));
  EXPECT_EQ(n, 5u);
  ASSERT_TRUE(f.read_at(far + 100, got.data(), got.size(), &n));
  EXPECT_EQ(n, 0u);
}

TEST(PlatformFile, OpenModes) {
  ScratchDir dir;
  const std::wstring path = inside(dir, L"f");
  EXPECT_FALSE(File::open_read(path).is_open());
  EXPECT_FALSE(File::open_read_write_existing(path).is_open());  // never creates
  EXPECT_FALSE(file_exists(dir / "f"));
  write_file(dir / "f", text_bytes("0123456789"));
  {
    File f = File::open_read_write_existing(path);  // keeps what is there
    ASSERT_TRUE(f.is_open());
    ASSERT_TRUE(f.write_at(2, "ab", 2));
  }
  EXPECT_EQ(read_file(dir / "f"), text_bytes("01ab456789"));
  {
    File f = File::create_always(path);  // truncates
    ASSERT_TRUE(f.is_open());
    ASSERT_TRUE(f.write_at(0, "xy", 2));
  }
  EXPECT_EQ(read_file(dir / "f"), text_bytes("xy"));
}

#ifndef _WIN32
// Only a regular file opens, and none waits on a FIFO: a link opens only
// for open_input, which follows it to a regular file. A file made afresh, or
// renamed into place, replaces a link at its name instead of following it.
TEST(PlatformFile, OnlyRegularFilesOpenAndLinksAreReplaced) {
  using platform::NameKind;
  ScratchDir dir;
  write_file(dir / "file", text_bytes("file"));
  write_file(dir / "target", text_bytes("target"));
  ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink("fifo", (dir / "link to fifo").c_str()), 0);
  ASSERT_TRUE(make_dir(dir / "folder"));
  struct Case {
    const wchar_t* name;
    NameKind kind, leads_to;
    bool opens;  // for open_read, open_read_write_existing and open_to_replace
    bool input;  // for open_input
  };
  const Case cases[] = {
      {L"file", NameKind::file, NameKind::file, true, true},
      {L"link", NameKind::link, NameKind::file, false, true},
      {L"fifo", NameKind::other, NameKind::other, false, false},
      {L"link to fifo", NameKind::link, NameKind::other, false, false},
      {L"folder", NameKind::folder, NameKind::folder, false, false},
      {L"missing", NameKind::none, NameKind::none, false, false},
  };
  // An open that waits ends the test here instead of hanging it; the opens
  // themselves take microseconds, so no load comes near the bound.
  alarm(300);
  for (const Case& c : cases) {
    const std::wstring path = inside(dir, c.name);
    const std::string name = to_utf8(c.name);
    EXPECT_EQ(platform::name_kind(path), c.kind) << name;
    EXPECT_EQ(platform::target_kind(path), c.leads_to) << name;
    EXPECT_EQ(File::open_read(path).is_open(), c.opens) << name;
    EXPECT_EQ(File::open_read_write_existing(path).is_open(), c.opens) << name;
    EXPECT_EQ(File::open_input(path).is_open(), c.input) << name;
    if (c.kind != NameKind::none) {  // where nothing is, it creates the file
      EXPECT_EQ(File::open_to_replace(path).is_open(), c.opens) << name;
    }
  }
  alarm(0);
  {
    File made = File::create_fresh(inside(dir, L"link"));
    ASSERT_TRUE(made.is_open());
    ASSERT_TRUE(made.write_at(0, "new", 3));
  }
  EXPECT_EQ(platform::name_kind(inside(dir, L"link")), NameKind::file);
  EXPECT_EQ(read_file(dir / "link"), text_bytes("new"));
  EXPECT_EQ(read_file(dir / "target"), text_bytes("target"));
  ASSERT_EQ(symlink("target", (dir / "link 2").c_str()), 0);
  ASSERT_TRUE(platform::replace_file(inside(dir, L"file"), inside(dir, L"link 2")));
  EXPECT_EQ(platform::name_kind(inside(dir, L"link 2")), NameKind::file);
  EXPECT_EQ(read_file(dir / "link 2"), text_bytes("file"));
  EXPECT_EQ(read_file(dir / "target"), text_bytes("target"));
  EXPECT_FALSE(File::create_fresh(inside(dir, L"folder")).is_open());
}
#endif

TEST(PlatformNames, ExistenceTest) {
  ScratchDir dir;
  write_file(dir / "abc.data", {});
  ASSERT_TRUE(make_dir(dir / "sub"));
  EXPECT_TRUE(platform::name_exists(inside(dir, L"abc.data")));
  EXPECT_TRUE(platform::name_exists(inside(dir, L"sub")));
  EXPECT_FALSE(platform::name_exists(inside(dir, L"abd.data")));
  EXPECT_FALSE(platform::name_exists(join_path(inside(dir, L"missing"), L"abc.data")));
  // Wildcards in the last component: a search pattern on Windows only.
  EXPECT_EQ(platform::name_exists(inside(dir, L"ab?.data")), kLastComponentIsAPattern);
  EXPECT_EQ(platform::name_exists(inside(dir, L"*.DATA")), kLastComponentIsAPattern);
  EXPECT_EQ(platform::name_exists(inside(dir, L"s*")), kLastComponentIsAPattern);
  EXPECT_FALSE(platform::name_exists(inside(dir, L"x*")));
}

TEST(PlatformNames, ListingGivesBareNamesAndDirectoryMarks) {
  ScratchDir dir;
  write_file(dir / "1.data", {});
  write_file(dir / "中文.DATA", {});
  ASSERT_TRUE(make_dir(dir / "7.data"));
  std::vector<ListedName> listed;
  ASSERT_TRUE(platform::list_directory(from_utf8(dir.path), &listed));
  std::sort(listed.begin(), listed.end(),
            [](const ListedName& a, const ListedName& b) { return a.name < b.name; });
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].name, L"1.data");
  EXPECT_FALSE(listed[0].is_directory);
  EXPECT_EQ(listed[1].name, L"7.data");
  EXPECT_TRUE(listed[1].is_directory);
  EXPECT_EQ(listed[2].name, L"中文.DATA");
  EXPECT_FALSE(listed[2].is_directory);
  EXPECT_FALSE(platform::list_directory(inside(dir, L"missing"), &listed));
}

TEST(PlatformNames, MakeDirectoryMakesOneLevel) {
  ScratchDir dir;
  platform::make_directory(inside(dir, L"新"));
  EXPECT_TRUE(platform::name_exists(inside(dir, L"新")));
  platform::make_directory(inside(dir, L"新"));  // already there: no harm
  platform::make_directory(join_path(inside(dir, L"a"), L"b"));
  EXPECT_FALSE(file_exists(dir / "a"));
  EXPECT_FALSE(file_exists(dir / "a/b"));
}

// Redirected output (a file here) carries UTF-8, characters beyond the basic
// plane included, whatever the platform's wide strings hold.
TEST(PlatformConsole, RedirectedTextIsUtf8) {
  const std::string out = capture_stdout([] { platform::console_write(L"导出 \U0001F600 ok\n"); });
  EXPECT_EQ(out, "导出 \xF0\x9F\x98\x80 ok\n");
}

// A letter outside ASCII travels from the command line into the archive name,
// the working folders, the messages and back through import.
TEST(PlatformNames, WideNamesFromCommandLineToDisk) {
  ScratchDir dir;
  const Bytes content = pattern_bytes(3000, 4);
  write_file(dir / "LINKDATA_EU_OS_EUNA.中", archive_image({plain_entry(content)}));
  RunResult r = run_tool(dir.path, {"e", "中", "0", "0"});
  EXPECT_EQ(r.out,
            "从 LINKDATA_EU_OS_EUNA.中 中导出文件 " + shown("Extracted/中/0.data") + " 成功！\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(dir / "Extracted/中/0.data"), content);
  ASSERT_TRUE(file_exists(dir / "Import/中"));

  write_file(dir / "Import/中/0.data", text_bytes("edited"));
  r = run_tool(dir.path, {"i", "中"});
  EXPECT_EQ(r.out, "向 LINKDATA_EU_OS_EUNA.中 中导入未压缩文件 0.data 成功！\n");
  EXPECT_EQ(r.status, 0);
  const Bytes after = read_file(dir / "LINKDATA_EU_OS_EUNA.中");
  const Record rec = record_of(after, 0);
  EXPECT_EQ(rec.stored_size, 6u);
  EXPECT_EQ(Bytes(after.begin() + long(rec.payload_offset * 2048),
                  after.begin() + long(rec.payload_offset * 2048 + 6)),
            text_bytes("edited"));
}

// A noted interrupt is seen while deferred, and forgotten once the handling
// before is back: the next operation in the same process starts afresh.
TEST(PlatformInterrupts, DeferredThenRestored) {
  platform::defer_interrupts();
  EXPECT_FALSE(platform::interrupt_requested());
#ifndef _WIN32
  raise(SIGINT);  // noted, not the end of the test process
  EXPECT_TRUE(platform::interrupt_requested());
#endif
  platform::restore_interrupts();
  EXPECT_FALSE(platform::interrupt_requested());
#ifndef _WIN32
  struct sigaction now {};
  sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
#endif
}

}  // namespace
}  // namespace linkdata::test
