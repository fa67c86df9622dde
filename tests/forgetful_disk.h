// A disk for crash tests, fed by the file-change hook: it keeps what was
// flushed for sure, and of everything else only what a crash happens to
// leave, each unflushed write kept, lost or torn, and one of them spoilt as
// a power cut can: cut at any byte, or a sector of it zeroed or garbage.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/file_change_hook.h"
#include "platform/text_encoding.h"
#include "test_support.h"

namespace linkdata::test {

// A disk that keeps what was flushed for sure, and of everything else only
// what a crash happens to leave.

enum class Fate { kept, lost, torn };

class ForgetfulDisk {
 public:
  ForgetfulDisk(uint64_t crash_at, uint32_t seed) : crash_at_(crash_at), random_(seed) {}

  // Follows one change; throws Crash at the chosen one, once it is made.
  bool follow(const platform::FileChange& c) {
    if (crashed_) return false;  // nothing reaches the disk after the crash
    if (c.kind == platform::FileChangeKind::close) return true;
    const std::string path = to_utf8(c.path);
    if (c.kind == platform::FileChangeKind::flush_folder) {
      for (auto& [name, f] : files_) {
        f.name_durable = f.exists;
        if (!f.exists) {  // its removal is final: a file of that name starts empty
          f.durable.clear();
          f.pending.clear();
        }
      }
    } else {
      TrackedFile& f = tracked(path);
      switch (c.kind) {
        case platform::FileChangeKind::create:
          f.exists = true;
          f.pending.push_back({true, 0, {}});
          break;
        case platform::FileChangeKind::replace:
          f.exists = true;
          break;
        case platform::FileChangeKind::write: {
          const uint8_t* p = static_cast<const uint8_t*>(c.data);
          f.pending.push_back({false, c.position, Bytes(p, p + c.size)});
          break;
        }
        case platform::FileChangeKind::resize:
          f.pending.push_back({true, c.position, {}});
          break;
        case platform::FileChangeKind::flush:
          for (const Op& op : f.pending) apply(op, &f.durable);
          f.pending.clear();
          break;
        case platform::FileChangeKind::remove:
          f.exists = false;
          break;
        case platform::FileChangeKind::rename: {
          // The content goes with the name. Each name is as durable as a
          // created or removed one; an old name that a crash keeps holds
          // the same content, as a hard link would.
          TrackedFile& to = tracked(to_utf8(*c.new_path));
          to.exists = true;
          to.durable = f.durable;
          to.pending = f.pending;
          f.exists = false;
          break;
        }
        case platform::FileChangeKind::exchange:
          std::swap(f, tracked(to_utf8(*c.new_path)));
          break;
        default:
          break;
      }
    }
    if (++changes_ == crash_at_) {
      crashed_ = true;
      throw Crash{};
    }
    return true;
  }

  // Writes to the real files what the disk holds after the crash. One write
  // of them all, if any is pending, is spoilt as a crash can spoil a write
  // inside a sector: cut at any byte, or one of its sectors left as zeros
  // or garbage.
  void crash() {
    for (const auto& [path, f] : files_) {
      if (f.unread) throw std::runtime_error("the disk could not take in " + path + ": watch it");
    }
    size_t candidates = 0;
    for (auto& [path, f] : files_) {
      for (const Op& op : f.pending) candidates += !op.resize && !op.bytes.empty();
    }
    size_t spoilt_one = candidates == 0 ? SIZE_MAX : random_() % candidates;
    for (auto& [path, f] : files_) {
      // A name created or removed since the folder's last flush may or may
      // not have survived.
      const bool exists = f.name_durable == f.exists ? f.exists : coin();
      Bytes content = f.durable;
      for (const Op& op : f.pending) {
        if (!op.resize && !op.bytes.empty() && spoilt_one-- == 0) {
          const Spoil kind = Spoil(random_() % 3);
          ++spoils[size_t(kind)];
          spoil(op, kind, &content);
          continue;
        }
        const Fate fate = op.resize ? (coin() ? Fate::kept : Fate::lost) : pick_fate();
        ++fates[size_t(fate)];
        if (fate == Fate::kept) apply(op, &content);
        if (fate == Fate::torn) apply(torn(op), &content);
      }
      if (exists) {
        write_file(path, content);
      } else {
        std::filesystem::remove(path);
      }
    }
  }

  // Takes in a file as it is now. Files are taken in at their first change
  // otherwise, but on Windows the tool's handle does not let others read.
  void watch(const std::string& path) { tracked(path); }

  uint64_t changes() const { return changes_; }
  struct Crash {};
  uint64_t fates[3] = {0, 0, 0};
  enum class Spoil { cut_at_a_byte, sector_zeroed, sector_garbage };
  uint64_t spoils[3] = {0, 0, 0};

 private:
  struct Op {
    bool resize;  // resize to `position`, else write `bytes` there
    uint64_t position;
    Bytes bytes;
  };
  struct TrackedFile {
    bool exists = false, name_durable = false;
    bool unread = false;  // could not be taken in: a crash would lose what it held
    Bytes durable;
    std::vector<Op> pending;
  };

  TrackedFile& tracked(const std::string& path) {
    auto it = files_.find(path);
    if (it != files_.end()) return it->second;
    TrackedFile f;
    f.exists = f.name_durable = std::filesystem::exists(path);
    if (f.exists) {
      f.durable = read_file(path);
      // On Windows a file the tool holds open cannot be read by others.
      f.unread = f.durable.size() != std::filesystem::file_size(path);
    }
    return files_.emplace(path, std::move(f)).first->second;
  }

  static void apply(const Op& op, Bytes* content) {
    if (op.resize) {
      content->resize(size_t(op.position), 0);
      return;
    }
    const size_t end = size_t(op.position) + op.bytes.size();
    if (content->size() < end) content->resize(end, 0);
    std::copy(op.bytes.begin(), op.bytes.end(), content->begin() + long(op.position));
  }

  // The write cut at a 512-byte boundary of the file inside it: the sectors
  // before it reached the disk, the rest did not.
  Op torn(const Op& op) {
    const uint64_t first = op.position / 512 + 1, last = (op.position + op.bytes.size() - 1) / 512;
    if (op.bytes.empty() || first > last) return {false, op.position, {}};
    const uint64_t cut = std::uniform_int_distribution<uint64_t>(first, last)(random_) * 512;
    return {false, op.position,
            Bytes(op.bytes.begin(), op.bytes.begin() + long(cut - op.position))};
  }

  void spoil(const Op& op, Spoil kind, Bytes* content) {
    if (kind == Spoil::cut_at_a_byte) {
      const size_t cut = std::uniform_int_distribution<size_t>(0, op.bytes.size() - 1)(random_);
      apply({false, op.position, Bytes(op.bytes.begin(), op.bytes.begin() + long(cut))}, content);
      return;
    }
    // The whole sector is rewritten, bytes around the write's own included.
    apply(op, content);
    const uint64_t sector = std::uniform_int_distribution<uint64_t>(
        op.position / 512, (op.position + op.bytes.size() - 1) / 512)(random_);
    const size_t from = size_t(sector * 512), to = std::min(content->size(), from + 512);
    for (size_t i = from; i < to; ++i) {
      (*content)[i] = kind == Spoil::sector_zeroed ? 0 : uint8_t(random_());
    }
  }

  bool coin() { return random_() % 2 == 0; }
  Fate pick_fate() { return Fate(random_() % 3); }

  uint64_t crash_at_;
  uint64_t changes_ = 0;
  bool crashed_ = false;
  std::mt19937 random_;
  std::map<std::string, TrackedFile> files_;
};

}  // namespace linkdata::test
