// The files the tool writes and reads in its working folders, where links,
// FIFOs and strangers' files may lie: an export stopped at any change leaves
// each file old or new, links are replaced or left alone but never written
// through, and nothing but a regular file is ever opened.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive/modes/export.h"
#include "platform/file_change_hook.h"
#include "platform/text_encoding.h"
#include "platform/whole_file.h"
#include "platform/working_paths.h"
#include "test_support.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace linkdata::test {
namespace {

namespace fs = std::filesystem;

// Every file under a folder, by its path relative to it, with its bytes.
// The files export writes under `dir`, by name; not the empty file that
// exports of one letter take turns on.
std::map<std::string, Bytes> files_under(const std::string& dir) {
  std::map<std::string, Bytes> out;
  if (!fs::exists(fs::u8path(dir))) return out;
  for (const auto& e : fs::recursive_directory_iterator(fs::u8path(dir))) {
    if (e.is_regular_file() && e.path().filename() != ".linkdata-export.lock") {
      out[fs::relative(e.path(), fs::u8path(dir)).generic_u8string()] =
          read_file(e.path().u8string());
    }
  }
  return out;
}

bool export_sample(const char* flags) {
  bool ok = false;
  capture_stdout([&] {
    ok = run_export(7, 8,
                    TextureOutput{std::string(flags).find('y') != std::string::npos,
                                  std::string(flags).find('p') != std::string::npos},
                    L"LINKDATA_EU_OS_EUNA.A", L"A");
  });
  return ok;
}

// An export over older files, stopped at each of its changes in turn: from
// there on no change reaches the disk, as at a crash. Every file is then its
// old bytes or its new ones, never a part of either, and the next export
// leaves every file new and no temporary file behind.
TEST(WorkingFiles, ExportStoppedAtAnyChangeLeavesEachFileOldOrNew) {
  InScratchDir here;
  ASSERT_EQ(std::system((std::string(LINKDATA_SAMPLE_BINARY) + " . A").c_str()), 0);
  ASSERT_TRUE(export_sample("yp"));
  const std::map<std::string, Bytes> fresh = files_under("Extracted");
  ASSERT_GT(fresh.size(), 10u);  // .data, .dds and .png files and the gallery page
  std::map<std::string, Bytes> old;
  for (const auto& [name, bytes] : fresh) {
    old[name] = Bytes(bytes.size() + 1000, uint8_t(name.size()));  // longer than the new
  }
  std::atomic<uint64_t> changes{0};
  for (const auto& [name, bytes] : old) write_file("Extracted/" + name, bytes);
  platform::set_file_change_hook([&](const platform::FileChange&) {
    ++changes;
    return true;
  });
  export_sample("yp");
  platform::set_file_change_hook({});
  const uint64_t total = changes.load();
  ASSERT_GT(total, fresh.size() * 3);  // made, written and renamed, at least
  for (uint64_t stop = 1; stop <= total; ++stop) {
    for (const auto& [name, bytes] : old) write_file("Extracted/" + name, bytes);
    changes = 0;
    platform::set_file_change_hook([&](const platform::FileChange&) { return ++changes < stop; });
    export_sample("yp");
    platform::set_file_change_hook({});
    const std::map<std::string, Bytes> found = files_under("Extracted");
    for (const auto& [name, bytes] : fresh) {
      const auto it = found.find(name);
      ASSERT_NE(it, found.end()) << "stop " << stop << " " << name;
      EXPECT_TRUE(it->second == bytes || it->second == old[name]) << "stop " << stop << " " << name;
    }
    for (const auto& [name, bytes] : found) {  // beyond those, temporary files alone
      if (fresh.count(name) == 0) {
        EXPECT_EQ(fs::path(name).extension(), ".tmp") << stop << " " << name;
      }
    }
    ASSERT_TRUE(export_sample("yp")) << stop;
    EXPECT_EQ(files_under("Extracted"), fresh) << stop;
  }
}

// A file written over an old one is left as it is when every byte is the
// same (not one change made), and is otherwise the new bytes whole, wherever
// the first difference lies; a link is replaced, never read or written
// through.
TEST(WorkingFiles, WholeFileLeavesAnEqualFileAndWritesAnyOtherWhole) {
  InScratchDir here;
  const Bytes fresh = pattern_bytes(200000, 3);  // more than one piece compared at a time
  auto differing_at = [&](size_t at) {
    Bytes b = fresh;
    b[at] ^= 1;
    return b;
  };
  Bytes longer = fresh;
  longer.push_back(0);
  struct Case {
    const char* what;
    std::optional<Bytes> old;
    bool unchanged;
  };
  const Case cases[] = {{"none", std::nullopt, false},
                        {"the same", fresh, true},
                        {"first byte", differing_at(0), false},
                        {"past the first pieces", differing_at(150000), false},
                        {"last byte", differing_at(fresh.size() - 1), false},
                        {"longer", longer, false}};
  for (const Case& c : cases) {
    fs::remove("f");
    if (c.old) write_file("f", *c.old);
    uint64_t changes = 0;
    platform::set_file_change_hook([&](const platform::FileChange&) { return ++changes > 0; });
    {
      WholeFile f(L"f", fresh.size());
      EXPECT_TRUE(f.write_at(0, fresh.data(), 100000) &&
                  f.write_at(100000, fresh.data() + 100000, fresh.size() - 100000) && f.finish())
          << c.what;
    }
    platform::set_file_change_hook({});
    drop_spare_files();  // the old file, swapped out as a spare
    EXPECT_EQ(read_file("f"), fresh) << c.what;
    EXPECT_EQ(changes == 0, c.unchanged) << c.what;
    EXPECT_FALSE(file_exists("f.tmp")) << c.what;
  }
#ifndef _WIN32
  write_file("outside", fresh);
  fs::remove("f");
  fs::create_symlink("outside", "f");
  {
    WholeFile f(L"f", fresh.size());
    EXPECT_TRUE(f.write_at(0, fresh.data(), fresh.size()) && f.finish());
  }
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status("f")));
  EXPECT_EQ(read_file("f"), fresh);
#endif
}

// An export over its own earlier files changes nothing but what differs:
// an equal file is left as it is (its bytes compared where the entry was
// decoded), a leftover temporary file beside it goes, and a link at a
// file's name is replaced, the file it leads to never read or written.
TEST(WorkingFiles, ExportAgainChangesOnlyWhatDiffers) {
  InScratchDir here;
  ASSERT_EQ(std::system((std::string(LINKDATA_SAMPLE_BINARY) + " . A").c_str()), 0);
  ASSERT_TRUE(export_sample(""));
  const std::map<std::string, Bytes> fresh = files_under("Extracted");
  ASSERT_EQ(fresh.size(), 2u);
  write_file("Extracted/A/7.data.tmp", Bytes(10, 1));  // as an interrupted run leaves it
#ifndef _WIN32
  write_file("outside", fresh.at("A/8.data"));
  fs::remove("Extracted/A/8.data");
  fs::create_symlink(fs::absolute("outside"), "Extracted/A/8.data");
#endif
  std::vector<std::string> changes_of_7;
  platform::set_file_change_hook([&](const platform::FileChange& c) {
    const std::string path = to_utf8(c.path);
    if (path.find("7.data") != std::string::npos) {
      changes_of_7.push_back(std::to_string(int(c.kind)) + " " + path);
    }
    return true;
  });
  ASSERT_TRUE(export_sample(""));
  platform::set_file_change_hook({});
  EXPECT_EQ(files_under("Extracted"), fresh);
  const std::vector<std::string> tmp_removed = {
      std::to_string(int(platform::FileChangeKind::remove)) + " " +
      to_utf8(join_path(join_path(L"Extracted", L"A"), L"7.data.tmp"))};
  EXPECT_EQ(changes_of_7, tmp_removed);
#ifndef _WIN32
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status("Extracted/A/8.data")));
  EXPECT_EQ(read_file("outside"), fresh.at("A/8.data"));
#endif
}

#ifndef _WIN32
std::string exported(const std::string& n) {
  return "从 LINKDATA_EU_OS_EUNA.A 中导出文件 Extracted/A/" + n + ".data 成功！\n";
}

struct Sample {
  ScratchDir dir;
  Sample() {
    const std::string sample = std::string(LINKDATA_SAMPLE_BINARY) + " " + dir.path + " A";
    EXPECT_EQ(std::system(sample.c_str()), 0);
    fs::create_directories(dir / "Extracted/A/Textures/7");
    fs::create_directories(dir / "Import/A/Textures/7");
  }
  // The tool, ended by SIGALRM should it hang, so that a run that blocks
  // fails the test instead of holding it for ever. The bound is far above
  // what a run of the sample takes on a loaded machine (well under a second
  // here), so only a run that waits reaches it.
  RunResult run(const std::vector<std::string>& args) const {
    int fd = -1;
    const int pid = start_tool(
        dir.path, args, {}, [] { alarm(300); }, &fd);
    return finish_tool(pid, fd);
  }
};

// Links planted where the tool writes, to places outside the game folder:
// a link in place of a file is replaced by the file, a link in place of a
// texture folder is named and not entered, and nothing outside changes.
TEST(WorkingFiles, LinksInTheWorkingFoldersAreNeverWrittenThrough) {
  struct Case {
    const char* name;
    const char* link;  // in the game folder, to a file or folder outside it
    bool to_folder;
    std::vector<std::string> args;
    std::string said;  // what the run says, beyond the lines of imports
    int status;
  };
  const std::vector<Case> cases = {
      {"exported file", "Extracted/A/7.data", false, {"e", "a", "7", "7"}, exported("7"), 0},
      {"its temporary name",
       "Extracted/A/7.data.tmp",
       false,
       {"e", "a", "7", "7"},
       exported("7"),
       0},
      {"gallery page",
       "Extracted/A/Textures/index.html",
       false,
       {"e", "a", "7", "7", "p"},
       exported("7"),
       0},
      {"texture folder",
       "Extracted/A/Textures/7",
       true,
       {"e", "a", "7", "8", "yp"},
       "Extracted/A/Textures/7 是链接，未写入其中的文件！\n" + exported("7") + exported("8"),
       1},
      {"temporary file of originals",
       "LINKDATA_EU_OS_EUNA.A-original.new",
       false,
       {"i", "a"},
       "",
       0},
  };
  for (const Case& c : cases) {
    Sample s;
    ScratchDir outside;
    const std::string target = outside / "target";
    if (c.to_folder) {
      fs::remove_all(s.dir / c.link);
      fs::create_directories(target);
    } else {
      write_file(target, text_bytes("outside"));
    }
    fs::create_symlink(target, s.dir / c.link);
    write_file(s.dir / "Import/A/8.data", text_bytes("edited"));
    const RunResult r = s.run(c.args);
    std::string said = r.out;
    if (c.args[0] == "i") said = said.substr(said.find('\n') + 1);  // the import's line
    EXPECT_EQ(said, c.said) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
    if (c.to_folder) {
      EXPECT_TRUE(fs::is_empty(target)) << c.name;
      EXPECT_TRUE(fs::is_symlink(s.dir / c.link)) << c.name;  // not the tool's to remove
      EXPECT_TRUE(fs::exists(s.dir / "Extracted/A/Textures/8/1_0.png")) << c.name;
    } else {
      EXPECT_EQ(read_file(target), text_bytes("outside")) << c.name;
      EXPECT_FALSE(fs::is_symlink(s.dir / c.link)) << c.name;
    }
    if (c.args[0] == "i") {
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(s.dir / kOriginals))) << c.name;
    }
  }
}

// A FIFO where the tool reads or writes: the run never waits on it, names
// what it skips, and ends, its lock released, so that the same run again
// gives the same result instead of finding the archive busy.
TEST(WorkingFiles, FifosAreSkippedOrReplacedWithoutWaiting) {
  struct Case {
    const char* fifo;
    std::vector<std::string> args;
    std::string said;  // the run's first line
    int status;
  };
  const std::vector<Case> cases = {
      {"Import/A/3.data", {"i", "a"}, "3.data 不是普通文件，已跳过！\n", 1},
      {"Import/A/Textures/7/0_0.png",
       {"i", "a"},
       "Import/A/Textures/7/0_0.png 不是普通文件，已跳过！\n",
       1},
      {"Extracted/A/Textures/100/9_9.png",
       {"e", "a", "7", "7", "p"},
       exported("7") + "Extracted/A/Textures/100/9_9.png 不是普通文件，已跳过！\n",
       1},
      {"Extracted/A/7.data", {"e", "a", "7", "7"}, exported("7"), 0},
  };
  for (const Case& c : cases) {
    Sample s;
    fs::create_directories(fs::path(s.dir / c.fifo).parent_path());
    ASSERT_EQ(mkfifo((s.dir / c.fifo).c_str(), 0644), 0) << c.fifo;
    write_file(s.dir / "Import/A/8.data", text_bytes("edited"));
    for (int run = 0; run < 2; ++run) {
      const RunResult r = s.run(c.args);
      EXPECT_EQ(r.out.substr(0, c.said.size()), c.said) << c.fifo << " " << run << r.out;
      EXPECT_EQ(r.status, c.status) << c.fifo << " " << run;
    }
    if (c.args[0] == "i") {
      EXPECT_NE(s.run({"l", "a", "8", "8"}).out.find("\t1\n"), std::string::npos) << c.fifo;
    } else if (c.status == 0) {
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(s.dir / c.fifo))) << c.fifo;
    } else {
      EXPECT_TRUE(fs::is_regular_file(s.dir / "Extracted/A/Textures/index.html")) << c.fifo;
    }
  }
}
#endif

}  // namespace
}  // namespace linkdata::test
