// Faults from outside, through the built binary: a full disk, a file-size
// limit, signals at random moments, missing permissions and files where
// folders should be. After each, every entry of the archive must still export
// its old or its new content, never garbage.
#ifndef _WIN32

#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <thread>

#include "platform/little_endian.h"
#include "test_support.h"

namespace linkdata::test {
namespace {

namespace fs = std::filesystem;
const std::string kArchive = "LINKDATA_EU_OS_EUNA.A";

RunResult run_in(const std::string& cwd, const std::vector<std::string>& args,
                 const std::function<void()>& in_child) {
  int fd = -1;
  const int pid = start_tool(cwd, args, {}, in_child, &fd);
  return finish_tool(pid, fd);
}

// CI runs as root, which file permissions do not bind: the child gives up
// its privileges and runs as nobody.
void become_nobody() {
  if (geteuid() != 0) return;
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
}

// A scratch folder that nobody may use, as a user's own folder would be.
struct OpenScratch {
  ScratchDir dir;
  OpenScratch() { chmod(dir.path.c_str(), 0777); }
  std::string operator/(const std::string& name) const { return dir / name; }
};

void put_file(const std::string& path, const Bytes& bytes, mode_t mode) {
  write_file(path, bytes);
  chmod(path.c_str(), mode);
}

void put_dir(const std::string& path, mode_t mode) {
  fs::create_directories(path);
  chmod(path.c_str(), mode);
}

std::string exported(const std::string& n) {
  return "从 LINKDATA_EU_OS_EUNA.A 中导出文件 Extracted/A/" + n + ".data 成功！\n";
}

// ---------------------------------------------------------------------------
// An archive with old contents and a set of new loose files, and the check
// that each entry exports one or the other.

struct Change {
  Bytes old_content;
  Bytes new_content;
  bool compressed = false;
};

struct Workspace {
  ScratchDir dir;
  std::vector<Change> changes;

  explicit Workspace(std::vector<Change> list) : changes(std::move(list)) {
    std::vector<EntrySpec> entries;
    for (const Change& c : changes) {
      entries.push_back(c.compressed ? compressed_entry(c.old_content) : plain_entry(c.old_content));
    }
    write_file(dir / kArchive, build_archive(entries));
    fs::create_directories(dir / "Import/A");
    for (size_t n = 0; n < changes.size(); ++n) {
      write_file(dir / ("Import/A/" + std::to_string(n) + ".data"), changes[n].new_content);
    }
  }

  // Exports every entry with the normal tool; for each entry 0 = old content,
  // 1 = new content, -1 = anything else.
  std::vector<int> states() const {
    fs::remove_all(dir / "Extracted");
    const RunResult r = run_tool(dir.path, {"e", "a", "0", std::to_string(changes.size() - 1)});
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<int> out;
    for (size_t n = 0; n < changes.size(); ++n) {
      const Bytes got = read_file(dir / ("Extracted/A/" + std::to_string(n) + ".data"));
      out.push_back(got == changes[n].new_content ? 1 : got == changes[n].old_content ? 0 : -1);
    }
    return out;
  }
};

// New contents that do not fit their slots: every write is an append.
std::vector<Change> growing_entries(size_t count, size_t size) {
  std::vector<Change> list;
  for (size_t n = 0; n < count; ++n) {
    list.push_back({pattern_bytes(1000 + n, uint32_t(n)), pattern_bytes(size + n, uint32_t(100 + n)),
                    n % 2 == 1});
  }
  return list;
}

bool announced(const std::string& out, size_t n) {
  return out.find(" " + std::to_string(n) + ".data 成功！\n") != std::string::npos;
}

// ---------------------------------------------------------------------------
// A full disk

TEST(Faults, ExportedFileOnAFullDiskEndsTheExport) {
  for (bool compressed : {false, true}) {
    ScratchDir dir;
    const Bytes content = pattern_bytes(5000, 7);
    const EntrySpec entry = compressed ? compressed_entry(content) : plain_entry(content);
    write_file(dir / kArchive, build_archive({entry, entry, entry}));
    fs::create_directories(dir / "Extracted/A");
    fs::create_symlink("/dev/full", dir / "Extracted/A/1.data");
    const RunResult r = run_tool(dir.path, {"e", "a", "0", "2"});
    EXPECT_EQ(r.out, exported("0") + "写入文件失败！\n") << compressed;
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(dir / "Extracted/A/2.data"));
  }
}

// A DDS file that cannot be written is reported; the other textures, the
// entry's own file and the entries after it are still exported.
TEST(Faults, DdsFileOnAFullDiskIsReportedAndExportGoesOn) {
  ScratchDir dir;
  const std::string sample = std::string(LINKDATA_SAMPLE_BINARY) + " " + dir.path + " A";
  ASSERT_EQ(std::system(sample.c_str()), 0);
  fs::create_directories(dir / "Extracted/A/Textures/7");
  fs::create_symlink("/dev/full", dir / "Extracted/A/Textures/7/0_0.dds");
  const RunResult r = run_tool(dir.path, {"e", "a", "7", "8", "y"});
  EXPECT_EQ(r.out, "创建贴图文件失败！\n" + exported("7") + exported("8"));
  EXPECT_TRUE(file_exists(dir / "Extracted/A/Textures/7/0_2.dds"));
  EXPECT_TRUE(file_exists(dir / "Extracted/A/Textures/8/1_0.dds"));
  EXPECT_FALSE(read_file(dir / "Extracted/A/8.data").empty());
}

// Appends under a file-size limit: the first fits, the second cannot. The
// failure is reported, the partial append is cut off again, and every entry
// keeps its old or its new bytes; in-place writes never grow the file.
TEST(Faults, ImportHittingTheFileSizeLimit) {
  std::vector<Change> list = growing_entries(4, 40000);
  list.push_back({pattern_bytes(9000, 50), pattern_bytes(8000, 51), false});  // in place
  std::swap(list[0], list[4]);  // 0.data: in place, then 1.data, 2.data: appends
  Workspace w(list);
  const uint64_t before = fs::file_size(w.dir / kArchive);
  const rlim_t limit = rlim_t(before + 60000);
  const RunResult r = run_in(w.dir.path, {"i", "a"}, [limit] {
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of killing
    const rlimit l{limit, limit};
    setrlimit(RLIMIT_FSIZE, &l);
  });
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("写入 LINKDATA 文件失败！\n"), std::string::npos) << r.out;
  EXPECT_TRUE(announced(r.out, 0) && announced(r.out, 1)) << r.out;
  EXPECT_FALSE(announced(r.out, 2)) << r.out;
  const uint64_t after = fs::file_size(w.dir / kArchive);
  EXPECT_LE(after, uint64_t(limit));
  EXPECT_EQ(after % 2048, 0u);
  EXPECT_EQ(w.states(), (std::vector<int>{1, 1, 0, 0, 0}));
  // The archive is sound: without the limit the rest goes in.
  const RunResult again = run_tool(w.dir.path, {"i", "a"});
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(w.states(), (std::vector<int>{1, 1, 1, 1, 1}));
}

// Hostile records whose slot is the header and index (offset 0, or an offset
// whose byte position wraps to 0) or lies past the end of the file: writing
// there in place would overwrite the index or grow the file outside an
// append. The entry is appended instead and the rest stays intact.
TEST(Faults, SlotsOnTheIndexOrPastTheEndAreNotWrittenInPlace) {
  for (uint64_t offset : {uint64_t(0), uint64_t(1) << 53, uint64_t(1000)}) {
    for (bool compressed : {false, true}) {
      Workspace w({{pattern_bytes(3000, 1), pattern_bytes(1500, 2), compressed},
                   {pattern_bytes(500, 3), pattern_bytes(400, 4), false}});
      Bytes archive = read_file(w.dir / kArchive);
      store_u64le(archive.data() + 16, offset);
      write_file(w.dir / kArchive, archive);
      fs::remove(w.dir / "Import/A/1.data");
      const RunResult r = run_tool(w.dir.path, {"i", "a"});
      EXPECT_EQ(r.out, "向 LINKDATA_EU_OS_EUNA.A 中添加未压缩文件 0.data 成功！\n") << offset;
      EXPECT_EQ(r.status, 0);
      const Bytes after = read_file(w.dir / kArchive);
      EXPECT_EQ(Bytes(after.begin(), after.begin() + 16), Bytes(archive.begin(), archive.begin() + 16));
      EXPECT_EQ(after.size(), archive.size() + 2048);
      EXPECT_EQ(w.states(), (std::vector<int>{1, 0})) << offset << " " << compressed;
    }
  }
}

// A record that points past the end of the file, right where this run's
// first append lands: its entry must not be written in place over the bytes
// just appended for another entry.
TEST(Faults, SlotWhereThisRunAppendsIsNotWrittenInPlace) {
  Workspace w({{pattern_bytes(1000, 1), pattern_bytes(5000, 2), false},
               {pattern_bytes(500, 3), pattern_bytes(400, 4), false}});
  Bytes archive = read_file(w.dir / kArchive);
  const uint64_t append_at = (archive.size() + 2047) / 2048 * 2048;
  store_u64le(archive.data() + 32, append_at / 2048);
  store_u32le(archive.data() + 32 + 8, 6000);
  write_file(w.dir / kArchive, archive);
  const RunResult r = run_tool(w.dir.path, {"i", "a"});
  EXPECT_EQ(r.out, "向 LINKDATA_EU_OS_EUNA.A 中添加未压缩文件 0.data 成功！\n"
                   "向 LINKDATA_EU_OS_EUNA.A 中添加未压缩文件 1.data 成功！\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(w.states(), (std::vector<int>{1, 1}));
}

// ---------------------------------------------------------------------------
// Signals at random moments of a large run

std::vector<Change> large_run() {
  std::vector<Change> list;
  for (size_t n = 0; n < 24; ++n) {
    if (n % 3 == 0) {  // compressed, fits its slot: rewritten in place
      list.push_back({pattern_bytes(300000, uint32_t(n)), pattern_bytes(250000, uint32_t(n + 50)), true});
    } else {  // grows past its slot: appended
      list.push_back({pattern_bytes(3000, uint32_t(n)), pattern_bytes(200000 + n, uint32_t(n + 50)),
                      n % 3 == 1});
    }
  }
  return list;
}

double run_seconds(const Workspace& w) {
  ScratchDir copy;
  fs::copy(w.dir.path, copy.path, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  const auto start = std::chrono::steady_clock::now();
  const RunResult r = run_tool(copy.path, {"i", "a"});
  EXPECT_EQ(r.status, 0) << r.out;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Ctrl+C, termination and hang-up: the entry in hand is finished, then the run
// ends with its message and status 1. Each entry is then old or new, and new
// exactly when its success line was printed. A signal that comes before the
// tool defers it ends the process before any write; one that comes after the
// run has put the handlers back ends it with every entry done.
TEST(Faults, InterruptedImportLeavesNoEntryHalfWritten) {
  const std::vector<Change> list = large_run();
  const double full = run_seconds(Workspace(list));
  std::mt19937 random(20240607);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  int interrupted = 0;
  for (int round = 0; round < 9; ++round) {
    Workspace w(list);
    int fd = -1;
    const int pid = start_tool(w.dir.path, {"i", "a"}, {}, nullptr, &fd);
    std::this_thread::sleep_for(std::chrono::duration<double>(
        std::uniform_real_distribution<double>(0.0, full * 1.1)(random)));
    kill(pid, signals[round % 3]);
    const RunResult r = finish_tool(pid, fd);
    const std::vector<int> states = w.states();
    for (size_t n = 0; n < list.size(); ++n) {
      EXPECT_EQ(states[n], announced(r.out, n) ? 1 : 0) << "round " << round << " entry " << n;
    }
    if (r.status == 128 + signals[round % 3]) {
      const bool before_any_write = r.out.empty() && states == std::vector<int>(list.size(), 0);
      const bool after_the_last = states == std::vector<int>(list.size(), 1);
      EXPECT_TRUE(before_any_write || after_the_last) << round << r.out;
    } else if (r.status == 1) {
      ++interrupted;
      const std::string tail = "导入被中断！\n";
      ASSERT_GE(r.out.size(), tail.size());
      EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << round;
    } else {
      EXPECT_EQ(r.status, 0) << round << r.out;
      EXPECT_EQ(states, std::vector<int>(list.size(), 1)) << round;
    }
  }
  std::cout << interrupted << " of 9 runs stopped in the middle\n";
}

// Imports the list 8 times, killed at a random moment of each run. After
// each kill every entry exports old or new, new where its line was shown, and
// a second import finishes the job. Returns how many kills left a journal.
int kill_import_at_random_moments(const std::vector<Change>& list, uint32_t seed) {
  const double full = run_seconds(Workspace(list));
  std::mt19937 random(seed);
  int journals = 0;
  for (int round = 0; round < 8; ++round) {
    Workspace w(list);
    int fd = -1;
    const int pid = start_tool(w.dir.path, {"i", "a"}, {}, nullptr, &fd);
    std::this_thread::sleep_for(std::chrono::duration<double>(
        std::uniform_real_distribution<double>(0.0, full)(random)));
    kill(pid, SIGKILL);
    const RunResult r = finish_tool(pid, fd);
    journals += fs::exists(w.dir / (kArchive + "-journal"));
    const std::vector<int> states = w.states();
    for (size_t n = 0; n < list.size(); ++n) {
      EXPECT_NE(states[n], -1) << "round " << round << " entry " << n;
      if (announced(r.out, n)) {
        EXPECT_EQ(states[n], 1) << "round " << round << " entry " << n;
      }
    }
    EXPECT_FALSE(fs::exists(w.dir / (kArchive + "-journal"))) << round;
    const RunResult again = run_tool(w.dir.path, {"i", "a"});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(w.states(), std::vector<int>(list.size(), 1)) << round;
  }
  return journals;
}

// SIGKILL cannot be deferred. Appends write the data, force it to disk, and
// only then the record, so a kill at any moment leaves every appended entry
// old or new, and the archive fit for the next run.
TEST(Faults, KilledImportLeavesAppendedEntriesOldOrNew) {
  kill_import_at_random_moments(growing_entries(16, 300000), 8675309);
}

// In-place entries of 1 to 8 MiB, killed at random moments: a commit cut
// short leaves its journal, and the next run puts the old bytes back.
TEST(Faults, KilledInPlaceImportLeavesEntriesOldOrNew) {
  std::vector<Change> list;
  for (uint32_t n = 0; n < 10; ++n) {
    const size_t size = (size_t(n % 8) + 1) << 20;
    const bool compressed = n == 2 || n == 7;
    Bytes fresh = pattern_bytes(compressed ? size / 4 : size, n + 100);
    std::fill(fresh.begin(), fresh.begin() + long(fresh.size() / 4), 0);  // fits the old slot
    list.push_back({pattern_bytes(fresh.size(), n), fresh, compressed});
  }
  const int journals = kill_import_at_random_moments(list, 4242);
  std::cout << journals << " of 8 killed runs left a journal behind\n";
}

// ---------------------------------------------------------------------------
// Permissions and files in the way

TEST(Faults, ReadOnlyArchiveIsNotOpenedForWriting) {
  OpenScratch s;
  const Bytes archive = build_archive({plain_entry(text_bytes("old"))});
  put_file(s / kArchive, archive, 0444);
  put_dir(s / "Import/A", 0777);
  put_file(s / "Import/A/0.data", text_bytes("new"), 0644);
  const RunResult r = run_in(s.dir.path, {"i", "a"}, become_nobody);
  EXPECT_EQ(r.out, "打开 LINKDATA 文件失败！\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(s / kArchive), archive);
}

TEST(Faults, ExportFolderWithoutWritePermission) {
  OpenScratch s;
  put_file(s / kArchive, build_archive({plain_entry(text_bytes("x"))}), 0644);
  put_dir(s / "Extracted/A", 0555);
  chmod((s / "Extracted").c_str(), 0777);
  put_dir(s / "Import/A", 0777);
  const RunResult r = run_in(s.dir.path, {"e", "a", "0", "0"}, become_nobody);
  EXPECT_EQ(r.out, "创建文件失败！\n");
  EXPECT_EQ(r.status, 1);
}

TEST(Faults, CurrentFolderWithoutWritePermission) {
  OpenScratch s;
  put_file(s / kArchive, build_archive({plain_entry(text_bytes("x"))}), 0644);
  chmod(s.dir.path.c_str(), 0555);
  const RunResult r = run_in(s.dir.path, {"e", "a", "0", "0"}, become_nobody);
  EXPECT_EQ(r.out, "创建文件失败！\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(file_exists(s / "Extracted"));
}

TEST(Faults, ImportFolderOrLooseFileWithoutReadPermission) {
  const Bytes archive = build_archive({plain_entry(text_bytes("old0")), plain_entry(text_bytes("old1"))});
  {
    OpenScratch s;
    put_file(s / kArchive, archive, 0666);
    put_dir(s / "Import/A", 0777);
    put_file(s / "Import/A/0.data", text_bytes("new0"), 0644);
    chmod((s / "Import/A").c_str(), 0333);  // names cannot be listed
    const RunResult r = run_in(s.dir.path, {"i", "a"}, become_nobody);
    EXPECT_EQ(r.out, "未找到可以导入的文件！\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(s / kArchive), archive);
  }
  {
    OpenScratch s;
    put_file(s / kArchive, archive, 0666);
    put_dir(s / "Import/A", 0777);
    put_file(s / "Import/A/0.data", text_bytes("new0"), 0644);
    put_file(s / "Import/A/1.data", text_bytes("new1"), 0200);
    const RunResult r = run_in(s.dir.path, {"i", "a"}, become_nobody);
    EXPECT_EQ(r.out, "向 LINKDATA_EU_OS_EUNA.A 中导入未压缩文件 0.data 成功！\n"
                     "1.data 文件打开失败！\n");
    EXPECT_EQ(r.status, 1);
    const Bytes after = read_file(s / kArchive);
    EXPECT_EQ(record_of(after, 1).stored_size, 4u);
    EXPECT_EQ(Bytes(after.begin() + 4096, after.begin() + 4100), text_bytes("old1"));
  }
}

TEST(Faults, FilesWhereFoldersShouldBe) {
  {  // the import folder is a file
    ScratchDir dir;
    const Bytes archive = build_archive({plain_entry(text_bytes("old"))});
    write_file(dir / kArchive, archive);
    fs::create_directories(dir / "Import");
    write_file(dir / "Import/A", text_bytes("in the way"));
    const RunResult r = run_tool(dir.path, {"i", "a"});
    EXPECT_EQ(r.out, "未找到可以导入的文件！\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(dir / kArchive), archive);
  }
  {  // an exported file's name is taken by a folder
    ScratchDir dir;
    write_file(dir / kArchive, build_archive({plain_entry(text_bytes("a")), plain_entry(text_bytes("b"))}));
    fs::create_directories(dir / "Extracted/A/1.data");
    const RunResult r = run_tool(dir.path, {"e", "a", "0", "1"});
    EXPECT_EQ(r.out, exported("0") + "创建文件失败！\n");
    EXPECT_EQ(r.status, 1);
  }
  {  // the texture folder is a file: every texture fails, the entries do not
    ScratchDir dir;
    const std::string sample = std::string(LINKDATA_SAMPLE_BINARY) + " " + dir.path + " A";
    ASSERT_EQ(std::system(sample.c_str()), 0);
    fs::create_directories(dir / "Extracted/A");
    write_file(dir / "Extracted/A/Textures", text_bytes("in the way"));
    const RunResult r = run_tool(dir.path, {"e", "a", "8", "8", "y"});
    EXPECT_EQ(r.out, "创建贴图文件失败！\n" + exported("8"));
    EXPECT_EQ(read_file(dir / "Extracted/A/Textures"), text_bytes("in the way"));
  }
}

}  // namespace
}  // namespace linkdata::test

#endif  // _WIN32
