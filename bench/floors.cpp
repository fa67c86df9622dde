// Lower bounds for the benchmark, on one core, on the benchmark's own data:
//
//   floors inflate ARCHIVE   zlib uncompress of every zlib chunk of every
//                            compressed entry, into a 64 KiB buffer
//   floors compress DIR      zlib compress2 at level 9 of every 32 KiB block
//                            of every *.data file in DIR
//
// Only the zlib calls are timed; reading the files is not. Prints
// "<seconds> <bytes>" (bytes of content inflated, or of source compressed).
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/little_endian.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

Bytes read_range(std::ifstream& in, uint64_t pos, uint64_t n) {
  Bytes out(n, 0);
  in.seekg(std::streamoff(pos));
  in.read(reinterpret_cast<char*>(out.data()), std::streamsize(n));
  in.clear();
  return out;
}

int inflate_floor(const char* path) {
  std::ifstream in(path, std::ios::binary);
  const Bytes header = read_range(in, 0, 16);
  const uint32_t count = linkdata::load_u32le(header.data() + 4);
  const uint32_t unit = linkdata::load_u32le(header.data() + 8);
  const Bytes index = read_range(in, 16, uint64_t(count) * 16);
  Bytes out(65536);
  double seconds = 0;
  uint64_t produced = 0;
  for (uint32_t n = 0; n < count; ++n) {
    const uint8_t* r = index.data() + uint64_t(n) * 16;
    if (linkdata::load_u32le(r + 12) == 0) continue;  // plain
    const uint32_t stored = linkdata::load_u32le(r + 8);
    const Bytes p = read_range(in, linkdata::load_u64le(r) * unit, stored);
    const Clock::time_point start = Clock::now();
    for (uint64_t pos = 4; pos + 4 <= p.size();) {
      const uint32_t len = linkdata::load_u32le(p.data() + pos);
      pos += 4;
      if (len == 0) continue;
      if (len > p.size() - pos) break;
      if (p[pos] == 0x78) {
        uLongf got = uLongf(out.size());
        if (uncompress(out.data(), &got, p.data() + pos, len) == Z_OK) produced += got;
      } else {
        produced += len;
      }
      pos += len;
    }
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  std::printf("%.4f %llu\n", seconds, static_cast<unsigned long long>(produced));
  return 0;
}

int compress_floor(const char* dir) {
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.path().extension() == ".data") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  Bytes out(compressBound(32768));
  double seconds = 0;
  uint64_t consumed = 0;
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    const Bytes src = read_range(in, 0, std::filesystem::file_size(f));
    const Clock::time_point start = Clock::now();
    for (size_t pos = 0; pos < src.size(); pos += 32768) {
      const uLong n = uLong(std::min<size_t>(32768, src.size() - pos));
      uLongf got = uLongf(out.size());
      if (compress2(out.data(), &got, src.data() + pos, n, 9) != Z_OK) return 1;
    }
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    consumed += src.size();
  }
  std::printf("%.4f %llu\n", seconds, static_cast<unsigned long long>(consumed));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "inflate") return inflate_floor(argv[2]);
  if (argc == 3 && std::string(argv[1]) == "compress") return compress_floor(argv[2]);
  std::fprintf(stderr, "usage: floors inflate ARCHIVE | floors compress DIR\n");
  return 2;
}
