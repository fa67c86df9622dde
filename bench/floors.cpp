// Lower bounds for the benchmark, on one core, on the benchmark's own data:
//
//   floors inflate ARCHIVE     zlib uncompress of every zlib chunk of every
//                              compressed entry, into a 64 KiB buffer
//   floors libdeflate ARCHIVE  the same chunks with libdeflate_zlib_decompress
//   floors compress DIR        zlib compress2 at level 9 of every 32 KiB block
//                              of every *.data file in DIR; prints the bytes
//                              its payloads would take as a third figure
//   floors write ARCHIVE DIR   the files an export of every entry writes:
//                              DIR/<n>.data of the entry's content size (the
//                              unpacked size of a compressed entry, the stored
//                              size of a plain one), each created or replaced
//                              with one open, write and close
//   floors rewrite ARCHIVE DIR the same files rewritten in place, as export
//                              writes them: opened without truncation,
//                              written, cut to length, closed
//
// Only the library calls are timed, or for write the whole loop of file
// calls; reading the archive or the files is not. Prints "<seconds> <bytes>"
// (bytes of content inflated, of source compressed, or of files written).
#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>
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

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int print_result(double seconds, uint64_t bytes) {
  std::printf("%.4f %llu\n", seconds, static_cast<unsigned long long>(bytes));
  return 0;
}

Bytes read_range(std::ifstream& in, uint64_t pos, uint64_t n) {
  Bytes out(n, 0);
  in.seekg(std::streamoff(pos));
  in.read(reinterpret_cast<char*>(out.data()), std::streamsize(n));
  in.clear();
  return out;
}

struct Record {
  uint64_t offset;  // in offset units
  uint32_t stored;
  uint32_t unpacked;  // 0: plain
};

struct Archive {
  std::ifstream in;
  uint32_t unit = 0;
  std::vector<Record> records;
};

void open_archive(const char* path, Archive* a) {
  a->in.open(path, std::ios::binary);
  const Bytes header = read_range(a->in, 0, 16);
  const uint32_t count = linkdata::load_u32le(header.data() + 4);
  a->unit = linkdata::load_u32le(header.data() + 8);
  const Bytes index = read_range(a->in, 16, uint64_t(count) * 16);
  for (uint32_t n = 0; n < count; ++n) {
    const uint8_t* r = index.data() + uint64_t(n) * 16;
    a->records.push_back(
        {linkdata::load_u64le(r), linkdata::load_u32le(r + 8), linkdata::load_u32le(r + 12)});
  }
}

// inflate(src, len, out, &produced): true when the chunk inflated.
template <typename Inflate>
int inflate_floor(const char* path, Inflate inflate) {
  Archive a;
  open_archive(path, &a);
  Bytes out(65536);
  double seconds = 0;
  uint64_t produced = 0;
  for (const Record& r : a.records) {
    if (r.unpacked == 0) continue;
    const Bytes p = read_range(a.in, r.offset * a.unit, r.stored);
    const Clock::time_point start = Clock::now();
    for (uint64_t pos = 4; pos + 4 <= p.size();) {
      const uint32_t len = linkdata::load_u32le(p.data() + pos);
      pos += 4;
      if (len == 0) continue;
      if (len > p.size() - pos) break;
      size_t got = 0;
      if (p[pos] != 0x78) {
        produced += len;
      } else if (inflate(p.data() + pos, len, &out, &got)) {
        produced += got;
      }
      pos += len;
    }
    seconds += seconds_since(start);
  }
  return print_result(seconds, produced);
}

bool zlib_inflate(const uint8_t* src, uint32_t len, Bytes* out, size_t* got) {
  uLongf n = uLongf(out->size());
  if (uncompress(out->data(), &n, src, len) != Z_OK) return false;
  *got = n;
  return true;
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
  uint64_t stored = 0;  // the payloads: 4 + sum(4 + L) + 4 a file
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    const Bytes src = read_range(in, 0, std::filesystem::file_size(f));
    const Clock::time_point start = Clock::now();
    for (size_t pos = 0; pos < src.size(); pos += 32768) {
      const uLong n = uLong(std::min<size_t>(32768, src.size() - pos));
      uLongf got = uLongf(out.size());
      if (compress2(out.data(), &got, src.data() + pos, n, 9) != Z_OK) return 1;
      stored += 4 + got;
    }
    seconds += seconds_since(start);
    consumed += src.size();
    stored += 8;
  }
  std::printf("%.4f %llu %llu\n", seconds, static_cast<unsigned long long>(consumed),
              static_cast<unsigned long long>(stored));
  return 0;
}

bool write_file(const std::string& name, const uint8_t* data, uint64_t size, bool in_place) {
  const int fd =
      ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (in_place ? 0 : O_TRUNC), 0666);
  if (fd < 0) return false;
  uint64_t done = 0;
  while (done < size) {
    const ssize_t w = ::write(fd, data + done, size - done);
    if (w <= 0) break;
    done += uint64_t(w);
  }
  const bool cut = !in_place || ::ftruncate(fd, off_t(size)) == 0;
  return ::close(fd) == 0 && cut && done == size;
}

int write_floor(const char* path, const std::string& dir, bool in_place) {
  Archive a;
  open_archive(path, &a);
  std::vector<uint64_t> sizes;
  for (const Record& r : a.records) sizes.push_back(r.unpacked != 0 ? r.unpacked : r.stored);
  std::vector<std::string> names;
  for (size_t n = 0; n < sizes.size(); ++n)
    names.push_back(dir + "/" + std::to_string(n) + ".data");
  // Touched once here so that no page fault lands in the timed loop.
  const Bytes data(sizes.empty() ? 0 : *std::max_element(sizes.begin(), sizes.end()), 0x5A);
  uint64_t written = 0;
  const Clock::time_point start = Clock::now();
  for (size_t n = 0; n < sizes.size(); ++n) {
    if (!write_file(names[n], data.data(), sizes[n], in_place)) {
      std::perror(names[n].c_str());
      return 1;
    }
    written += sizes[n];
  }
  return print_result(seconds_since(start), written);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (argc == 3 && mode == "inflate") return inflate_floor(argv[2], zlib_inflate);
  if (argc == 3 && mode == "libdeflate") {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    if (d == nullptr) return 1;
    const int status =
        inflate_floor(argv[2], [d](const uint8_t* src, uint32_t len, Bytes* out, size_t* got) {
          return libdeflate_zlib_decompress(d, src, len, out->data(), out->size(), got) ==
                 LIBDEFLATE_SUCCESS;
        });
    libdeflate_free_decompressor(d);
    return status;
  }
  if (argc == 3 && mode == "compress") return compress_floor(argv[2]);
  if (argc == 4 && mode == "write") return write_floor(argv[2], argv[3], false);
  if (argc == 4 && mode == "rewrite") return write_floor(argv[2], argv[3], true);
  std::fprintf(stderr,
               "usage: floors inflate ARCHIVE | floors libdeflate ARCHIVE | floors compress DIR"
               " | floors write ARCHIVE DIR | floors rewrite ARCHIVE DIR\n");
  return 2;
}
