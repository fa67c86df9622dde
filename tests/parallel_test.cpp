// Export and import on every CPU give exactly what they give on one CPU:
// messages, exported and DDS files, the archive after an import, the exit
// status, also when a range fails in the middle. Plus the pieces they are
// built from: the worker pool, piecewise decoding, block-parallel encoding.
#include <gtest/gtest.h>
#include <zlib.h>

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "archive/format/codec.h"
#include "archive/format/deflate_block.h"
#include "platform/little_endian.h"
#include "platform/worker_pool.h"
#include "test_support.h"

namespace linkdata::test {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Worker pool

TEST(WorkerPool, WithoutHelpersTheWaiterRunsTasksInQueueOrder) {
  WorkerPool pool(0);
  TaskGroup early, late;
  std::vector<int> order;
  pool.submit(early, [&] { order.push_back(1); });
  pool.submit(late, [&] { order.push_back(2); });
  pool.submit_first(early, [&] { order.push_back(0); });
  pool.wait(early);
  EXPECT_EQ(order, (std::vector<int>{0, 1}));  // the later group is not run yet
  pool.wait(late);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(WorkerPool, HelpersFinishEveryTaskAndSplitOffWork) {
  WorkerPool pool(3);
  TaskGroup group;
  std::vector<int> done(200, 0);
  for (int i = 0; i < 100; ++i) {
    pool.submit(group, [&, i] {
      done[size_t(i)] = 1;
      pool.submit_first(group, [&, i] { done[size_t(100 + i)] = 1; });
    });
  }
  pool.wait(group);
  EXPECT_EQ(std::count(done.begin(), done.end(), 1), 200);
}

TEST(WorkerPool, DestructionDropsQueuedTasks) {
  std::atomic<int> ran{0};
  {
    WorkerPool pool(0);
    TaskGroup group;
    pool.submit(group, [&] { ++ran; });
  }
  EXPECT_EQ(ran.load(), 0);
}

// Memory that runs out in a task on a helper thread (a real allocation that
// fails) comes to the thread that waits for the task's group, which reports
// it; the process goes on, and so does the pool.
TEST(WorkerPool, AllocationFailureOnAHelperComesToTheWaiter) {
#ifdef LINKDATA_UNDER_SANITIZER
  GTEST_SKIP() << "a sanitizer's allocator aborts instead of failing an allocation";
#endif
  WorkerPool pool(1);
  ASSERT_EQ(pool.helper_count(), 1u);
  std::atomic<bool> started{false};
  TaskGroup group;
  pool.submit(group, [&] {
    started = true;
    std::vector<uint8_t> too_much(size_t(1) << 60);
    too_much[0] = 1;
  });
  while (!started) std::this_thread::yield();  // the helper has it, not the waiter
  EXPECT_THROW(pool.wait(group), std::bad_alloc);
  std::atomic<int> ran{0};
  TaskGroup next;
  for (int i = 0; i < 10; ++i) pool.submit(next, [&] { ++ran; });
  pool.wait(next);
  EXPECT_EQ(ran.load(), 10);
}

#ifndef _WIN32
// Helper threads that cannot be started part way through (here: no address
// space left for a second stack) leave the work to the one that could. In a
// child process, since the limit stays for good.
TEST(WorkerPool, HelpersThatCannotStartLeaveTheWorkToTheOthers) {
#ifdef LINKDATA_UNDER_SANITIZER
  GTEST_SKIP() << "RLIMIT_AS cannot hold a sanitizer's shadow memory";
#endif
  constexpr size_t kStack = size_t(256) << 20;
  const pid_t pid = fork();
  if (pid == 0) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStack);
    pthread_setattr_default_np(&attr);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t room = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + kStack * 3 / 2;
    const rlimit limit{room, room};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(100);
    std::vector<int> done(100, 0);
    size_t started = 0;
    {
      WorkerPool pool(3);
      started = pool.helper_count();
      TaskGroup group;
      for (size_t i = 0; i < done.size(); ++i) pool.submit(group, [&done, i] { done[i] = 1; });
      pool.wait(group);
    }
    _exit(std::count(done.begin(), done.end(), 1) == 100 ? int(started) : 101);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 1);  // one helper of three, and every task done
}
#endif

// ---------------------------------------------------------------------------
// Piecewise decoding and parallel encoding, against the sequential codec

Bytes zlib_block(const Bytes& src, size_t begin, size_t n) {
  uLongf len = compressBound(uLong(n));
  Bytes out(len);
  EXPECT_EQ(compress2(out.data(), &len, src.data() + begin, uLong(n), 9), Z_OK);
  out.resize(len);
  return out;
}

// total | { L | chunk }* | 0, with the source cut at the given sizes.
Bytes payload_cut(const Bytes& src, const std::vector<size_t>& sizes) {
  Bytes p(4);
  store_u32le(p.data(), uint32_t(src.size()));
  size_t pos = 0;
  for (size_t n : sizes) {
    const Bytes c = zlib_block(src, pos, n);
    pos += n;
    uint8_t len[4];
    store_u32le(len, uint32_t(c.size()));
    p.insert(p.end(), len, len + 4);
    p.insert(p.end(), c.begin(), c.end());
  }
  p.insert(p.end(), 4, 0);
  return p;
}

DecodeResult split_decode(const Bytes& payload, uint32_t per_piece, size_t* pieces) {
  ByteBuffer storage;
  SplitDecode plan = plan_split_decode(payload.data(), payload.size(), uint32_t(payload.size()),
                                       per_piece, storage);
  *pieces = plan.pieces.size();
  WorkerPool pool(2);
  TaskGroup group;
  for (size_t i = 0; i < plan.pieces.size(); ++i) {
    pool.submit(group, [&plan, i] { decode_piece(plan, i); });
  }
  pool.wait(group);
  return finish_split_decode(plan);
}

void expect_same_as_sequential(const Bytes& payload, uint32_t per_piece, size_t want_pieces) {
  const DecodeResult seq = decode_payload(payload.data(), payload.size(), uint32_t(payload.size()));
  size_t pieces = 0;
  const DecodeResult split = split_decode(payload, per_piece, &pieces);
  EXPECT_EQ(pieces, want_pieces);
  EXPECT_EQ(split.status, seq.status);
  EXPECT_TRUE(split.content == seq.content);
}

TEST(SplitDecode, EncoderPayloadsDecodeInPiecesToTheSource) {
  const Bytes src = pattern_bytes(10 * 32768 + 1234, 5);
  const std::optional<Bytes> payload = compress_payload(src.data(), uint32_t(src.size()));
  ASSERT_TRUE(payload);
  size_t pieces = 0;
  const DecodeResult r = split_decode(*payload, 3, &pieces);
  EXPECT_EQ(pieces, 4u);  // 11 chunks in pieces of 3
  ASSERT_EQ(r.status, DecodeStatus::ok);
  EXPECT_TRUE(std::equal(r.content.begin(), r.content.end(), src.begin(), src.end()));
  // The content goes into the memory handed in, whatever it held.
  ByteBuffer storage(src.size(), 0xAA);
  const uint8_t* memory = storage.data();
  SplitDecode plan =
      plan_split_decode(payload->data(), payload->size(), uint32_t(payload->size()), 3, storage);
  for (size_t i = 0; i < plan.pieces.size(); ++i) decode_piece(plan, i);
  const DecodeResult into = finish_split_decode(plan);
  ASSERT_EQ(into.status, DecodeStatus::ok);
  EXPECT_EQ(into.content.data(), memory);
  EXPECT_TRUE(std::equal(into.content.begin(), into.content.end(), src.begin(), src.end()));
  // One piece's worth or less is left to the sequential decoder.
  expect_same_as_sequential(*payload, 11, 0);
}

TEST(SplitDecode, OtherLayoutsAndDamageGiveTheSequentialOutcome) {
  const Bytes src = pattern_bytes(8 * 32768, 9);
  // As many chunks as the encoder would make, but not of its sizes: the
  // pieces fail their size check and the fallback must produce the content.
  std::vector<size_t> uneven;
  for (int i = 0; i < 4; ++i) {
    uneven.push_back(32767);
    uneven.push_back(32769);
  }
  expect_same_as_sequential(payload_cut(src, uneven), 2, 4);
  // Fewer, larger chunks: not the encoder's layout, never split.
  expect_same_as_sequential(payload_cut(src, std::vector<size_t>(4, 65536)), 2, 0);

  const Bytes good = payload_cut(src, std::vector<size_t>(8, 32768));
  Bytes short_total = good;
  store_u32le(short_total.data(), uint32_t(src.size() - 1));
  expect_same_as_sequential(short_total, 2, 4);  // length mismatch
  Bytes long_total = good;
  store_u32le(long_total.data(), uint32_t(src.size() + 1));
  expect_same_as_sequential(long_total, 2, 0);  // needs a ninth chunk
  Bytes broken = good;
  broken[good.size() / 2] ^= 0x55;  // inside a chunk of the third piece
  expect_same_as_sequential(broken, 2, 4);
  EXPECT_NE(decode_payload(broken.data(), broken.size(), uint32_t(broken.size())).status,
            DecodeStatus::ok);
}

TEST(ParallelEncode, PayloadEqualsTheBlockByBlockEncoding) {
  for (size_t size : {size_t(1), size_t(32768), size_t(32769), size_t(40 * 32768 + 77)}) {
    const Bytes src = pattern_bytes(size, uint32_t(size));
    std::vector<Bytes> blocks;
    for (size_t pos = 0; pos < size; pos += 32768) {
      Bytes block;
      ASSERT_TRUE(deflate_block_fast(src.data() + pos,
                                     uint32_t(std::min<size_t>(32768, size - pos)), &block));
      blocks.push_back(std::move(block));
    }
    const std::optional<Bytes> payload = compress_payload(src.data(), uint32_t(size));
    ASSERT_TRUE(payload);
    EXPECT_TRUE(*payload == assemble_payload(uint32_t(size), blocks)) << size;
  }
}

// ---------------------------------------------------------------------------
// The tool on one CPU and on all of them

#ifndef _WIN32

// Runs a program in cwd with an empty environment, on the lowest CPU this
// process may use when one_cpu is set, else on all of them.
RunResult run_on_cpus(const std::string& program, const std::string& cwd,
                      const std::vector<std::string>& args, bool one_cpu) {
  int out_fd = -1;
  const int pid = start_tool(cwd, args, {}, one_cpu ? keep_to_one_cpu : std::function<void()>(),
                             &out_fd, program);
  return finish_tool(pid, out_fd);
}

std::string ok_line(uint32_t n) {
  return "从 LINKDATA_EU_OS_EUNA.A 中导出文件 " + shown("Extracted/A/") + std::to_string(n) +
         ".data 成功！\n";
}

bool several_cpus() {
  cpu_set_t set;
  return ::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1;
}

// Every file under dir, by relative path, with its bytes.
std::map<std::string, Bytes> tree(const std::string& dir) {
  std::map<std::string, Bytes> files;
  if (!fs::exists(dir)) return files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) {
      files[fs::relative(e.path(), dir).generic_string()] = read_file(e.path().string());
    }
  }
  return files;
}

// Two copies of one working folder; the tool runs in one on a single CPU and
// in the other on all CPUs.
struct Twin {
  ScratchDir one, all;
  RunResult one_run, all_run;
  explicit Twin(const Bytes& archive) {
    write_file(one / kArchive, archive);
    write_file(all / kArchive, archive);
  }
  void put(const std::string& name, const Bytes& content) {
    write_file(one / name, content);
    write_file(all / name, content);
  }
  void make_dirs(const std::string& path) {
    fs::create_directories(one / path);
    fs::create_directories(all / path);
  }
  // Runs the tool in both and expects the same messages, status and files.
  void expect_same(const std::vector<std::string>& args) {
    one_run = run_on_cpus(LINKDATA_BINARY, one.path, args, true);
    all_run = run_on_cpus(LINKDATA_BINARY, all.path, args, false);
    EXPECT_EQ(one_run.out, all_run.out);
    EXPECT_EQ(one_run.status, all_run.status);
    EXPECT_TRUE(tree(one.path) == tree(all.path)) << "the two runs left different files";
  }
  bool exported(uint32_t n) const {
    return file_exists(one / ("Extracted/A/" + std::to_string(n) + ".data"));
  }
};

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void put_loose(Twin& twin, uint32_t n, const Bytes& content) {
  twin.put("Import/A/" + std::to_string(n) + ".data", content);
}

// Sixty entries: plain and compressed, small and large enough to be decoded
// in pieces (3 MiB), so that many are in flight at once.
const std::vector<Bytes>& mixed_contents() {
  static const std::vector<Bytes> contents = [] {
    std::vector<Bytes> c;
    for (uint32_t i = 0; i < 60; ++i) {
      c.push_back(pattern_bytes(i % 7 == 3 ? (size_t(3) << 20) + i : 3000 + 20000 * (i % 5), i));
    }
    return c;
  }();
  return contents;
}

const std::vector<StoredEntry>& mixed_entries() {
  static const std::vector<StoredEntry> entries = [] {
    std::vector<StoredEntry> e;
    for (uint32_t i = 0; i < 60; ++i) {
      const Bytes& content = mixed_contents()[i];
      e.push_back(i % 4 == 1 ? plain_entry(content) : compressed_entry(content));
    }
    return e;
  }();
  return entries;
}

TEST(OneCpuAndAllCpus, ExportOfASampleArchiveWithTextures) {
  if (!several_cpus()) GTEST_SKIP() << "only one CPU to run on";
  ScratchDir gen;
  ASSERT_EQ(run_on_cpus(LINKDATA_SAMPLE_BINARY, gen.path, {gen.path, "A", "24"}, false).status, 0);
  Twin twin(read_file(gen / kArchive));
  twin.expect_same({"e", "a", "0", "100000", "y"});
  EXPECT_EQ(twin.one_run.status, 0);
  EXPECT_TRUE(fs::exists(twin.one / "Extracted/A/Textures/7"));  // DDS files were written
}

TEST(OneCpuAndAllCpus, ExportStopsAtADecodeFailureInTheMiddle) {
  if (!several_cpus()) GTEST_SKIP() << "only one CPU to run on";
  std::vector<StoredEntry> entries = mixed_entries();
  store_u32le(entries[30].stored.data(), 30000);  // length mismatch at entry 30
  entries[46].stored[20] ^= 0x40;                 // and a broken stream later on
  Twin twin(archive_image(entries));
  twin.expect_same({"e", "a", "0", "59"});
  EXPECT_EQ(twin.one_run.status, 1);
  EXPECT_TRUE(ends_with(twin.one_run.out, "解压后的数据长度出错！解压文件 30.data 出错！\n"));
  EXPECT_TRUE(twin.exported(29));
  for (uint32_t n = 30; n < 60; ++n) EXPECT_FALSE(twin.exported(n)) << n;
}

TEST(OneCpuAndAllCpus, ExportStopsAtABrokenLargeEntry) {
  if (!several_cpus()) GTEST_SKIP() << "only one CPU to run on";
  std::vector<StoredEntry> entries = mixed_entries();
  Bytes& large = entries[24].stored;  // 3 MiB, decoded in pieces
  large[large.size() * 2 / 3] ^= 0x21;
  Twin twin(archive_image(entries));
  twin.expect_same({"e", "a", "20", "59"});
  EXPECT_TRUE(ends_with(twin.one_run.out, ok_line(23) + "解压文件 24.data 出错！\n"));
  EXPECT_TRUE(twin.exported(23));
  EXPECT_FALSE(twin.exported(25));
}

TEST(OneCpuAndAllCpus, ExportStopsWhereAFileCannotBeCreated) {
  if (!several_cpus()) GTEST_SKIP() << "only one CPU to run on";
  Twin twin(archive_image(mixed_entries()));
  twin.make_dirs("Extracted/A/38.data");  // a folder where entry 38's file goes
  twin.expect_same({"e", "a", "0", "59"});
  EXPECT_EQ(twin.one_run.status, 1);
  EXPECT_TRUE(ends_with(twin.one_run.out, ok_line(37) + "创建文件失败！\n"));
  for (uint32_t n = 0; n < 38; ++n) {
    EXPECT_TRUE(read_file(twin.one / ("Extracted/A/" + std::to_string(n) + ".data")) ==
                mixed_contents()[n])
        << n;
  }
  EXPECT_FALSE(twin.exported(39));
}

// Loose files that grow past their slots, that fit them, and plain ones.
TEST(OneCpuAndAllCpus, ImportWritesTheSameArchive) {
  if (!several_cpus()) GTEST_SKIP() << "only one CPU to run on";
  const std::vector<StoredEntry> entries = mixed_entries();
  for (bool fail_in_the_middle : {false, true}) {
    Twin twin(archive_image(entries));
    twin.make_dirs("Import/A");
    for (uint32_t n = 0; n < 60; n += 3) {
      Bytes content = pattern_bytes(entries[n].unpacked_size ? entries[n].unpacked_size : 5000, n);
      if (n % 2) content.resize(content.size() * 2 + 70000, uint8_t(n));  // grows
      put_loose(twin, n, content);
    }
    if (fail_in_the_middle) put_loose(twin, 30, {});  // empty: cannot be compressed
    // Larger than a look-ahead takes on: prepared only when its turn comes.
    Bytes big;
    while (big.size() < (uint32_t(33) << 20)) {
      const std::string row = "row " + std::to_string(big.size()) + "\n";
      big.insert(big.end(), row.begin(), row.end());
    }
    put_loose(twin, 16, big);  // listed right after 15.data, which is appended
    twin.expect_same({"i", "a"});
    EXPECT_TRUE(read_file(twin.one / kArchive) != archive_image(entries));
    EXPECT_EQ(twin.one_run.status, fail_in_the_middle ? 1 : 0);
    if (fail_in_the_middle) {
      EXPECT_TRUE(ends_with(twin.one_run.out, "30.data 文件压缩失败！\n"));
    }
  }
}

#endif  // _WIN32

}  // namespace
}  // namespace linkdata::test
