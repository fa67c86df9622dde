// Inputs whose fields claim gigabytes, run through the binary under an
// address-space limit of 1 GiB: memory must follow what the file really
// holds, so each run ends with its defined outcome or a clear message and
// its status, never an allocation failure or a crash.
#ifndef _WIN32

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/little_endian.h"
#include "test_support.h"

namespace linkdata::test {
namespace {

namespace fs = std::filesystem;
constexpr rlim_t kAddressSpace = rlim_t(1) << 30;

// AddressSanitizer and ThreadSanitizer reserve terabytes of address space for
// their shadow memory, so no sanitized binary starts under RLIMIT_AS. There
// the runs go without the limit, for the sanitizer's checks, and the cases
// whose outcome is the failure to allocate are skipped.
#ifdef LINKDATA_UNDER_SANITIZER
constexpr bool kLimitAddressSpace = false;
#define SKIP_UNDER_SANITIZER() GTEST_SKIP() << "RLIMIT_AS cannot hold a sanitizer's shadow memory"
#else
constexpr bool kLimitAddressSpace = true;
#define SKIP_UNDER_SANITIZER() (void)0
#endif

RunResult run_limited(const std::string& cwd, const std::vector<std::string>& args) {
  int fd = -1;
  const int pid = start_tool(
      cwd, args, {},
      [] {
        const rlimit limit{kAddressSpace, kAddressSpace};
        if (kLimitAddressSpace && setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
      },
      &fd);
  return finish_tool(pid, fd);
}

std::string exported(uint32_t n) {
  return "从 LINKDATA_EU_OS_EUNA.A 中导出文件 Extracted/A/" + std::to_string(n) + ".data 成功！\n";
}

// An archive of one compressed entry whose payload is given as it is.
Bytes archive_with_payload(const Bytes& payload, uint32_t stored_size) {
  Bytes archive = archive_image({StoredEntry{payload, 1, false}});
  store_u32le(archive.data() + 16 + 8, stored_size);
  return archive;
}

// A payload that claims a total size of 0xFFFFFFF0 over the given chunk
// fields and bytes, with its terminator.
Bytes payload_claiming_four_gib(const Bytes& chunks) {
  Bytes payload(4, 0);
  store_u32le(payload.data(), 0xFFFFFFF0u);
  payload.insert(payload.end(), chunks.begin(), chunks.end());
  payload.resize(payload.size() + 4, 0);
  return payload;
}

Bytes byte_at_positions(const std::string& path, const std::vector<uint64_t>& positions) {
  Bytes out;
  const int fd = open(path.c_str(), O_RDONLY);
  for (uint64_t pos : positions) {
    uint8_t b = 0xEE;
    if (pread(fd, &b, 1, off_t(pos)) != 1) b = 0xEE;
    out.push_back(b);
  }
  close(fd);
  return out;
}

TEST(MemoryBounds, EntryCountOfAllOnes) {
  ScratchDir dir;
  Bytes archive = archive_image({plain_entry(text_bytes("abc"))});
  store_u32le(archive.data() + 4, 0xFFFFFFFFu);
  write_file(dir / kArchive, archive);
  // Records past the first one read from the zero padding: empty entries.
  RunResult r = run_limited(dir.path, {"e", "a", "0", "3"});
  EXPECT_EQ(r.out, exported(0) + exported(1) + exported(2) + exported(3));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(dir / "Extracted/A/0.data"), text_bytes("abc"));
  // An import would append where most of those records lie: refused.
  write_file(dir / "Import/A/1.data", text_bytes("new"));
  r = run_limited(dir.path, {"i", "a"});
  EXPECT_EQ(r.out, "LINKDATA 文件的索引超出了文件末尾，无法导入！\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(dir / kArchive), archive);
}

TEST(MemoryBounds, TotalSizeThatNoChunkBacks) {
  ScratchDir dir;
  const Bytes text = text_bytes("plain chunk");
  Bytes chunk(4, 0);
  store_u32le(chunk.data(), uint32_t(text.size()));
  chunk.insert(chunk.end(), text.begin(), text.end());
  const Bytes payload = payload_claiming_four_gib(chunk);
  write_file(dir / kArchive, archive_with_payload(payload, uint32_t(payload.size())));
  const RunResult r = run_limited(dir.path, {"e", "a", "0", "0"});
  EXPECT_EQ(r.out, "解压后的数据长度出错！解压文件 0.data 出错！\n");
  EXPECT_EQ(r.status, 1);
}

// 131072 chunks of one byte each, all marked as zlib streams: a total size of
// 0xFFFFFFF0 is within what 64 KiB per chunk could give, yet the first chunk
// is no zlib stream at all. Nothing may be allocated for the claim.
TEST(MemoryBounds, TinyChunksClaimingFourGiB) {
  ScratchDir dir;
  Bytes chunks;
  for (int i = 0; i < 131072; ++i) chunks.insert(chunks.end(), {1, 0, 0, 0, 0x78});
  const Bytes payload = payload_claiming_four_gib(chunks);
  write_file(dir / kArchive, archive_with_payload(payload, uint32_t(payload.size())));
  const RunResult r = run_limited(dir.path, {"e", "a", "0", "0"});
  EXPECT_EQ(r.out, "解压文件 0.data 出错！\n");
  EXPECT_EQ(r.status, 1);
}

// A plain payload of 0xFFFFFFFF bytes of which the file holds 2048: exported
// whole, the missing part as zeros, without holding it in memory.
TEST(MemoryBounds, PlainStoredSizeMostlyPastTheEnd) {
  ScratchDir dir;
  Bytes archive = archive_image({plain_entry(text_bytes("abc"))});
  store_u32le(archive.data() + 16 + 8, 0xFFFFFFFFu);
  write_file(dir / kArchive, archive);
  const RunResult r = run_limited(dir.path, {"e", "a", "0", "0"});
  EXPECT_EQ(r.out, exported(0));
  EXPECT_EQ(r.status, 0);
  const std::string out = dir / "Extracted/A/0.data";
  EXPECT_EQ(fs::file_size(out), 0xFFFFFFFFull);
  EXPECT_EQ(byte_at_positions(out, {0, 1, 2, 3, 2047, 2048, 0x80000000ull, 0xFFFFFFFEull}),
            (Bytes{'a', 'b', 'c', 0, 0, 0, 0, 0}));
}

// The same with a texture container's first bytes: examining its textures
// takes the whole entry, which memory cannot hold, and the run says so.
TEST(MemoryBounds, PlainTextureEntryMostlyPastTheEnd) {
  SKIP_UNDER_SANITIZER();
  ScratchDir dir;
  Bytes archive = archive_image({plain_entry(text_bytes("GT1G0600 and a table"))});
  store_u32le(archive.data() + 16 + 8, 0xFFFFFFFFu);
  write_file(dir / kArchive, archive);
  const RunResult r = run_limited(dir.path, {"e", "a", "0", "0", "y"});
  EXPECT_EQ(r.out, "内存不足，运行已停止！\n");
  EXPECT_EQ(r.status, 1);
  const RunResult listed = run_limited(dir.path, {"l", "a", "0", "0", "y"});
  EXPECT_NE(listed.out.find("\t出错：内存不足\t"), std::string::npos) << listed.out;
  EXPECT_EQ(listed.status, 1);
}

// A compressed payload whose stored size runs 4 GiB past the end of the
// file: the zero region reads as empty chunks, so it decodes as it is.
TEST(MemoryBounds, CompressedStoredSizeMostlyPastTheEnd) {
  ScratchDir dir;
  const Bytes content = pattern_bytes(100000, 3);
  Bytes archive = archive_image({compressed_entry(content)});
  store_u32le(archive.data() + 16 + 8, 0xFFFFFFFFu);
  write_file(dir / kArchive, archive);
  const RunResult r = run_limited(dir.path, {"e", "a", "0", "0"});
  EXPECT_EQ(r.out, exported(0));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(dir / "Extracted/A/0.data"), content);
}

// A plain chunk that reaches 3.75 GiB into the zero region makes a content
// that much larger than memory allows: a clear decoding failure.
TEST(MemoryBounds, PlainChunkReachingFarPastTheEnd) {
  SKIP_UNDER_SANITIZER();
  ScratchDir dir;
  Bytes payload(8, 0);
  store_u32le(payload.data(), 0xF0000000u);
  store_u32le(payload.data() + 4, 0xF0000000u);
  payload.push_back('p');
  write_file(dir / kArchive, archive_with_payload(payload, 0xFFFFFFFFu));
  const RunResult r = run_limited(dir.path, {"e", "a", "0", "0"});
  EXPECT_EQ(r.out, "解压文件 0.data 出错！\n");
  EXPECT_EQ(r.status, 1);
}

// A compressed payload of 4 GiB that the (sparse) file does hold: more than
// memory allows, so the entry fails with the decoding message; no crash from
// the worker thread that reads it.
TEST(MemoryBounds, CompressedPayloadTheFileHoldsButMemoryCannot) {
  SKIP_UNDER_SANITIZER();
  ScratchDir dir;
  Bytes archive =
      archive_image({compressed_entry(pattern_bytes(5000, 9)), plain_entry(text_bytes("z"))});
  store_u32le(archive.data() + 16 + 8, 0xFFFFFFFFu);
  write_file(dir / kArchive, archive);
  fs::resize_file(dir / kArchive, uint64_t(5) << 30);
  const RunResult r = run_limited(dir.path, {"e", "a", "0", "1", "y"});
  EXPECT_EQ(r.out, "解压文件 0.data 出错！\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(file_exists(dir / "Extracted/A/0.data"));
}

// The listing reads like export: an index that claims 4 billion entries over
// a file of two pages, and a payload of 4 GiB that memory cannot hold. The
// kind column (the seventh) names the failure.
TEST(MemoryBounds, ListingOfClaimsLargerThanMemory) {
  SKIP_UNDER_SANITIZER();
  ScratchDir dir;
  Bytes archive =
      archive_image({compressed_entry(pattern_bytes(5000, 9)), plain_entry(text_bytes("z"))});
  store_u32le(archive.data() + 4, 0xFFFFFFFFu);
  store_u32le(archive.data() + 16 + 8, 0xFFFFFFFFu);
  write_file(dir / kArchive, archive);
  fs::resize_file(dir / kArchive, uint64_t(5) << 30);
  RunResult r = run_limited(dir.path, {"l", "a", "0", "99999", "y"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 100001);
  EXPECT_NE(r.out.find("\n0\t2048\t4294967295\t5000\t1\t0\t出错：内存不足\t\n"
                       "1\t6144\t1\t1\t0\t0\t其他 \"z\"\t\n2\t0\t"),
            std::string::npos);
  r = run_limited(dir.path, {"l", "a", "2147483000", "2147483647"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 649);
  EXPECT_NE(r.out.find("\n2147483647\t0\t0\t0\t0\t0\n"), std::string::npos);
}

// A loose file larger than memory allows is refused before anything is
// written for it.
TEST(MemoryBounds, LooseFileLargerThanMemory) {
  SKIP_UNDER_SANITIZER();
  ScratchDir dir;
  const Bytes archive =
      archive_image({plain_entry(text_bytes("old")), plain_entry(text_bytes("old"))});
  write_file(dir / kArchive, archive);
  fs::create_directories(dir / "Import/A");
  write_file(dir / "Import/A/0.data", text_bytes("new"));
  write_file(dir / "Import/A/1.data", {});
  fs::resize_file(dir / "Import/A/1.data", uint64_t(3) << 29);  // 1.5 GiB, sparse
  const RunResult r = run_limited(dir.path, {"i", "a"});
  EXPECT_EQ(r.out,
            "向 LINKDATA_EU_OS_EUNA.A 中导入未压缩文件 0.data 成功！\n"
            "1.data 文件过大，无法导入！\n");
  EXPECT_EQ(r.status, 1);
  const Bytes after = read_file(dir / kArchive);
  EXPECT_EQ(after.size(), archive.size());
  EXPECT_EQ(Bytes(after.begin() + 16 + 16, after.begin() + 48),
            Bytes(archive.begin() + 16 + 16, archive.begin() + 48));
}

// An index of 2^26 records, a gibibyte of a sparse file, under a file of
// originals: import, the listing and restore read its checksums in blocks.
TEST(MemoryBounds, FileOfOriginalsOverAnIndexOfAGibibyte) {
  ScratchDir dir;
  Bytes archive = archive_image({plain_entry(text_bytes("abc"))});
  store_u32le(archive.data() + 4, 1u << 26);
  write_file(dir / kArchive, archive);
  const uint64_t length = 16 + (uint64_t(16) << 26) + 2048;
  fs::resize_file(dir / kArchive, length);
  fs::create_directories(dir / "Import/A");
  write_file(dir / "Import/A/0.data", text_bytes("new"));  // its slot lies in the index: appended
  RunResult r = run_limited(dir.path, {"i", "a"});
  EXPECT_EQ(r.out, "向 LINKDATA_EU_OS_EUNA.A 中添加未压缩文件 0.data 成功！\n");
  EXPECT_EQ(r.status, 0);
  r = run_limited(dir.path, {"l", "a", "0", "0"});
  EXPECT_NE(r.out.find("\n0\t"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 3), "\t1\n");
  EXPECT_EQ(r.status, 0);
  r = run_limited(dir.path, {"r", "a"});
  EXPECT_EQ(r.out, "已将 LINKDATA_EU_OS_EUNA.A 还原到首次导入前的状态！\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(fs::file_size(dir / kArchive), length);
  const std::vector<uint64_t> some = {4, 7, 16, 20, 24, 31, 2048, 2050};
  Bytes want;
  for (uint64_t at : some) want.push_back(archive[at]);
  EXPECT_EQ(byte_at_positions(dir / kArchive, some), want);
}

}  // namespace
}  // namespace linkdata::test

#endif  // _WIN32
