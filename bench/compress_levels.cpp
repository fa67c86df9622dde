// What each deflate encoder makes of real data cut into the payload's 32 KiB
// blocks: the stored bytes (every block one zlib stream, framed as a payload)
// against zlib's compress2 at level 9, and the speed on one core.
//
//   compress_levels [--mib N] [--levels "1 6 9 12"] NAME=PATH [NAME=PATH...]
//
// PATH is a file or a folder (searched recursively, symlinks followed);
// several PATHs may share a NAME, which makes them one corpus. Files that are
// already compressed (.gz, .xz, .bz2, .zst, .zip, .png, .jpg) are left out,
// and each file counts with its first 4 MiB at most. When a corpus holds more
// than --mib MiB (default 48), every k-th file is taken, k chosen to fit.
// Prints one row per corpus and encoder, and a row for all corpora together.
// Each row also tells what the encoder takes back as import's fit fallback:
// the bytes saved by keeping, per block, the smaller of its stream and
// libdeflate level 7's (import's fast encoder, always measured), as a share
// of level 7's stored bytes and per second of the encoder's time.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr size_t kBlock = 32768;
constexpr uint64_t kFileCap = uint64_t(4) << 20;

bool already_compressed(const fs::path& p) {
  static const char* const kExtensions[] = {".gz", ".xz", ".bz2", ".zst", ".zip", ".png", ".jpg"};
  const std::string ext = p.extension().string();
  return std::any_of(std::begin(kExtensions), std::end(kExtensions),
                     [&](const char* e) { return ext == e; });
}

void list_files(const fs::path& root, std::vector<fs::path>* out) {
  std::error_code ec;
  if (fs::is_regular_file(root, ec)) {
    if (!already_compressed(root)) out->push_back(root);
    return;
  }
  const auto options = fs::directory_options::follow_directory_symlink |
                       fs::directory_options::skip_permission_denied;
  for (fs::recursive_directory_iterator it(root, options, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code e2;
    if (it->is_regular_file(e2) && !already_compressed(it->path())) out->push_back(it->path());
  }
}

Bytes read_head(const fs::path& p, uint64_t cap) {
  std::ifstream in(p, std::ios::binary);
  Bytes out(size_t(std::min<uint64_t>(cap, fs::file_size(p))));
  in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
  out.resize(size_t(in.gcount()));
  return out;
}

// An encoder: level 1-12 is libdeflate's zlib wrapper, 0 stands for zlib 9.
struct Encoder {
  int level = 0;
  libdeflate_compressor* ld = nullptr;
  std::string name() const { return level == 0 ? "zlib 9" : "libdeflate " + std::to_string(level); }
  size_t compress(const uint8_t* src, size_t n, Bytes* out) const {
    if (level == 0) {
      uLongf len = uLongf(out->size());
      return compress2(out->data(), &len, src, uLong(n), 9) == Z_OK ? size_t(len) : 0;
    }
    return libdeflate_zlib_compress(ld, src, n, out->data(), out->size());
  }
};

struct Tally {
  uint64_t source = 0;
  uint64_t stored = 0;      // payload bytes: 4 + sum(4 + L) + 4 per file
  uint64_t taken_back = 0;  // saved beside level 7, block by block
  double seconds = 0;
};

struct Corpus {
  std::string name;
  std::vector<fs::path> files;
};

void add(Tally& into, const Tally& t) {
  into.source += t.source;
  into.stored += t.stored;
  into.taken_back += t.taken_back;
  into.seconds += t.seconds;
}

int usage() {
  std::fprintf(
      stderr,
      "usage: compress_levels [--mib N] [--levels \"1 6 9 12\"] NAME=PATH [NAME=PATH...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t budget = uint64_t(48) << 20;
  std::vector<int> levels = {1, 3, 4, 5, 6, 7, 8, 9, 10, 12};
  std::vector<Corpus> corpora;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mib" && i + 1 < argc) {
      budget = std::stoull(argv[++i]) << 20;
    } else if (arg == "--levels" && i + 1 < argc) {
      levels.clear();
      std::istringstream in(argv[++i]);
      for (int l; in >> l;) {
        if (l < 1 || l > 12) return usage();
        levels.push_back(l);
      }
    } else if (arg.find('=') != std::string::npos) {
      const std::string name = arg.substr(0, arg.find('='));
      auto it = std::find_if(corpora.begin(), corpora.end(),
                             [&](const Corpus& c) { return c.name == name; });
      if (it == corpora.end()) it = corpora.insert(corpora.end(), Corpus{name, {}});
      list_files(arg.substr(arg.find('=') + 1), &it->files);
    } else {
      return usage();
    }
  }
  if (corpora.empty()) return usage();
  if (std::find(levels.begin(), levels.end(), 7) == levels.end()) levels.push_back(7);
  const size_t fast = size_t(std::find(levels.begin(), levels.end(), 7) - levels.begin()) + 1;

  std::vector<Encoder> encoders(1);  // zlib 9 first: the yardstick
  for (int l : levels) encoders.push_back(Encoder{l, libdeflate_alloc_compressor(l)});
  Bytes out(compressBound(kBlock) + 64);
  std::map<std::string, std::vector<Tally>> tallies;
  std::vector<Tally> all(encoders.size());

  for (Corpus& c : corpora) {
    std::sort(c.files.begin(), c.files.end());
    uint64_t total = 0;
    std::error_code ec;
    for (const fs::path& p : c.files) total += std::min<uint64_t>(kFileCap, fs::file_size(p, ec));
    const size_t stride = size_t(std::max<uint64_t>(1, (total + budget - 1) / budget));
    std::vector<Tally>& t = tallies[c.name];
    t.resize(encoders.size());
    for (size_t f = 0; f < c.files.size(); f += stride) {
      const Bytes src = read_head(c.files[f], kFileCap);
      if (src.empty()) continue;
      std::vector<std::vector<size_t>> lengths(encoders.size());
      for (size_t e = 0; e < encoders.size(); ++e) {
        t[e].source += src.size();
        t[e].stored += 8;
        const Clock::time_point start = Clock::now();
        for (size_t pos = 0; pos < src.size(); pos += kBlock) {
          const size_t n = std::min(kBlock, src.size() - pos);
          const size_t len = encoders[e].compress(src.data() + pos, n, &out);
          if (len == 0 || out[0] != 0x78) {
            std::fprintf(stderr, "%s failed on %s\n", encoders[e].name().c_str(),
                         c.files[f].c_str());
            return 1;
          }
          t[e].stored += 4 + len;
          lengths[e].push_back(len);
        }
        t[e].seconds += std::chrono::duration<double>(Clock::now() - start).count();
      }
      for (size_t e = 0; e < encoders.size(); ++e) {
        for (size_t b = 0; b < lengths[e].size(); ++b) {
          t[e].taken_back += lengths[fast][b] - std::min(lengths[fast][b], lengths[e][b]);
        }
      }
    }
    for (size_t e = 0; e < encoders.size(); ++e) add(all[e], t[e]);
  }

  std::printf(
      "| corpus | encoder | source MiB | stored MiB | stored / zlib 9 | MiB/s, 1 core "
      "| taken back beside libdeflate 7 | KiB taken back per s |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  const auto print = [&](const std::string& name, const std::vector<Tally>& t) {
    for (size_t e = 0; e < encoders.size(); ++e) {
      std::printf("| %s | %s | %.1f | %.2f | %.4f | %.1f | %.3f%% | %.1f |\n", name.c_str(),
                  encoders[e].name().c_str(), t[e].source / 1048576.0, t[e].stored / 1048576.0,
                  double(t[e].stored) / double(t[0].stored),
                  t[e].seconds > 0 ? t[e].source / 1048576.0 / t[e].seconds : 0.0,
                  100.0 * double(t[e].taken_back) / double(t[fast].stored),
                  t[e].seconds > 0 ? t[e].taken_back / 1024.0 / t[e].seconds : 0.0);
    }
  };
  for (const Corpus& c : corpora) print(c.name, tallies[c.name]);
  print("all", all);
  for (Encoder& e : encoders) libdeflate_free_compressor(e.ld);
  return 0;
}
