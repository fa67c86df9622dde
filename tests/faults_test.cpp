// Faults from outside, through the built binary: a full disk, a file-size
// limit, signals at random moments, missing permissions and files where
// folders should be. After each, every entry of the archive must still export
// its old or its new content, never garbage.
#ifndef _WIN32

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <stdexcept>
#include <thread>

#include "platform/little_endian.h"
#include "test_support.h"

namespace linkdata::test {
namespace {

namespace fs = std::filesystem;

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

// A copy of the tool that nobody can run: the build folder may lie where
// only its owner can go (root's home, a mktemp -d folder).
struct ReachableTool {
  std::string dir;
  std::string path;
  ReachableTool() {
    std::string pattern = (fs::temp_directory_path() / "linkdata-tool-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    chmod(dir.c_str(), 0755);
    path = dir + "/linkdata";
    fs::copy_file(LINKDATA_BINARY, path);
    chmod(path.c_str(), 0755);
  }
  ~ReachableTool() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  ReachableTool(const ReachableTool&) = delete;
  ReachableTool& operator=(const ReachableTool&) = delete;
};

RunResult run_as_nobody(const std::string& cwd, const std::vector<std::string>& args) {
  const ReachableTool tool;
  int fd = -1;
  const int pid = start_tool(cwd, args, {}, become_nobody, &fd, tool.path);
  return finish_tool(pid, fd);
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
    std::vector<StoredEntry> entries;
    for (const Change& c : changes) {
      entries.push_back(c.compressed ? compressed_entry(c.old_content)
                                     : plain_entry(c.old_content));
    }
    write_file(dir / kArchive, archive_image(entries));
    fs::create_directories(dir / "Import/A");
    for (size_t n = 0; n < changes.size(); ++n) {
      write_file(dir / ("Import/A/" + std::to_string(n) + ".data"), changes[n].new_content);
    }
  }

  // Exports every entry with the normal tool; for each entry 0 = old content,
  // 1 = new content, -1 = anything else. `said` takes what export printed.
  std::vector<int> states(std::string* said = nullptr) const {
    fs::remove_all(dir / "Extracted");
    const RunResult r = run_tool(dir.path, {"e", "a", "0", std::to_string(changes.size() - 1)});
    EXPECT_EQ(r.status, 0) << r.out;
    if (said) *said = r.out;
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
    list.push_back({pattern_bytes(1000 + n, uint32_t(n)),
                    pattern_bytes(size + n, uint32_t(100 + n)), n % 2 == 1});
  }
  return list;
}

bool announced(const std::string& out, size_t n) {
  return out.find(" " + std::to_string(n) + ".data 成功！\n") != std::string::npos;
}

// ---------------------------------------------------------------------------
// A full disk

// A write that fails part way, as on a full disk (here a file-size limit
// that entry 1 outgrows), ends the export there: the file in flight keeps
// its old bytes, no temporary file stays, and nothing after it is written.
TEST(Faults, ExportedFileOnAFullDiskEndsTheExport) {
  for (bool compressed : {false, true}) {
    ScratchDir dir;
    const auto entry = [compressed](const Bytes& content) {
      return compressed ? compressed_entry(content) : plain_entry(content);
    };
    const Bytes small = pattern_bytes(5000, 7);
    write_file(dir / kArchive,
               archive_image({entry(small), entry(pattern_bytes(60000, 8)), entry(small)}));
    fs::create_directories(dir / "Extracted/A");
    write_file(dir / "Extracted/A/1.data", text_bytes("old"));
    const RunResult r = run_in(dir.path, {"e", "a", "0", "2"}, [] {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit l{30000, 30000};
      setrlimit(RLIMIT_FSIZE, &l);
    });
    EXPECT_EQ(r.out, exported("0") + "写入文件失败！\n") << compressed;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(dir / "Extracted/A/1.data"), text_bytes("old")) << compressed;
    EXPECT_FALSE(file_exists(dir / "Extracted/A/1.data.tmp")) << compressed;
    EXPECT_FALSE(file_exists(dir / "Extracted/A/2.data"));
  }
}

// A DDS file that cannot be written is reported; the other textures, the
// entry's own file and the entries after it are still exported.
std::string texture_failed(const std::string& name) {
  return "Extracted/A/Textures/" + name + " 创建贴图文件失败！\n";
}

// A DDS file that cannot be created or written is named, leaves nothing
// under its name, and makes the run's status 1; the other textures and
// entries are exported as ever.
TEST(Faults, DdsFileThatCannotBeWritten) {
  OpenScratch s;
  const std::string sample = std::string(LINKDATA_SAMPLE_BINARY) + " " + s.dir.path + " A";
  ASSERT_EQ(std::system(sample.c_str()), 0);
  chmod((s / kArchive).c_str(), 0644);
  for (const char* d : {"Extracted", "Extracted/A", "Extracted/A/Textures", "Import", "Import/A"}) {
    put_dir(s / d, 0777);
  }
  const fs::path textures = fs::path(s / "Extracted/A/Textures/7");
  {  // a folder where the texture should be
    fs::create_directories(textures / "0_0.dds");
    const RunResult r = run_tool(s.dir.path, {"e", "a", "7", "8", "y"});
    EXPECT_EQ(r.out, texture_failed("7/0_0.dds") + exported("7") + exported("8"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(fs::is_empty(textures / "0_0.dds"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(textures / "0_0.dds.tmp")));
    EXPECT_TRUE(file_exists(textures / "0_2.dds"));
    EXPECT_TRUE(file_exists(s / "Extracted/A/Textures/8/1_0.dds"));
    EXPECT_FALSE(read_file(s / "Extracted/A/8.data").empty());
  }
  {  // a file-size limit that cuts one texture (22000 bytes) short
    fs::remove_all(textures);
    fs::remove(s / "Extracted/A/7.data");  // the same bytes would be left as they are
    const RunResult r = run_in(s.dir.path, {"e", "a", "7", "7", "y"}, [] {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit l{20000, 20000};
      setrlimit(RLIMIT_FSIZE, &l);
    });
    EXPECT_EQ(r.out, texture_failed("7/0_2.dds") + "写入文件失败！\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(textures / "0_2.dds"));
    EXPECT_FALSE(file_exists(textures / "0_2.dds.tmp"));
    EXPECT_TRUE(file_exists(textures / "0_3.dds"));
  }
  {  // a texture folder the user may not write to
    for (const char* f : {"Extracted/A/7.data", "Extracted/A/8.data", "Extracted/A/Textures/8"}) {
      fs::remove_all(s / f);  // the root runs' files, which nobody may rewrite
    }
    fs::remove_all(textures);
    put_dir(textures, 0555);
    const RunResult r = run_as_nobody(s.dir.path, {"e", "a", "7", "8", "y"});
    EXPECT_EQ(r.out, texture_failed("7/0_0.dds") + texture_failed("7/0_2.dds") +
                         texture_failed("7/0_3.dds") + texture_failed("7/0_4.dds") + exported("7") +
                         exported("8"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(fs::is_empty(textures));
  }
}

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
      EXPECT_EQ(Bytes(after.begin(), after.begin() + 16),
                Bytes(archive.begin(), archive.begin() + 16));
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
  EXPECT_EQ(r.out,
            "向 LINKDATA_EU_OS_EUNA.A 中添加未压缩文件 0.data 成功！\n"
            "向 LINKDATA_EU_OS_EUNA.A 中添加未压缩文件 1.data 成功！\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(w.states(), (std::vector<int>{1, 1}));
}

// ---------------------------------------------------------------------------
// Signals in the middle of a large run
//
// The tool's standard output is a pipe of one page, filled but for `room`
// bytes before the tool starts, and the test reads none of it until it has
// sent its signal: the tool goes on until its lines fill the room and then
// waits. The signal is sent once a success line is out, so the tool is past
// its start; and `room` holds fewer lines than the run prints, so the tool
// cannot have reached its end. However loaded the machine is, the signal
// lands in the middle of the run.

struct HeldRun {
  int pid = -1;
  int fd = -1;
  size_t filler = 0;  // bytes in the pipe ahead of the tool's own
};

// In the child, before the tool starts.
void leave_room(size_t room) {
  static const char zeros[4096] = {};
  const int size = fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096);  // the page size at least
  if (size < 0 || size_t(size) <= room) _exit(125);
  for (size_t left = size_t(size) - room; left > 0;) {
    const ssize_t w = write(STDOUT_FILENO, zeros, std::min(left, sizeof zeros));
    if (w <= 0) _exit(125);
    left -= size_t(w);
  }
}

size_t bytes_in_pipe(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 ? size_t(n) : 0;
}

// Whether the process has ended, leaving it to be waited for.
bool has_ended(int pid) {
  siginfo_t info{};
  return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

void wait_until(const std::function<bool()>& done) {
  while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Starts the tool and returns once its first line is out (or it has ended,
// which the caller's checks then report).
HeldRun start_held(const std::string& cwd, const std::vector<std::string>& args, size_t room) {
  HeldRun run;
  run.pid = start_tool(
      cwd, args, {}, [room] { leave_room(room); }, &run.fd);
  wait_until([&] { return bytes_in_pipe(run.fd) > 0 || has_ended(run.pid); });
  const int size = fcntl(run.fd, F_GETPIPE_SZ);
  run.filler = size > int(room) ? size_t(size) - room : 0;
  wait_until([&] { return bytes_in_pipe(run.fd) > run.filler || has_ended(run.pid); });
  return run;
}

RunResult finish_held(const HeldRun& run) {
  RunResult r = finish_tool(run.pid, run.fd);
  r.out.erase(0, std::min(run.filler, r.out.size()));
  return r;
}

// Room for at least one line (the longest are 75 bytes) and for fewer than
// all `lines` (the shortest are 65).
size_t random_room(std::mt19937& random, size_t lines) {
  return std::uniform_int_distribution<size_t>(100, 60 * (lines - 1))(random);
}

// The signal goes before or after the tool has filled its room, so that it
// finds the tool at different steps; no check rests on which.
void pause_briefly(std::mt19937& random) {
  std::this_thread::sleep_for(
      std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 20)(random)));
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<Change> large_run() {
  std::vector<Change> list;
  for (size_t n = 0; n < 24; ++n) {
    if (n % 3 == 0) {  // compressed, fits its slot: rewritten in place
      list.push_back(
          {pattern_bytes(300000, uint32_t(n)), pattern_bytes(250000, uint32_t(n + 50)), true});
    } else {  // grows past its slot: appended
      list.push_back({pattern_bytes(3000, uint32_t(n)), pattern_bytes(200000 + n, uint32_t(n + 50)),
                      n % 3 == 1});
    }
  }
  return list;
}

// Ctrl+C, termination and hang-up: the entry in hand is finished, then the run
// ends with its message and status 1. Each entry is then old or new, and new
// exactly when its success line was printed.
TEST(Faults, InterruptedImportLeavesNoEntryHalfWritten) {
  const std::vector<Change> list = large_run();
  std::mt19937 random(20240607);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  size_t fewest = list.size(), most = 0;
  for (int round = 0; round < 9; ++round) {
    Workspace w(list);
    const HeldRun run = start_held(w.dir.path, {"i", "a"}, random_room(random, list.size()));
    pause_briefly(random);
    kill(run.pid, signals[round % 3]);
    const RunResult r = finish_held(run);
    EXPECT_EQ(r.status, 1) << round << r.out;
    EXPECT_TRUE(ends_with(r.out, "导入被中断！\n")) << round << r.out;
    const std::vector<int> states = w.states();
    size_t shown = 0;
    for (size_t n = 0; n < list.size(); ++n) {
      shown += announced(r.out, n);
      EXPECT_EQ(states[n], announced(r.out, n) ? 1 : 0) << "round " << round << " entry " << n;
    }
    EXPECT_GT(shown, 0u) << round;
    fewest = std::min(fewest, shown);
    most = std::max(most, shown);
  }
  std::cout << "9 interrupted runs stopped after " << fewest << " to " << most << " of "
            << list.size() << " entries\n";
}

// Imports the list 8 times, killed in the middle of each run. After each kill
// every entry exports old or new, new where its line was shown, and a second
// import finishes the job. Prints how far the runs got; returns how many
// kills left the run's journal behind.
int kill_imports_in_the_middle(const std::vector<Change>& list, uint32_t seed) {
  std::mt19937 random(seed);
  size_t fewest = list.size(), most = 0;
  int journals = 0, rolled_back = 0;
  for (int round = 0; round < 8; ++round) {
    Workspace w(list);
    const HeldRun run = start_held(w.dir.path, {"i", "a"}, random_room(random, list.size()));
    pause_briefly(random);
    kill(run.pid, SIGKILL);
    const RunResult r = finish_held(run);
    EXPECT_EQ(r.status, 128 + SIGKILL) << round << r.out;
    journals += fs::exists(w.dir / (kArchive + "-journal"));
    std::string recovery;
    const std::vector<int> states = w.states(&recovery);
    rolled_back += recovery.find("恢复到导入前的状态") != std::string::npos;
    size_t shown = 0;
    for (size_t n = 0; n < list.size(); ++n) {
      EXPECT_NE(states[n], -1) << "round " << round << " entry " << n;
      if (announced(r.out, n)) {
        ++shown;
        EXPECT_EQ(states[n], 1) << "round " << round << " entry " << n;
      }
    }
    EXPECT_GT(shown, 0u) << round;
    EXPECT_LT(shown, list.size()) << round;
    fewest = std::min(fewest, shown);
    most = std::max(most, shown);
    EXPECT_FALSE(fs::exists(w.dir / (kArchive + "-journal"))) << round;
    const RunResult again = run_tool(w.dir.path, {"i", "a"});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(w.states(), std::vector<int>(list.size(), 1)) << round;
  }
  std::cout << "8 kills after " << fewest << " to " << most << " of " << list.size()
            << " success lines; " << journals << " left a journal, " << rolled_back
            << " of them a commit to roll back\n";
  return journals;
}

// SIGKILL cannot be deferred. Appends write the data and force it to disk
// before their records go in through the journal, so a kill at any moment
// leaves every appended entry old or new, and the archive fit for the next
// run (checked in the helper).
TEST(Faults, KilledImportLeavesAppendedEntriesOldOrNew) {
  kill_imports_in_the_middle(growing_entries(16, 300000), 8675309);
}

// In-place entries of 1 to 8 MiB: a commit cut short leaves its journal, and
// the next run puts the old bytes back. Every kill comes after the first
// commit (a line is out) and before the end, which deletes the journal, so
// each one leaves the journal behind.
TEST(Faults, KilledInPlaceImportLeavesEntriesOldOrNew) {
  std::vector<Change> list;
  for (uint32_t n = 0; n < 10; ++n) {
    const size_t size = (size_t(n % 8) + 1) << 20;
    const bool compressed = n == 2 || n == 7;
    Bytes fresh = pattern_bytes(compressed ? size / 4 : size, n + 100);
    std::fill(fresh.begin(), fresh.begin() + long(fresh.size() / 4), 0);  // fits the old slot
    list.push_back({pattern_bytes(fresh.size(), n), fresh, compressed});
  }
  EXPECT_EQ(kill_imports_in_the_middle(list, 4242), 8);
}

// Ctrl+C in the middle of an export over the files of an earlier one, each
// longer than its new content: every file is then its new content whole or
// its old one untouched, new exactly where its line was printed, and the run
// ends with its message and status 1.
TEST(Faults, InterruptedExportLeavesEveryFileNewOrOld) {
  ScratchDir dir;
  std::vector<Bytes> contents;
  std::vector<StoredEntry> entries;
  for (uint32_t n = 0; n < 24; ++n) {
    contents.push_back(pattern_bytes(100000 + 5000 * n, n));
    entries.push_back(n % 2 ? compressed_entry(contents[n]) : plain_entry(contents[n]));
  }
  write_file(dir / kArchive, archive_image(entries));
  const Bytes old(300000, 0xEE);
  std::mt19937 random(31337);
  size_t fewest = contents.size(), most = 0;
  for (int round = 0; round < 4; ++round) {
    fs::remove_all(dir / "Extracted");
    fs::create_directories(dir / "Extracted/A");
    for (size_t n = 0; n < contents.size(); ++n) {
      write_file(dir / ("Extracted/A/" + std::to_string(n) + ".data"), old);
    }
    const HeldRun run =
        start_held(dir.path, {"e", "a", "0", "23"}, random_room(random, contents.size()));
    pause_briefly(random);
    kill(run.pid, SIGINT);
    const RunResult r = finish_held(run);
    EXPECT_EQ(r.status, 1) << round << r.out;
    EXPECT_TRUE(ends_with(r.out, "导出被中断！\n")) << round << r.out;
    size_t shown = 0;
    for (size_t n = 0; n < contents.size(); ++n) {
      const bool new_one = r.out.find(exported(std::to_string(n))) != std::string::npos;
      shown += new_one;
      EXPECT_EQ(read_file(dir / ("Extracted/A/" + std::to_string(n) + ".data")),
                new_one ? contents[n] : old)
          << "round " << round << " file " << n;
    }
    EXPECT_GT(shown, 0u) << round;
    EXPECT_LT(shown, contents.size()) << round;
    fewest = std::min(fewest, shown);
    most = std::max(most, shown);
  }
  std::cout << "4 interrupted exports stopped after " << fewest << " to " << most << " of "
            << contents.size() << " files\n";
}

// ---------------------------------------------------------------------------
// Permissions and files in the way

TEST(Faults, ReadOnlyArchiveIsNotOpenedForWriting) {
  OpenScratch s;
  const Bytes archive = archive_image({plain_entry(text_bytes("old"))});
  put_file(s / kArchive, archive, 0444);
  put_dir(s / "Import/A", 0777);
  put_file(s / "Import/A/0.data", text_bytes("new"), 0644);
  const RunResult r = run_as_nobody(s.dir.path, {"i", "a"});
  EXPECT_EQ(r.out, "打开 LINKDATA 文件失败！\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(s / kArchive), archive);
}

// Restore where the file of originals, or the archive too, may be read but
// not written (a read-only medium): the words say so, and nothing changes.
TEST(Faults, RestoreWithReadOnlyFiles) {
  struct Case {
    const char* name;
    mode_t archive_mode;
    const char* said;
  };
  const Case cases[] = {
      {"file of originals read-only", 0666, "写入原始数据文件失败！\n"},
      {"both read-only", 0444, "打开 LINKDATA 文件失败！\n"},
  };
  for (const Case& c : cases) {
    OpenScratch s;
    put_file(s / kArchive, archive_image({plain_entry(text_bytes("old"))}), 0666);
    put_dir(s / "Import/A", 0777);
    put_file(s / "Import/A/0.data", text_bytes("new"), 0644);
    ASSERT_EQ(run_tool(s.dir.path, {"i", "a"}).status, 0) << c.name;
    const Bytes modded = read_file(s / kArchive), originals = read_file(s / kOriginals);
    chmod((s / kOriginals).c_str(), 0444);
    chmod((s / kArchive).c_str(), c.archive_mode);
    const RunResult r = run_as_nobody(s.dir.path, {"r", "a"});
    EXPECT_EQ(r.out, c.said) << c.name;
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(read_file(s / kArchive), modded) << c.name;
    EXPECT_EQ(read_file(s / kOriginals), originals) << c.name;
  }
}

TEST(Faults, ExportFolderWithoutWritePermission) {
  OpenScratch s;
  put_file(s / kArchive, archive_image({plain_entry(text_bytes("x"))}), 0644);
  put_dir(s / "Extracted/A", 0555);
  chmod((s / "Extracted").c_str(), 0777);
  put_dir(s / "Import/A", 0777);
  const RunResult r = run_as_nobody(s.dir.path, {"e", "a", "0", "0"});
  EXPECT_EQ(r.out, "创建文件失败！\n");
  EXPECT_EQ(r.status, 1);
}

TEST(Faults, CurrentFolderWithoutWritePermission) {
  OpenScratch s;
  put_file(s / kArchive, archive_image({plain_entry(text_bytes("x"))}), 0644);
  chmod(s.dir.path.c_str(), 0555);
  const RunResult r = run_as_nobody(s.dir.path, {"e", "a", "0", "0"});
  EXPECT_EQ(r.out, "创建文件失败！\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(file_exists(s / "Extracted"));
}

TEST(Faults, ImportFolderOrLooseFileWithoutReadPermission) {
  const Bytes archive =
      archive_image({plain_entry(text_bytes("old0")), plain_entry(text_bytes("old1"))});
  {
    OpenScratch s;
    put_file(s / kArchive, archive, 0666);
    put_dir(s / "Import/A", 0777);
    put_file(s / "Import/A/0.data", text_bytes("new0"), 0644);
    chmod((s / "Import/A").c_str(), 0333);  // names cannot be listed
    const RunResult r = run_as_nobody(s.dir.path, {"i", "a"});
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
    const RunResult r = run_as_nobody(s.dir.path, {"i", "a"});
    EXPECT_EQ(r.out,
              "向 LINKDATA_EU_OS_EUNA.A 中导入未压缩文件 0.data 成功！\n"
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
    const Bytes archive = archive_image({plain_entry(text_bytes("old"))});
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
    write_file(dir / kArchive,
               archive_image({plain_entry(text_bytes("a")), plain_entry(text_bytes("b"))}));
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
    EXPECT_EQ(r.out, texture_failed("8/1_0.dds") + exported("8"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(dir / "Extracted/A/Textures"), text_bytes("in the way"));
  }
}

}  // namespace
}  // namespace linkdata::test

#endif  // _WIN32
