// Mods as named layers (mode m): their record, installing over and beside
// each other, taking them out in any order, the player's own imports and
// restores in between, and a crash at every archive write.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/format/package.h"
#include "archive/modes/gallery_notes.h"
#include "archive/modes/listing.h"
#include "archive/modes/mod_folder.h"
#include "archive/safety/mods_record.h"
#include "forgetful_disk.h"
#include "front_end/command_line.h"
#include "platform/file_change_hook.h"
#include "platform/little_endian.h"
#include "platform/text_encoding.h"
#include "test_support.h"
#include "textures/container.h"

namespace linkdata::test {
namespace {

namespace fs = std::filesystem;
const std::string kMods = kArchive + "-mods";

// A container of a DXT1 64x64 texture (7 levels) and a DXT5 32x16 one (5).
Bytes container() {
  Bytes c(0x28, 0);
  std::memcpy(c.data(), kTextureMagic, sizeof kTextureMagic);
  store_u32le(&c[12], 0x20);
  store_u32le(&c[16], 2);
  const uint8_t heads[2][3] = {{7 << 4, 6, 0x66}, {5 << 4, 8, 0x45}};
  const uint32_t sizes[2] = {block_data_size(64, 64, 7, 8, nullptr),
                             block_data_size(32, 16, 5, 16, nullptr)};
  for (int i = 0; i < 2; ++i) {
    store_u32le(&c[0x20 + 4 * i], uint32_t(c.size() - 0x20));
    const uint8_t h[8] = {heads[i][0], heads[i][1], heads[i][2], 0, 0, 0, 0, 0};
    c.insert(c.end(), h, h + 8);
    const Bytes pixels = pattern_bytes(sizes[i], 40 + i);
    c.insert(c.end(), pixels.begin(), pixels.end());
  }
  return c;
}

// Entry 0 plain, 1 a compressed container, 2 compressed text.
Bytes sample_archive(uint32_t seed = 0) {
  return archive_image({plain_entry(pattern_bytes(3000, seed)), compressed_entry(container()),
                        compressed_entry(word_salad_bytes(20000, seed + 1))});
}

Bytes content_of(const Bytes& archive, uint32_t n) {
  const Record r = record_of(archive, n);
  const Bytes stored(archive.begin() + long(r.payload_offset * 2048),
                     archive.begin() + long(r.payload_offset * 2048 + r.stored_size));
  if (r.unpacked_size == 0) return stored;
  const auto content = decompress_payload(stored.data(), r.stored_size);
  if (!content) return {};
  return Bytes(content->data(), content->data() + content->size());
}

Bytes texture_of(const Bytes& content, uint32_t index) {
  for (const ContainerSpan& span : find_texture_containers(content.data(), content.size())) {
    for (const TextureDescription& t :
         read_texture_container(content.data() + span.offset, span.size)) {
      if (t.texture_index == index) {
        const auto at = content.begin() + long(span.offset + t.data_position);
        return Bytes(at, at + t.data_size);
      }
    }
  }
  return {};
}

struct Said {
  int status = -1;
  std::string out;
};

Said tool(std::vector<std::wstring> args) {
  Said r;
  r.out = capture_stdout([&] { r.status = run_command_line(args); });
  return r;
}

Said mod(const std::wstring& op, const std::wstring& name) { return tool({L"m", op, name}); }

// A game folder with the sample archive exported with its textures, and
// mods made from what export wrote.
struct Game {
  InScratchDir here;
  Bytes original = sample_archive();
  Game() {
    write_file(kArchive, original);
    EXPECT_EQ(tool({L"e", L"A", L"0", L"2", L"y"}).status, 0);
    make_dir("Mods");
  }
  // Texture 0_<index> of entry 1, its pixel bytes xored with `mask`.
  void texture(const std::string& name, uint32_t index, uint8_t mask) {
    const std::string file = "0_" + std::to_string(index) + ".dds";
    Bytes dds = read_file("Extracted/A/Textures/1/" + file);
    for (size_t i = 128; i < dds.size(); ++i) dds[i] ^= mask;
    for (const std::string& d :
         {"Mods/" + name, "Mods/" + name + "/A", "Mods/" + name + "/A/Textures",
          "Mods/" + name + "/A/Textures/1"}) {
      make_dir(d);
    }
    write_file("Mods/" + name + "/A/Textures/1/" + file, dds);
  }
  void whole(const std::string& name, uint32_t entry, const Bytes& content,
             const std::string& letter = "A") {
    make_dir("Mods/" + name);
    make_dir("Mods/" + name + "/" + letter);
    write_file("Mods/" + name + "/" + letter + "/" + std::to_string(entry) + ".data", content);
  }
  Bytes archive() const { return read_file(kArchive); }
  Bytes entry(uint32_t n) const { return content_of(archive(), n); }
  Bytes original_entry(uint32_t n) const { return content_of(original, n); }
  Bytes dds_pixels(const std::string& name, uint32_t index) const {
    const Bytes dds =
        read_file("Mods/" + name + "/A/Textures/1/0_" + std::to_string(index) + ".dds");
    return Bytes(dds.begin() + 128, dds.end());
  }
  bool back_to_original() const {
    return archive() == original && !fs::exists(kOriginals) && !fs::exists(kMods);
  }
};

TEST(ModsRecord, ReadsBackWhatItWroteAndRefusesAnyChangedOrMissingByte) {
  ModsRecord r;
  r.identity = {202752, 13, 0xABCD};
  ModLayer layer;
  layer.name = "one";
  layer.title = "T";
  layer.fingerprint = 7;
  layer.entries.push_back({3, true, {1, 2, 3}, 30, {}});
  layer.entries.push_back({5, false, {}, 0, {{0, 2, {9, 9}}}});
  layer.entries.push_back({7, true, {4, 5}, 2, {}, true});
  r.layers = {layer, ModLayer{}};
  r.states.push_back({3, {1}, 77});
  r.touched = {3, 5};
  const Bytes bytes = encode_mods_record(r, ModsRecordKind::pending);
  ModsRecord back;
  ModsRecordKind kind = ModsRecordKind::committed;
  ASSERT_TRUE(decode_mods_record(bytes.data(), bytes.size(), &back, &kind));
  EXPECT_EQ(kind, ModsRecordKind::pending);
  EXPECT_EQ(encode_mods_record(back, kind), bytes);
  for (size_t i = 0; i < bytes.size(); ++i) {
    Bytes damaged = bytes;
    damaged[i] ^= 0x10;
    EXPECT_FALSE(decode_mods_record(damaged.data(), damaged.size(), &back, &kind)) << i;
    EXPECT_FALSE(decode_mods_record(bytes.data(), i, &back, &kind)) << i;
  }
}

TEST(ModInfo, KeysInAnyCaseAndTextShownEscaped) {
  const std::string text =
      "\xEF\xBB\xBF Title = Hair \r\nVERSION=2\nauthor=\xE5\xBC\xA0\nnonsense\n"
      "description=a\tb \xFF\xE2\x80\xAE end\n";
  const ModInfo info = parse_mod_info(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  EXPECT_EQ(info.title, "Hair");
  EXPECT_EQ(info.version, "2");
  EXPECT_EQ(shown_text(info.author), L"\u5F20");
  EXPECT_EQ(shown_text(info.description), L"a\\x09b \\xFF\\u202E end");
}

// Two mods on different textures of one entry: both in, and taking either
// out first leaves the other's texture and the original of its own, then
// the last one out leaves the original archive and no side file.
TEST(Mods, DifferentTexturesOfOneEntryGoTogetherAndComeOutAlone) {
  for (const bool one_first : {true, false}) {
    Game g;
    g.texture("one", 0, 0x55);
    g.texture("two", 1, 0x33);
    ASSERT_EQ(mod(L"+", L"one").status, 0);
    const Said second = mod(L"+", L"two");
    ASSERT_EQ(second.status, 0) << second.out;
    EXPECT_NE(second.out.find("修改了 LINKDATA_EU_OS_EUNA.A 条目 1 中不同的贴图，两者都已应用"),
              std::string::npos);
    EXPECT_EQ(texture_of(g.entry(1), 0), g.dds_pixels("one", 0));
    EXPECT_EQ(texture_of(g.entry(1), 1), g.dds_pixels("two", 1));
    const std::wstring out = one_first ? L"one" : L"two";
    const uint32_t gone = one_first ? 0 : 1, kept = 1 - gone;
    ASSERT_EQ(mod(L"-", out).status, 0);
    EXPECT_EQ(texture_of(g.entry(1), gone), texture_of(g.original_entry(1), gone));
    EXPECT_EQ(texture_of(g.entry(1), kept), g.dds_pixels(one_first ? "two" : "one", kept));
    ASSERT_EQ(mod(L"-", one_first ? L"two" : L"one").status, 0);
    EXPECT_TRUE(g.back_to_original()) << one_first;
  }
}

// Exported pictures of an entry a mod changes show as older than the
// archive: the entry's identity beside them follows the change.
TEST(Mods, ExportedPicturesLearnOfTheChange) {
  Game g;
  g.texture("one", 0, 0x55);
  make_dir("Extracted");
  make_dir("Extracted/A");
  make_dir("Extracted/A/Textures");
  make_dir("Extracted/A/Textures/1");
  const std::string note = "Extracted/A/Textures/1/archive-entry.txt";
  write_file(note, text_bytes("1:00000000\n"));
  ASSERT_EQ(mod(L"+", L"one").status, 0);
  const Bytes now = g.entry(1);
  EXPECT_EQ(read_file(note), text_bytes(entry_identity(now.data(), now.size()) + "\n"));
}

TEST(Mods, ConflictIsRefusedBeforeAnythingIsWritten) {
  struct Case {
    const char* what;
    void (*second)(Game&);
    const char* said;
  };
  const Case cases[] = {
      {"same entry", [](Game& g) { g.whole("two", 0, text_bytes("B")); }, "都替换了"},
      {"same texture", [](Game& g) { g.texture("two", 0, 0x11); }, "的贴图 0_0！"},
      {"whole entry and its texture", [](Game& g) { g.whole("two", 1, text_bytes("B")); },
       "修改了其中的贴图"},
  };
  for (const Case& c : cases) {
    Game g;
    g.whole("one", 0, text_bytes("A"));
    g.texture("one", 0, 0x55);
    ASSERT_EQ(mod(L"+", L"one").status, 0);
    const Bytes archive = g.archive(), record = read_file(kMods), originals = read_file(kOriginals);
    c.second(g);
    const Said refused = mod(L"+", L"two");
    EXPECT_EQ(refused.status, 1) << c.what;
    EXPECT_NE(refused.out.find(c.said), std::string::npos) << c.what << refused.out;
    EXPECT_NE(refused.out.find("请用 m ++ two"), std::string::npos) << c.what;
    EXPECT_EQ(g.archive(), archive) << c.what;
    EXPECT_EQ(read_file(kMods), record) << c.what;
    EXPECT_EQ(read_file(kOriginals), originals) << c.what;
  }
}

// `++` wins where they overlap; the loser's content is back once it leaves.
TEST(Mods, OverConflictsWinsAndTheOtherComesBackWhenItLeaves) {
  Game g;
  g.whole("one", 0, text_bytes("first"));
  g.texture("one", 1, 0x21);
  g.whole("two", 0, text_bytes("second"));
  g.texture("two", 1, 0x42);
  ASSERT_EQ(mod(L"+", L"one").status, 0);
  const Said over = mod(L"++", L"two");
  ASSERT_EQ(over.status, 0) << over.out;
  EXPECT_EQ(g.entry(0), text_bytes("second"));
  EXPECT_EQ(texture_of(g.entry(1), 1), g.dds_pixels("two", 1));
  const Said listed = tool({L"m"});
  EXPECT_NE(listed.out.find("条目 0 与 one 重叠，two 生效"), std::string::npos) << listed.out;
  ASSERT_EQ(mod(L"-", L"two").status, 0);
  EXPECT_EQ(g.entry(0), text_bytes("first"));
  EXPECT_EQ(texture_of(g.entry(1), 1), g.dds_pixels("one", 1));
}

// Taken out from what the record keeps; the last one out leaves the
// original archive byte for byte, and a plain import made between two mods
// stays through it all, as the player's own layer.
TEST(Mods, TakenOutWithoutItsFolderAndAroundThePlayersOwnImport) {
  Game g;
  g.whole("one", 0, text_bytes("mod one"));
  g.texture("one", 0, 0x55);
  ASSERT_EQ(mod(L"+", L"one").status, 0);
  make_dir("Import/A");
  write_file("Import/A/0.data", text_bytes("mine"));
  ASSERT_EQ(tool({L"i", L"A"}).status, 0);
  EXPECT_NE(tool({L"l", L"A"}).out.find("\t1\t玩家自己的导入\n1\t"), std::string::npos);
  g.whole("two", 2, text_bytes("mod two"));
  ASSERT_EQ(mod(L"+", L"two").status, 0);
  // The listing's last column names the layer on top of each changed entry.
  const std::string entries = tool({L"l", L"A"}).out;
  EXPECT_NE(entries.find("\t已修改\t模组\n"), std::string::npos) << entries;
  EXPECT_NE(entries.find("\t1\t玩家自己的导入\n1\t"), std::string::npos) << entries;
  EXPECT_NE(entries.find("\t1\tone\n2\t"), std::string::npos) << entries;
  EXPECT_NE(entries.find("\t1\ttwo\n"), std::string::npos) << entries;
  fs::remove_all("Mods/one");
  const Said listed = tool({L"m"});
  EXPECT_NE(listed.out.find("one\tLINKDATA_EU_OS_EUNA.A\t1\t已安装，文件夹已删除"),
            std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find("玩家自己的导入\tLINKDATA_EU_OS_EUNA.A\t2\t已安装\t1\t0"),
            std::string::npos);
  ASSERT_EQ(mod(L"-", L"one").status, 0);
  EXPECT_EQ(g.entry(0), text_bytes("mine"));
  EXPECT_EQ(g.entry(1), g.original_entry(1));
  ASSERT_EQ(mod(L"-", L"two").status, 0);
  EXPECT_EQ(g.entry(2), g.original_entry(2));
  EXPECT_EQ(tool({L"r", L"A"}).status, 0);
  EXPECT_TRUE(g.back_to_original());
}

// A mod whose folder changed is brought up to date where it stands; the
// entries the old version changed and the new one does not get theirs back.
TEST(Mods, UpdatedWhereItStandsWhenItsFolderChanged) {
  Game g;
  g.whole("one", 0, text_bytes("old"));
  g.texture("one", 0, 0x55);
  g.whole("two", 2, text_bytes("two"));
  ASSERT_EQ(mod(L"+", L"one").status, 0);
  ASSERT_EQ(mod(L"+", L"two").status, 0);
  EXPECT_NE(mod(L"+", L"one").out.find("文件夹没有变化"), std::string::npos);
  g.whole("one", 0, text_bytes("new"));
  fs::remove_all("Mods/one/A/Textures");
  EXPECT_NE(tool({L"m"}).out.find("one\tLINKDATA_EU_OS_EUNA.A\t1\t已安装，文件夹在安装后有改动"),
            std::string::npos);
  const Said updated = mod(L"+", L"one");
  EXPECT_NE(updated.out.find("已更新 LINKDATA_EU_OS_EUNA.A 中的模组 one！"), std::string::npos)
      << updated.out;
  EXPECT_EQ(g.entry(0), text_bytes("new"));
  EXPECT_EQ(g.entry(1), g.original_entry(1));
  EXPECT_NE(tool({L"m"}).out.find("one\tLINKDATA_EU_OS_EUNA.A\t1\t已安装\t1\t0"),
            std::string::npos);
}

// `r A 1 1` takes entry 1 out of every mod; `r A` takes everything.
TEST(Mods, RestoresTakeModsOut) {
  Game g;
  g.whole("one", 0, text_bytes("zero"));
  g.texture("one", 0, 0x55);
  ASSERT_EQ(mod(L"+", L"one").status, 0);
  ASSERT_EQ(tool({L"r", L"A", L"1", L"1"}).status, 0);
  EXPECT_NE(tool({L"m"}).out.find("one\tLINKDATA_EU_OS_EUNA.A\t1\t已安装，部分条目已被还原\t1\t0"),
            std::string::npos);
  EXPECT_EQ(g.entry(0), text_bytes("zero"));
  ASSERT_EQ(tool({L"r", L"A"}).status, 0);
  EXPECT_TRUE(g.back_to_original());
  EXPECT_NE(tool({L"m"}).out.find("one\t-\t-\t未安装"), std::string::npos);
}

// A game update replaces the archive: the record is set aside with the file
// of originals, and the mod goes in afresh.
TEST(Mods, RecordOfAReplacedArchiveIsSetAside) {
  Game g;
  g.whole("one", 0, text_bytes("zero"));
  ASSERT_EQ(mod(L"+", L"one").status, 0);
  write_file(kArchive, sample_archive(9));
  EXPECT_NE(tool({L"m"}).out.find("游戏更新后已失效，请重新安装"), std::string::npos);
  const Said again = mod(L"+", L"one");
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.out.find("旧的模组记录已改名为 LINKDATA_EU_OS_EUNA.A-mods.1，请重新安装模组"),
            std::string::npos)
      << again.out;
  EXPECT_TRUE(fs::exists(kMods + ".1"));
  EXPECT_EQ(g.entry(0), text_bytes("zero"));
}

// A record that does not read back stops the run before anything changes.
TEST(Mods, DamagedRecordChangesNothing) {
  Game g;
  g.whole("one", 0, text_bytes("zero"));
  ASSERT_EQ(mod(L"+", L"one").status, 0);
  Bytes record = read_file(kMods);
  record[record.size() / 2] ^= 1;
  write_file(kMods, record);
  const Bytes archive = g.archive(), originals = read_file(kOriginals);
  const Said refused = mod(L"-", L"one");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("模组记录文件 LINKDATA_EU_OS_EUNA.A-mods 已损坏或无法读取，"
                             "LINKDATA_EU_OS_EUNA.A 未做任何修改！"),
            std::string::npos)
      << refused.out;
  EXPECT_EQ(g.archive(), archive);
  EXPECT_EQ(read_file(kOriginals), originals);
  EXPECT_EQ(read_file(kMods), record);
}

// One mod over archives A and B: in both, refused in both when B conflicts,
// out of both.
TEST(Mods, OneModAcrossTwoArchives) {
  Game g;
  const std::string b = "LINKDATA_EU_OS_EUNA.B";
  const Bytes original_b = sample_archive(5);
  write_file(b, original_b);
  g.whole("both", 0, text_bytes("a0"));
  g.whole("both", 2, text_bytes("b2"), "B");
  g.whole("other", 2, text_bytes("x"), "B");
  ASSERT_EQ(mod(L"+", L"other").status, 0);
  const Bytes b_with_other = read_file(b);
  EXPECT_EQ(mod(L"+", L"both").status, 1);
  EXPECT_EQ(g.archive(), g.original);
  EXPECT_EQ(read_file(b), b_with_other);
  ASSERT_EQ(mod(L"-", L"other").status, 0);
  ASSERT_EQ(mod(L"+", L"both").status, 0);
  EXPECT_EQ(g.entry(0), text_bytes("a0"));
  EXPECT_EQ(content_of(read_file(b), 2), text_bytes("b2"));
  ASSERT_EQ(mod(L"-", L"both").status, 0);
  EXPECT_TRUE(g.back_to_original());
  EXPECT_EQ(read_file(b), original_b);
  EXPECT_FALSE(fs::exists(b + "-mods"));
}

struct HookInstalled {
  explicit HookInstalled(platform::FileChangeHook hook) { platform::set_file_change_hook(hook); }
  ~HookInstalled() { platform::set_file_change_hook({}); }
};
struct Killed {};

// The steps the crash tests cut short: an install over a mod, and a
// take-out from under another.
struct CrashStep {
  const wchar_t* op;
  const wchar_t* name;
};
constexpr CrashStep kCrashSteps[] = {{L"+", L"two"}, {L"-", L"one"}};

// What the side files and the entries hold before a step.
struct StateBefore {
  Bytes archive, originals, record;
  std::vector<Bytes> entries;
};

// Two mods laid out, "one" installed, and "two" over it where the step takes
// "one" out; then what is there before the step.
void lay_out_mods_before(Game& g, const CrashStep& step, StateBefore* before) {
  g.whole("one", 0, pattern_bytes(5000, 1));
  g.texture("one", 0, 0x55);
  g.whole("two", 2, word_salad_bytes(30000, 2));
  g.texture("two", 1, 0x33);
  ASSERT_EQ(mod(L"+", L"one").status, 0);
  if (std::wcscmp(step.op, L"-") == 0) {
    ASSERT_EQ(mod(L"+", L"two").status, 0);
  }
  before->archive = g.archive();
  before->originals = read_file(kOriginals);
  before->record = read_file(kMods);
  for (uint32_t n = 0; n < 3; ++n) before->entries.push_back(g.entry(n));
}

// A kill at each archive write of an install and of a take-out, and at each
// change of the record of mods (its writes, flushes, renames, removals): every
// entry is then in its state before or after, running the step again
// finishes it, and a whole restore gives the original archive.
TEST(Mods, KilledAfterAnyArchiveWriteEveryEntryIsBeforeOrAfter) {
  for (const CrashStep& step : kCrashSteps) {
    Game g;
    StateBefore was;
    lay_out_mods_before(g, step, &was);
    ASSERT_FALSE(testing::Test::HasFatalFailure());
    const std::vector<Bytes>& before = was.entries;
    std::vector<Bytes> after;
    ASSERT_EQ(mod(step.op, step.name).status, 0);
    for (uint32_t n = 0; n < 3; ++n) after.push_back(g.entry(n));
    size_t killed = 0;
    for (int k = 1;; ++k) {
      write_file(kArchive, was.archive);
      write_file(kOriginals, was.originals);
      write_file(kMods, was.record);
      int writes = 0;
      bool was_killed = false;
      {
        const HookInstalled hook([&](const platform::FileChange& c) {
          const bool archive_write =
              c.kind == platform::FileChangeKind::write && c.path == from_utf8(kArchive);
          const bool record_change = c.kind != platform::FileChangeKind::close &&
                                     c.path.find(L"-mods") != std::wstring::npos;
          if ((archive_write || record_change) && ++writes == k) {
            throw Killed{};
          }
          return true;
        });
        capture_stdout([&] {
          try {
            run_command_line({L"m", step.op, step.name});
          } catch (const Killed&) {
            was_killed = true;
          }
        });
      }
      if (!was_killed) break;
      ++killed;
      // The journal rolls a commit cut short back before anything reads.
      tool({L"l", L"A"});
      for (uint32_t n = 0; n < 3; ++n) {
        const Bytes now = g.entry(n);
        EXPECT_TRUE(now == before[n] || now == after[n])
            << "kill at write " << k << ", entry " << n;
      }
      const Said again = mod(step.op, step.name);
      // Killed once everything was in place: nothing is left to do.
      const bool done =
          std::wstring(step.op) == L"-" && again.out.find("没有安装在任何") != std::string::npos;
      EXPECT_TRUE(again.status == 0 || done) << k << again.out;
      for (uint32_t n = 0; n < 3; ++n) EXPECT_EQ(g.entry(n), after[n]) << k << ", entry " << n;
      ASSERT_EQ(tool({L"r", L"A"}).status, 0) << k;
      EXPECT_TRUE(g.back_to_original()) << k;
    }
    EXPECT_GT(killed, 10u);
  }
}

// A crash at any change of m + and m -, whatever the disk keeps of what was
// not flushed (a write lost, torn at any byte, a sector zeroed or garbage),
// and every third time the run that settles it crashed as well: every entry
// then reads as before or after, the same command completes the change, and
// r A gives the original archive.
TEST(Mods, CrashAtAnyChangeIsSettledWhateverTheDiskKept) {
  for (const CrashStep& step : kCrashSteps) {
    Game g;
    StateBefore was;
    lay_out_mods_before(g, step, &was);
    ASSERT_FALSE(testing::Test::HasFatalFailure());
    const std::vector<Bytes>& before = was.entries;
    std::vector<Bytes> after;
    auto lay_out = [&] {
      write_file(kArchive, was.archive);
      write_file(kOriginals, was.originals);
      write_file(kMods, was.record);
      for (const std::string& side :
           {kMods + ".new", kMods + ".pending", kMods + ".pending.new", kJournal}) {
        fs::remove(side);
      }
    };
    auto run_under = [&](ForgetfulDisk& disk) {
      // Every file a run may open, the journal of a crashed run included.
      for (const std::string& side : {kArchive, kOriginals, kMods, kMods + ".new",
                                      kMods + ".pending", kMods + ".pending.new", kJournal}) {
        disk.watch(side);
      }
      const HookInstalled hook([&](const platform::FileChange& c) { return disk.follow(c); });
      capture_stdout([&] {
        try {
          run_command_line({L"m", step.op, step.name});
        } catch (const ForgetfulDisk::Crash&) {
        }
      });
    };
    ForgetfulDisk counter(0, 0);
    run_under(counter);
    for (uint32_t n = 0; n < 3; ++n) after.push_back(g.entry(n));
    const uint64_t total = counter.changes();
    ASSERT_GT(total, 20u);
    uint64_t spoilt = 0;
    for (uint64_t k = 1; k <= total; ++k) {
      lay_out();
      ForgetfulDisk disk(k, uint32_t(k));
      run_under(disk);
      disk.crash();
      for (const uint64_t n : disk.spoils) spoilt += n;
      if (k % 3 == 0) {
        ForgetfulDisk second(1 + k % 12, uint32_t(k) + 1);
        run_under(second);
        second.crash();
      }
      const Said listed = tool({L"l", L"A"});  // the journal rolls a cut commit back
      EXPECT_EQ(listed.status, 0) << step.op << " crash at " << k << listed.out;
      for (uint32_t n = 0; n < 3; ++n) {
        const Bytes now = g.entry(n);
        EXPECT_TRUE(now == before[n] || now == after[n])
            << step.op << " crash at " << k << ", entry " << n;
      }
      const Said again = mod(step.op, step.name);
      const bool done =
          std::wstring(step.op) == L"-" && again.out.find("没有安装在任何") != std::string::npos;
      EXPECT_TRUE(again.status == 0 || done) << step.op << " crash at " << k << again.out;
      for (uint32_t n = 0; n < 3; ++n) {
        EXPECT_EQ(g.entry(n), after[n]) << step.op << " crash at " << k << ", entry " << n;
      }
      const Said restored = tool({L"r", L"A"});
      ASSERT_EQ(restored.status, 0) << step.op << " crash at " << k << restored.out;
      EXPECT_TRUE(g.back_to_original()) << step.op << " crash at " << k;
    }
    EXPECT_GT(spoilt, 5u) << step.op;
  }
}

// A change of mods cut short after its archive writes, before its record
// went in: an import or a range restore then settles it before its own
// writes, so the next m run has nothing left to settle over them, and finds
// the player's change as its own import or as an entry taken out.
TEST(Mods, ChangeCutShortIsSettledBeforeAnImportOrARangeRestore) {
  struct Case {
    const char* what;
    std::vector<std::wstring> between;
    bool own_import;
    const char* listed;
  };
  const Case cases[] = {
      {"import", {L"i", L"A"}, true, "玩家自己的导入\tLINKDATA_EU_OS_EUNA.A\t2\t已安装"},
      {"range restore",
       {L"r", L"A", L"1", L"1"},
       false,
       "one\tLINKDATA_EU_OS_EUNA.A\t1\t已安装，部分条目已被还原"},
  };
  for (const Case& c : cases) {
    Game g;
    g.texture("one", 0, 0x55);
    g.texture("two", 1, 0x33);
    g.whole("three", 2, text_bytes("three"));
    ASSERT_EQ(mod(L"+", L"one").status, 0);
    {
      const HookInstalled hook([](const platform::FileChange& change) {
        if (change.kind == platform::FileChangeKind::write &&
            change.path == from_utf8(kMods + ".new")) {
          throw Killed{};
        }
        return true;
      });
      bool killed = false;
      capture_stdout([&] {
        try {
          run_command_line({L"m", L"+", L"two"});
        } catch (const Killed&) {
          killed = true;
        }
      });
      ASSERT_TRUE(killed) << c.what;
    }
    ASSERT_TRUE(fs::exists(kMods + ".pending")) << c.what;
    make_dir("Import/A");
    write_file("Import/A/1.data", text_bytes("mine"));
    const Said between = tool(c.between);
    EXPECT_EQ(between.status, 0) << c.what << between.out;
    EXPECT_NE(between.out.find("检测到上次模组操作未完成"), std::string::npos) << c.what;
    ASSERT_EQ(mod(L"+", L"three").status, 0) << c.what;
    EXPECT_EQ(g.entry(1), c.own_import ? text_bytes("mine") : g.original_entry(1)) << c.what;
    const Said listed = tool({L"m"});
    EXPECT_NE(listed.out.find(c.listed), std::string::npos) << c.what << listed.out;
  }
}

// A loose file is read only in its entry's turn: one saved again since the
// install was planned stops it there, as a crash would, and the next run
// settles it and installs what the folder holds then.
TEST(Mods, LooseFileChangedBeforeItsTurnStopsTheInstallThere) {
  Game g;
  g.whole("one", 0, text_bytes("planned"));
  g.whole("one", 2, text_bytes("two planned"));
  bool changed = false;
  Said stopped;
  {
    const HookInstalled hook([&changed](const platform::FileChange& c) {
      if (!changed && c.path.find(from_utf8(kMods + ".pending")) == 0) {
        changed = true;
        write_file("Mods/one/A/2.data", text_bytes("saved later, and longer"));
      }
      return true;
    });
    stopped = mod(L"+", L"one");
  }
  EXPECT_EQ(stopped.status, 1);
  EXPECT_NE(stopped.out.find("2.data 文件读取出错！"), std::string::npos) << stopped.out;
  EXPECT_EQ(g.entry(2), g.original_entry(2));
  const Said again = mod(L"+", L"one");
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_NE(again.out.find("检测到上次模组操作未完成"), std::string::npos) << again.out;
  EXPECT_EQ(g.entry(0), text_bytes("planned"));
  EXPECT_EQ(g.entry(2), text_bytes("saved later, and longer"));
}

}  // namespace
}  // namespace linkdata::test
