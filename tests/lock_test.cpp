// One run per archive at a time: the platform's file lock on its own, runs
// refused by a lock that another run holds, and second runs of the built tool
// started again and again beside a large import of the same archive.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#endif

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "archive/modes/export.h"
#include "archive/modes/import.h"
#include "archive/modes/listing.h"
#include "archive/modes/restore.h"
#include "archive/safety/journal.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "platform/working_paths.h"
#include "test_support.h"

// The lock call of the product fails on demand. The test program is linked
// so that the product's calls of the system's lock function reach the
// function below first (tests/CMakeLists.txt: --wrap=fcntl, or on Windows
// --wrap=__imp_LockFileEx, the slot of the import table that every call of
// a Windows function goes through). While an error is set, the lock call
// fails with it; every other call, and every call while none is set, goes on
// to the system. The count shows that the switch did reach the product.
namespace {
std::atomic<int> g_lock_error{0};
std::atomic<int> g_locks_failed{0};
}  // namespace

#if defined(LINKDATA_TESTS_WRAP_LOCKS) && defined(_WIN32)
extern "C" {
extern decltype(&::LockFileEx) __real___imp_LockFileEx;
static BOOL WINAPI lock_file_or_fail(HANDLE file, DWORD flags, DWORD reserved, DWORD low,
                                     DWORD high, LPOVERLAPPED at) {
  if (const int error = g_lock_error.load()) {
    ++g_locks_failed;
    ::SetLastError(DWORD(error));
    return FALSE;
  }
  return __real___imp_LockFileEx(file, flags, reserved, low, high, at);
}
decltype(&::LockFileEx) __wrap___imp_LockFileEx = lock_file_or_fail;
}
#elif defined(LINKDATA_TESTS_WRAP_LOCKS)
extern "C" int __real_fcntl(int fd, int command, ...);
// fcntl's third argument is an int or a pointer as the command says; both
// travel in the same register, so it is passed on as a pointer.
extern "C" int __wrap_fcntl(int fd, int command, ...) {
  va_list rest;
  va_start(rest, command);
  void* argument = va_arg(rest, void*);
  va_end(rest);
  if (command == F_OFD_SETLK) {
    if (const int error = g_lock_error.load()) {
      ++g_locks_failed;
      errno = error;
      return -1;
    }
  }
  return __real_fcntl(fd, command, argument);
}
#endif

namespace linkdata::test {
namespace {

namespace fs = std::filesystem;
using platform::Access;
using platform::File;
using platform::LockKind;

const std::wstring kArchiveW = L"LINKDATA_EU_OS_EUNA.A";
const std::string kInUse = "LINKDATA_EU_OS_EUNA.A 正在被另一个 linkdata 使用，请等它结束后再试！\n";

std::wstring scratch_file(const ScratchDir& dir) {
  write_file(dir / "f", text_bytes("0123456789"));
  return join_path(from_utf8(dir.path), L"f");
}

TEST(PlatformLock, SharedLocksShareAndExclusiveExcludes) {
  struct Case {
    LockKind first, second;
    bool second_taken;
  };
  const Case cases[] = {
      {LockKind::shared, LockKind::shared, true},
      {LockKind::shared, LockKind::exclusive, false},
      {LockKind::exclusive, LockKind::shared, false},
      {LockKind::exclusive, LockKind::exclusive, false},
  };
  ScratchDir dir;
  const std::wstring path = scratch_file(dir);
  for (const Case& c : cases) {
    File a = File::open_lockable(path, Access::read_write);
    File b = File::open_lockable(path, Access::read_write);
    ASSERT_TRUE(a.try_lock(c.first));
    EXPECT_EQ(b.try_lock(c.second), c.second_taken) << int(c.first) << int(c.second);
  }
}

TEST(PlatformLock, ExclusiveNeedsAHandleThatWrites) {
  ScratchDir dir;
  File reader = File::open_lockable(scratch_file(dir), Access::read);
  EXPECT_FALSE(reader.try_lock(LockKind::exclusive));
  EXPECT_TRUE(reader.try_lock(LockKind::shared));
}

// A lock blocks other handles' locks, never reads and writes: the process
// that holds it goes on using the file through other handles too.
TEST(PlatformLock, LockedFileCanStillBeReadAndWritten) {
  ScratchDir dir;
  const std::wstring path = scratch_file(dir);
  File holder = File::open_lockable(path, Access::read_write);
  ASSERT_TRUE(holder.try_lock(LockKind::exclusive));
  File other = File::open_lockable(path, Access::read_write);
  ASSERT_TRUE(other.write_at(8, "xy", 2));
  char got[10] = {};
  size_t n = 0;
  ASSERT_TRUE(holder.read_at(0, got, sizeof got, &n));
  EXPECT_EQ(std::string(got, n), "01234567xy");
}

TEST(PlatformLock, UpgradeAndDowngradeOnOneHandle) {
  ScratchDir dir;
  const std::wstring path = scratch_file(dir);
  File a = File::open_lockable(path, Access::read_write);
  File b = File::open_lockable(path, Access::read_write);
  ASSERT_TRUE(a.try_lock(LockKind::shared));
  ASSERT_TRUE(b.try_lock(LockKind::shared));
  EXPECT_FALSE(a.try_lock(LockKind::exclusive));  // b shares it
  b.close();
  // The failed upgrade kept a's shared lock.
  File c = File::open_lockable(path, Access::read_write);
  EXPECT_FALSE(c.try_lock(LockKind::exclusive));
  EXPECT_TRUE(a.try_lock(LockKind::exclusive));
  EXPECT_FALSE(c.try_lock(LockKind::shared));
  EXPECT_TRUE(a.try_lock(LockKind::shared));  // back to shared
  EXPECT_TRUE(c.try_lock(LockKind::shared));
  EXPECT_FALSE(c.try_lock(LockKind::exclusive));
}

TEST(PlatformLock, ReleasedWhenTheHandleCloses) {
  ScratchDir dir;
  const std::wstring path = scratch_file(dir);
  File b = File::open_lockable(path, Access::read_write);
  {
    File a = File::open_lockable(path, Access::read_write);
    ASSERT_TRUE(a.try_lock(LockKind::exclusive));
    ASSERT_FALSE(b.try_lock(LockKind::shared));
  }
  EXPECT_TRUE(b.try_lock(LockKind::exclusive));
  b.close();
  File c = File::open_lockable(path, Access::read_write);
  EXPECT_TRUE(c.try_lock(LockKind::exclusive));
}

// ---------------------------------------------------------------------------
// Runs in this process, refused by a lock that "another run" (a handle held
// here) has: a refused run prints one line, changes nothing, makes no
// folder, and above all neither rolls back nor removes the journal it finds.

bool export_a(std::string* out) {
  bool ok = false;
  *out = capture_stdout([&] { ok = run_export(0, 1, false, kArchiveW, L"A"); });
  return ok;
}

bool import_a(std::string* out) {
  bool ok = false;
  *out = capture_stdout([&] { ok = run_import(kArchivePrefix, L"A"); });
  return ok;
}

TEST(ArchiveLock, RunRefusedByAnotherRunsLockChangesNothing) {
  struct Case {
    const char* name;
    char mode;  // 'e', 'i' or 'r'
    LockKind held;
    bool cleared_journal;  // else one with a whole commit in it
    bool refused;
  };
  const Case cases[] = {
      // Readers share the archive, and a cleared journal stays: only a run
      // that holds the lock alone may remove it.
      {"export beside a reader, cleared journal", 'e', LockKind::shared, true, false},
      // A crash's commit is undone only under the exclusive lock, which a
      // reader does not get while another one reads.
      {"export beside a reader, whole journal", 'e', LockKind::shared, false, true},
      {"export beside a writer", 'e', LockKind::exclusive, false, true},
      {"import beside a reader", 'i', LockKind::shared, true, true},
      {"restore beside a reader", 'r', LockKind::shared, true, true},
  };
  for (const Case& c : cases) {
    InScratchDir here;
    const Bytes content = pattern_bytes(6000, 1);
    write_file(kArchive, archive_image({plain_entry(content), plain_entry(pattern_bytes(10, 2))}));
    {
      File archive = File::open_read_write_existing(kArchiveW);
      Journal journal{from_utf8(kJournal), {}, false};
      const Bytes slot(5000, 0xEE);
      ASSERT_TRUE(journal_save(journal, archive, fs::file_size(kArchive),
                               {{2048, slot.size(), slot.data()}}));
    }
    Bytes archive = read_file(kArchive);
    std::fill(archive.begin() + 2048, archive.begin() + 3072, 0xEE);  // as a crash left it
    write_file(kArchive, archive);
    Bytes journal = read_file(kJournal);
    if (c.cleared_journal) std::fill(journal.begin(), journal.begin() + 40, 0);
    write_file(kJournal, journal);
    if (c.mode == 'i') {
      fs::create_directories("Import/A");
      write_file("Import/A/0.data", text_bytes("new"));
    }
    const Bytes originals = text_bytes("read only under the lock");
    write_file(kArchive + "-original", originals);

    File other_run = File::open_lockable(kArchiveW, Access::read_write);
    ASSERT_TRUE(other_run.try_lock(c.held)) << c.name;
    std::string said;
    bool ok = false;
    if (c.mode == 'e') ok = export_a(&said);
    if (c.mode == 'i') ok = import_a(&said);
    if (c.mode == 'r') said = capture_stdout([&] { ok = run_restore_whole(kArchiveW); });
    if (c.refused) {
      EXPECT_EQ(said, kInUse) << c.name;
      EXPECT_FALSE(ok) << c.name;
      EXPECT_FALSE(fs::exists("Extracted")) << c.name;
    } else {
      EXPECT_TRUE(ok) << c.name << ": " << said;
      EXPECT_EQ(read_file("Extracted/A/0.data"),
                Bytes(archive.begin() + 2048, archive.begin() + 8048))
          << c.name;
    }
    EXPECT_EQ(read_file(kArchive), archive) << c.name;
    EXPECT_EQ(read_file(kJournal), journal) << c.name;
    EXPECT_EQ(read_file(kArchive + "-original"), originals) << c.name;
  }
}

// A lock call that fails for another reason than a holder (a network file
// system's lock service gone) stops every run before it changes or makes
// anything; a file system that keeps no locks at all is run on without,
// and the run says so once.
TEST(ArchiveLock, LockThatFailsStopsTheRunAndNoLocksAtAllIsSaid) {
#ifndef LINKDATA_TESTS_WRAP_LOCKS
  GTEST_SKIP() << "this linker cannot put a failing lock call in front of the system's";
#endif
#ifdef _WIN32
  const int kFailed = ERROR_LOCK_FAILED, kNoLocks = ERROR_NOT_SUPPORTED;
#else
  const int kFailed = ENOLCK, kNoLocks = EINVAL;
#endif
  const std::string kLockFailed =
      "无法锁定 LINKDATA_EU_OS_EUNA.A，为免两个 linkdata 同时写入，没有做任何修改！\n";
  const std::string kNoLocksSaid =
      "LINKDATA_EU_OS_EUNA.A 所在的文件系统不支持文件锁，请勿同时运行两个 linkdata。\n";
  struct FailLocks {
    explicit FailLocks(int error) {
      g_locks_failed = 0;
      g_lock_error = error;
    }
    ~FailLocks() { g_lock_error = 0; }
  };
  for (const char mode : {'e', 'i', 'l', 'r'}) {
    for (const bool no_locks : {false, true}) {
      InScratchDir here;
      const Bytes content = pattern_bytes(3000, 5);
      write_file(kArchive, archive_image({plain_entry(content), plain_entry(content)}));
      const Bytes archive = read_file(kArchive);
      fs::create_directories("Import/A");
      write_file("Import/A/0.data", text_bytes("new"));
      std::string said;
      bool ok = false;
      {
        const FailLocks failing(no_locks ? kNoLocks : kFailed);
        if (mode == 'e') ok = export_a(&said);
        if (mode == 'i') ok = import_a(&said);
        if (mode == 'l')
          said = capture_stdout([&] { ok = run_list(0, 1, ListingDetail::index_only, kArchiveW); });
        if (mode == 'r') said = capture_stdout([&] { ok = run_restore_whole(kArchiveW); });
      }
      const std::string name = std::string(1, mode) + (no_locks ? " without locks" : " failed");
      EXPECT_GT(g_locks_failed.load(), 0) << name;
      if (no_locks) {
        EXPECT_EQ(said.substr(0, kNoLocksSaid.size()), kNoLocksSaid) << name;
        EXPECT_EQ(said.find(kNoLocksSaid, 1), std::string::npos) << name << said;
        EXPECT_TRUE(ok) << name << said;
        if (mode == 'i') {
          EXPECT_NE(read_file(kArchive), archive) << name;
        }
      } else {
        EXPECT_EQ(said, kLockFailed) << name;
        EXPECT_FALSE(ok) << name;
        EXPECT_FALSE(fs::exists("Extracted")) << name;
        EXPECT_EQ(read_file(kArchive), archive) << name;
      }
    }
  }
}

// The game holds the archive open for reading while it runs, sharing only
// reading on Windows, as a handle from File::open_read does: export goes on.
TEST(ArchiveLock, ExportBesideAProgramThatReadsTheArchive) {
  InScratchDir here;
  const Bytes content = pattern_bytes(3000, 5);
  write_file(kArchive, archive_image({plain_entry(content), plain_entry(content)}));
  File game = File::open_read(kArchiveW);
  ASSERT_TRUE(game.is_open());
  std::string said;
  EXPECT_TRUE(export_a(&said)) << said;
  EXPECT_EQ(read_file("Extracted/A/1.data"), content);
}

// ---------------------------------------------------------------------------
// The built tool: a large in-place import, and beside it second runs of the
// same archive from the same folder.

// Entry n of the large import: its old content and the new one, made again
// when needed rather than held, since together they are hundreds of MiB.
constexpr size_t kEntrySize = size_t(768) << 10;
Bytes old_content(uint32_t n) { return pattern_bytes(kEntrySize, n); }
Bytes new_content(uint32_t n) {
  Bytes fresh = pattern_bytes(kEntrySize, n + 1000);
  std::fill(fresh.begin(), fresh.begin() + long(fresh.size() / 4), 0);  // compresses better
  return fresh;
}

// Compressed entries whose new content fits the old slot: every one is
// rewritten in place, through the journal, and compressed at level 9, which
// takes the import several seconds on one CPU.
void lay_out_large_import(const ScratchDir& dir, uint32_t count) {
  std::vector<StoredEntry> entries;
  for (uint32_t n = 0; n < count; ++n) entries.push_back(compressed_entry(old_content(n)));
  write_file(dir / kArchive, archive_image(entries));
  entries.clear();
  fs::create_directories(dir / "Import/A");
  for (uint32_t n = 0; n < count; ++n) {
    write_file(dir / ("Import/A/" + std::to_string(n) + ".data"), new_content(n));
  }
}

// Waits until the started tool holds the archive's lock, as a second run
// would find it; false when the tool ended first.
bool lock_seen_held(const ScratchDir& dir, const StartedTool& tool) {
  const std::wstring path = from_utf8(dir / kArchive);
  while (tool_running(tool)) {
    File probe = File::open_lockable(path, Access::read);
    if (probe.is_open() && !probe.try_lock(LockKind::shared)) return true;
    probe.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Every entry as the tool exports it now: 1 new content, 0 old, -1 neither.
std::vector<int> exported_states(const ScratchDir& dir, uint32_t count) {
  fs::remove_all(dir / "Extracted");
  const RunResult r = run_tool(dir.path, {"e", "a", "0", std::to_string(count - 1)});
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<int> states;
  for (uint32_t n = 0; n < count; ++n) {
    const Bytes got = read_file(dir / ("Extracted/A/" + std::to_string(n) + ".data"));
    states.push_back(got == new_content(n) ? 1 : got == old_content(n) ? 0 : -1);
  }
  return states;
}

bool announced(const std::string& out, size_t n) {
  return out.find(" " + std::to_string(n) + ".data 成功！\n") != std::string::npos;
}

// Second runs of the archive, exports and imports, are started one after
// another on each of a few threads for as long as the import runs.
// Afterwards every entry exports its old or its new content, and its new one
// wherever the import printed its line; every refused run printed the lock's
// message alone, ended with status 1 and changed nothing: no journal rolled
// back under the import, and no export folder while the import ran.
TEST(ArchiveLock, SecondRunsBesideALargeImport) {
  constexpr uint32_t kEntries = 480;
  constexpr int kThreads = 3;
  constexpr int kMaxRunsPerThread = 100;
  ScratchDir dir;
  lay_out_large_import(dir, kEntries);
  StartedTool import = start_tool_async(dir.path, {"i", "a"}, true);
  ASSERT_TRUE(lock_seen_held(dir, import)) << "the import ended before its lock was seen";

  struct SecondRun {
    bool exports;
    RunResult result;
    bool export_folder_while_importing;
  };
  std::vector<std::vector<SecondRun>> runs(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kMaxRunsPerThread && tool_running(import); ++i) {
        const bool exports = (t + i) % 2 == 0;
        SecondRun run{exports, {}, false};
        run.result = exports ? run_tool(dir.path, {"e", "a", "0", std::to_string(kEntries - 1)})
                             : run_tool(dir.path, {"i", "a"});
        // Looked at before asking whether the import still runs: no second
        // run can get the lock before the import has ended.
        const bool folder = fs::exists(dir / "Extracted");
        run.export_folder_while_importing = folder && tool_running(import);
        runs[size_t(t)].push_back(std::move(run));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const RunResult imported = finish_tool(import);
  EXPECT_EQ(imported.status, 0) << imported.out;

  int started = 0, exports = 0, refused = 0;
  for (const std::vector<SecondRun>& list : runs) {
    for (const SecondRun& run : list) {
      ++started;
      exports += run.exports;
      EXPECT_FALSE(run.export_folder_while_importing);
      if (run.result.out == kInUse) {
        ++refused;
        EXPECT_EQ(run.result.status, 1);
      } else {  // it waited for the lock and got it once the import had ended
        EXPECT_EQ(run.result.status, 0) << run.result.out;
      }
    }
  }
  const std::vector<int> states = exported_states(dir, kEntries);
  int lost = 0, torn = 0, announced_count = 0;
  for (uint32_t n = 0; n < kEntries; ++n) {
    torn += states[n] == -1;
    announced_count += announced(imported.out, n);
    lost += announced(imported.out, n) && states[n] != 1;
  }
  EXPECT_FALSE(fs::exists(dir / kJournal));
  std::cout << "imports run: 1 large + " << started - exports << " second; second runs started "
            << "during the import: " << started << " (" << exports
            << " exports); refused: " << refused << "; entries checked: " << kEntries
            << " (lines printed: " << announced_count << "); lost: " << lost << "; torn: " << torn
            << "\n";
  EXPECT_EQ(announced_count, int(kEntries));
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(torn, 0);
  EXPECT_GT(started, 0);
  EXPECT_GT(refused, 0);
}

// A run that ends as a crash does (SIGKILL, TerminateProcess) leaves no lock
// behind: the next run gets it at once and finishes the job.
TEST(ArchiveLock, KilledRunLeavesNoLockBehind) {
  ScratchDir dir;
  constexpr uint32_t kEntries = 40;
  lay_out_large_import(dir, kEntries);
  StartedTool import = start_tool_async(dir.path, {"i", "a"}, true);
  ASSERT_TRUE(lock_seen_held(dir, import)) << "the import ended before its lock was seen";
  kill_tool(import);
  finish_tool(import);
  File after = File::open_lockable(from_utf8(dir / kArchive), Access::read_write);
  EXPECT_TRUE(after.try_lock(LockKind::exclusive));
  after.close();
  const RunResult again = run_tool(dir.path, {"i", "a"});
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(exported_states(dir, kEntries), std::vector<int>(kEntries, 1));
}

}  // namespace
}  // namespace linkdata::test
