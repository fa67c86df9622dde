// The sample archive generator: the archive it writes reads back as a valid
// LINKDATA archive, the same arguments give the same bytes, and bad arguments
// are refused.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "platform/little_endian.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using linkdata::load_u32le;
using linkdata::load_u64le;
using Bytes = std::vector<uint8_t>;
using linkdata::test::read_file;

constexpr uint32_t kUnit = 2048;
constexpr uint32_t kFixedEntries = 13;

// A folder that the tool is to create, inside a scratch folder.
struct OutputDir {
  linkdata::test::ScratchDir scratch;
  const std::string path = scratch / "out";
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Runs the generator with the given (already quoted) arguments; returns its
// exit code. Its usage and error messages are discarded.
int run_sample_tool(const std::string& arguments) {
#ifdef _WIN32
  // cmd.exe strips the outermost quotes of the whole line.
  const std::string command =
      "\"\"" + std::string(LINKDATA_SAMPLE_BINARY) + "\" " + arguments + " 2>NUL\"";
  return std::system(command.c_str());
#else
  const std::string command =
      "\"" + std::string(LINKDATA_SAMPLE_BINARY) + "\" " + arguments + " 2>/dev/null";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

struct Record {
  uint64_t offset = 0;
  uint32_t stored = 0;
  uint32_t unpacked = 0;
};

Record record_of(const Bytes& archive, uint32_t n) {
  const uint8_t* p = archive.data() + 16 + 16 * size_t(n);
  return {load_u64le(p), load_u32le(p + 8), load_u32le(p + 12)};
}

Bytes payload_of(const Bytes& archive, const Record& r) {
  const auto begin = archive.begin() + std::ptrdiff_t(r.offset * kUnit);
  return Bytes(begin, begin + std::ptrdiff_t(r.stored));
}

// Walks the chunks up to the stored size: zlib streams are inflated, other
// chunks copied. No value when a chunk is damaged or the total does not match.
std::optional<Bytes> decode(const Bytes& payload, size_t* plain_chunks) {
  if (payload.size() < 4) return std::nullopt;
  const uint32_t total = load_u32le(payload.data());
  Bytes out;
  size_t pos = 4;
  while (pos < payload.size()) {
    if (payload.size() - pos < 4) return std::nullopt;
    const uint32_t length = load_u32le(payload.data() + pos);
    pos += 4;
    if (length == 0) continue;
    if (payload.size() - pos < length) return std::nullopt;
    const uint8_t* chunk = payload.data() + pos;
    if (chunk[0] == 0x78) {
      Bytes block(65536);
      uLongf produced = uLongf(block.size());
      if (uncompress(block.data(), &produced, chunk, length) != Z_OK) return std::nullopt;
      out.insert(out.end(), block.begin(), block.begin() + std::ptrdiff_t(produced));
    } else {
      out.insert(out.end(), chunk, chunk + length);
      ++*plain_chunks;
    }
    pos += length;
  }
  if (out.size() != total) return std::nullopt;
  return out;
}

bool has_texture_magic(const Bytes& content, size_t at) {
  static const std::string kMagic = "GT1G0600";
  return content.size() >= at + 8 &&
         std::equal(kMagic.begin(), kMagic.end(), content.begin() + std::ptrdiff_t(at));
}

// Header, records following one another in 2048-byte slots from the first
// boundary after the index, zero padding, and every compressed payload
// decoding to its unpacked size.
void expect_well_formed(const Bytes& archive) {
  ASSERT_GE(archive.size(), 16u);
  EXPECT_EQ(archive.size() % kUnit, 0u);
  EXPECT_EQ(load_u32le(archive.data()), 0x11E54u);
  EXPECT_EQ(load_u32le(archive.data() + 8), kUnit);
  EXPECT_EQ(load_u32le(archive.data() + 12), 0u);
  const uint32_t count = load_u32le(archive.data() + 4);
  ASSERT_GE(archive.size(), 16 + 16 * uint64_t(count));
  uint64_t next = (16 + 16 * uint64_t(count) + kUnit - 1) / kUnit * kUnit;
  for (uint32_t n = 0; n < count; ++n) {
    const Record r = record_of(archive, n);
    ASSERT_EQ(r.offset * kUnit, next) << "entry " << n;
    const uint64_t slot = (uint64_t(r.stored) + kUnit - 1) / kUnit * kUnit;
    ASSERT_LE(next + slot, archive.size()) << "entry " << n;
    for (uint64_t i = next + r.stored; i < next + slot; ++i)
      ASSERT_EQ(archive[i], 0) << "entry " << n;
    if (r.unpacked != 0) {
      size_t plain_chunks = 0;
      const std::optional<Bytes> content = decode(payload_of(archive, r), &plain_chunks);
      ASSERT_TRUE(content.has_value()) << "entry " << n;
      EXPECT_EQ(content->size(), r.unpacked) << "entry " << n;
    }
    next += slot;
  }
  EXPECT_EQ(next, archive.size());
}

TEST(SampleTool, DefaultArchiveHasTheDocumentedEntries) {
  OutputDir dir;
  ASSERT_EQ(run_sample_tool(quoted(dir.path)), 0);
  const Bytes archive = read_file(dir / "LINKDATA_EU_OS_EUNA.A");
  expect_well_formed(archive);
  if (HasFatalFailure()) return;
  ASSERT_EQ(load_u32le(archive.data() + 4), kFixedEntries);
  EXPECT_LT(archive.size(), 2u << 20);

  auto content = [&](uint32_t n, size_t* plain_chunks) {
    return decode(payload_of(archive, record_of(archive, n)), plain_chunks).value_or(Bytes{});
  };
  size_t plain_chunks = 0;

  EXPECT_EQ(record_of(archive, 0).stored, 0u);
  EXPECT_EQ(record_of(archive, 1).stored, 3000u);
  EXPECT_EQ(record_of(archive, 2).stored, 2048u);
  for (uint32_t n = 0; n < 4; ++n) EXPECT_EQ(record_of(archive, n).unpacked, 0u) << n;
  EXPECT_TRUE(has_texture_magic(payload_of(archive, record_of(archive, 3)), 0));
  for (uint32_t n = 4; n < kFixedEntries; ++n) EXPECT_NE(record_of(archive, n).unpacked, 0u) << n;

  EXPECT_EQ(content(5, &plain_chunks).size(), 200u * 1024);
  EXPECT_EQ(plain_chunks, 0u);
  EXPECT_EQ(content(6, &plain_chunks).size(), 38768u);
  EXPECT_EQ(plain_chunks, 1u);

  plain_chunks = 0;
  const Bytes textures = content(7, &plain_chunks);
  ASSERT_TRUE(has_texture_magic(textures, 0));
  EXPECT_EQ(load_u32le(textures.data() + 12), 0x20u);
  EXPECT_EQ(load_u32le(textures.data() + 16), 5u);

  const Bytes package = content(8, &plain_chunks);
  ASSERT_GE(package.size(), 16u);
  EXPECT_EQ(load_u32le(package.data()), 3u);
  const uint32_t sub1 = load_u32le(package.data() + 8);
  const uint32_t sub2 = load_u32le(package.data() + 12);
  EXPECT_FALSE(has_texture_magic(package, load_u32le(package.data() + 4)));
  EXPECT_TRUE(has_texture_magic(package, sub1));
  EXPECT_LT(sub1, sub2);
  EXPECT_LE(sub2, package.size());

  EXPECT_EQ(record_of(archive, 9).unpacked, 1u);
  EXPECT_EQ(record_of(archive, 10).unpacked, 32768u);
  EXPECT_EQ(record_of(archive, 11).unpacked, 32769u);
  EXPECT_EQ(content(12, &plain_chunks).size(), 10000u);
  EXPECT_EQ(plain_chunks, 0u);
}

TEST(SampleTool, SameArgumentsGiveIdenticalBytes) {
  OutputDir first;
  OutputDir second;
  ASSERT_EQ(run_sample_tool(quoted(first.path)), 0);
  ASSERT_EQ(run_sample_tool(quoted(second.path)), 0);
  const Bytes a = read_file(first / "LINKDATA_EU_OS_EUNA.A");
  ASSERT_FALSE(a.empty());
  EXPECT_TRUE(a == read_file(second / "LINKDATA_EU_OS_EUNA.A"));
}

TEST(SampleTool, SizedArchiveIsDeterministicAndNearItsSize) {
  OutputDir first;
  OutputDir second;
  OutputDir plain;
  ASSERT_EQ(run_sample_tool(quoted(first.path) + " b 6"), 0);
  ASSERT_EQ(run_sample_tool(quoted(second.path) + " B 6"), 0);
  ASSERT_EQ(run_sample_tool(quoted(plain.path)), 0);
  const Bytes sized = read_file(first / "LINKDATA_EU_OS_EUNA.B");
  expect_well_formed(sized);
  if (HasFatalFailure()) return;
  EXPECT_TRUE(sized == read_file(second / "LINKDATA_EU_OS_EUNA.B"));
  EXPECT_GE(sized.size(), 5u << 20);
  EXPECT_LE(sized.size(), 7u << 20);
  EXPECT_GT(load_u32le(sized.data() + 4), kFixedEntries);

  // The fixed entries come first, with the same payloads.
  const Bytes small = read_file(plain / "LINKDATA_EU_OS_EUNA.A");
  for (uint32_t n = 0; n < kFixedEntries; ++n) {
    EXPECT_TRUE(payload_of(sized, record_of(sized, n)) == payload_of(small, record_of(small, n)))
        << n;
  }
}

// Another level and the literal data give another well-formed archive of
// about the size asked for, the same one each time.
TEST(SampleTool, LevelAndLiteralDataOptions) {
  OutputDir first;
  OutputDir second;
  OutputDir plain;
  ASSERT_EQ(run_sample_tool("--level 1 --data literal " + quoted(first.path) + " A 6"), 0);
  ASSERT_EQ(run_sample_tool(quoted(second.path) + " --data literal A --level 1 6"), 0);
  ASSERT_EQ(run_sample_tool(quoted(plain.path) + " A 6"), 0);
  const Bytes archive = read_file(first / "LINKDATA_EU_OS_EUNA.A");
  expect_well_formed(archive);
  if (HasFatalFailure()) return;
  EXPECT_TRUE(archive == read_file(second / "LINKDATA_EU_OS_EUNA.A"));
  EXPECT_FALSE(archive == read_file(plain / "LINKDATA_EU_OS_EUNA.A"));
  EXPECT_GE(archive.size(), 5u << 20);
  EXPECT_LE(archive.size(), 7u << 20);
  // Level 1 writes its own header's level bits (FLEVEL 0), level 9 its own (3).
  const Record r = record_of(archive, 4);
  EXPECT_EQ(payload_of(archive, r)[9] >> 6, 0);
}

TEST(SampleTool, SmallModeAddsThatManySmallEntriesOfBothKinds) {
  OutputDir dir;
  OutputDir plain;
  ASSERT_EQ(run_sample_tool(quoted(dir.path) + " A small 300"), 0);
  ASSERT_EQ(run_sample_tool(quoted(plain.path)), 0);
  const Bytes archive = read_file(dir / "LINKDATA_EU_OS_EUNA.A");
  expect_well_formed(archive);
  if (HasFatalFailure()) return;
  ASSERT_EQ(load_u32le(archive.data() + 4), kFixedEntries + 300);
  const Bytes fixed = read_file(plain / "LINKDATA_EU_OS_EUNA.A");
  for (uint32_t n = 0; n < kFixedEntries; ++n) {
    EXPECT_TRUE(payload_of(archive, record_of(archive, n)) ==
                payload_of(fixed, record_of(fixed, n)))
        << n;
  }
  uint32_t compressed = 0;
  for (uint32_t n = kFixedEntries; n < kFixedEntries + 300; ++n) {
    const Record r = record_of(archive, n);
    const uint32_t size = r.unpacked != 0 ? r.unpacked : r.stored;
    EXPECT_GE(size, 200u) << n;
    EXPECT_LE(size, 8192u) << n;
    compressed += r.unpacked != 0;
  }
  EXPECT_GT(compressed, 150u);  // about two thirds
  EXPECT_LT(compressed, 250u);
}

TEST(SampleTool, RefusesBadArguments) {
  OutputDir dir;
  const std::string where = quoted(dir.path);
  EXPECT_EQ(run_sample_tool(""), 2);
  EXPECT_EQ(run_sample_tool(where + " AB"), 2);
  EXPECT_EQ(run_sample_tool(where + " 7"), 2);
  EXPECT_EQ(run_sample_tool(where + " A 0"), 2);
  EXPECT_EQ(run_sample_tool(where + " A 12x"), 2);
  EXPECT_EQ(run_sample_tool(where + " A 1 extra"), 2);
  EXPECT_EQ(run_sample_tool(where + " A small"), 2);
  EXPECT_EQ(run_sample_tool(where + " A small 0"), 2);
  EXPECT_EQ(run_sample_tool(where + " A small 1000001"), 2);
  EXPECT_EQ(run_sample_tool(where + " A big 10"), 2);
  EXPECT_EQ(run_sample_tool("--level 0 " + where), 2);
  EXPECT_EQ(run_sample_tool("--level 10 " + where), 2);
  EXPECT_EQ(run_sample_tool("--data text " + where), 2);
  EXPECT_EQ(run_sample_tool("--fast " + where), 2);
  EXPECT_EQ(run_sample_tool(where + " --level"), 2);
  EXPECT_FALSE(fs::exists(dir.path));
}

TEST(SampleTool, FailsWhenTheDirectoryCannotBeMade) {
  OutputDir dir;
  { std::ofstream(dir.path) << "a file, not a directory"; }
  EXPECT_EQ(run_sample_tool(quoted(dir.path)), 1);
}

}  // namespace
