// Export with the p flag: PNG pictures of the textures, the gallery page
// (opened in headless Chromium), the flag's forms, its failures, and the
// summary line that export and import print on a console.
#include "archive/modes/picture_export.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "archive/format/package.h"
#include "platform/little_endian.h"
#include "platform/text_encoding.h"
#include "test_support.h"
#include "textures/container.h"
#include "textures/png_picture.h"
#include "textures/texture_pixels.h"

namespace linkdata::test {
namespace {

namespace fs = std::filesystem;

#ifdef LINKDATA_IMAGEMAGICK
const std::string kConvert = LINKDATA_IMAGEMAGICK;
#else
const std::string kConvert;
#endif
#ifdef LINKDATA_CHROMIUM
const std::string kChromium = LINKDATA_CHROMIUM;
#else
const std::string kChromium;
#endif

// The sample archive's textures that export writes: entry 7 holds five, one
// of an unsupported format (0_1); entry 8 is a package with one in sub-file 1.
const std::set<std::string> kPictures = {"7/0_0", "7/0_2", "7/0_3", "7/0_4", "8/1_0"};

struct Sample {
  ScratchDir dir;
  Sample() {
    const std::string make = std::string(LINKDATA_SAMPLE_BINARY) + " " + dir.path + " A";
    EXPECT_EQ(std::system(make.c_str()), 0);
  }
  RunResult run(const std::vector<std::string>& args) const { return run_tool(dir.path, args); }
  // "<entry>/<name>" of every file with this extension under the texture folder.
  std::set<std::string> textures(const std::string& extension) const {
    std::set<std::string> found;
    std::error_code ec;
    const fs::path root = fs::u8path(dir / "Extracted/A/Textures");
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
      const fs::path p = it->path();
      if (p.extension() == extension) {
        found.insert(p.parent_path().filename().u8string() + "/" + p.stem().u8string());
      }
    }
    return found;
  }
};

// Which files each form of the flag gives, and that the output is y's.
TEST(PictureExport, FlagFormsWriteTheirFiles) {
  struct Case {
    const char* flag;
    bool dds, png;
  } cases[] = {{"y", true, false}, {"p", false, true},   {"yp", true, true},
               {"PY", true, true}, {"pp", false, false}, {"yes", false, false}};
  std::string y_output;
  for (const Case& c : cases) {
    Sample s;
    const RunResult r = s.run({"e", "a", "0", "12", c.flag});
    EXPECT_EQ(r.status, 0) << c.flag;
    if (y_output.empty()) y_output = r.out;
    EXPECT_EQ(r.out, y_output) << c.flag;  // the same lines, whatever is written
    EXPECT_EQ(s.textures(".dds"), c.dds ? kPictures : std::set<std::string>{}) << c.flag;
    EXPECT_EQ(s.textures(".png"), c.png ? kPictures : std::set<std::string>{}) << c.flag;
    EXPECT_EQ(file_exists(s.dir / "Extracted/A/Textures/index.html"), c.png) << c.flag;
  }
  // The listing takes no p: its flag word is then not y either.
  Sample s;
  EXPECT_EQ(s.run({"l", "a", "7", "7", "yp"}).out, s.run({"l", "a", "7", "7"}).out);
}

// Each picture holds the decoded top level of its texture (as read by
// ImageMagick) and carries format and levels for the gallery.
TEST(PictureExport, PicturesHoldTheDecodedTopLevel) {
  if (kConvert.empty()) GTEST_SKIP() << "ImageMagick's convert is not installed here";
  Sample s;
  ASSERT_EQ(s.run({"e", "a", "7", "8", "p"}).status, 0);
  struct Row {
    const char* entry;
    uint32_t sub, index;
    const char* note;
  } rows[] = {{"7", 0, 0, "DXT1 7"},
              {"7", 0, 2, "DXT5 8"},
              {"7", 0, 3, "A8R8G8B8 1"},
              {"7", 0, 4, "DXT1 6"},
              {"8", 1, 0, "DXT5 6"}};
  for (const Row& row : rows) {
    const Bytes content = read_file(s.dir / ("Extracted/A/" + std::string(row.entry) + ".data"));
    TextureDescription t;
    const uint8_t* container = nullptr;
    size_t size = 0;
    for (const ContainerSpan& span : find_texture_containers(content.data(), content.size())) {
      if (span.sub_index != row.sub) continue;
      container = content.data() + span.offset;
      size = span.size;
      t = read_texture_container(container, size).at(row.index);
    }
    ASSERT_NE(container, nullptr);
    const std::string name = std::to_string(row.sub) + "_" + std::to_string(row.index);
    const std::string png =
        s.dir / ("Extracted/A/Textures/" + std::string(row.entry) + "/" + name + ".png");
    const std::string raw = s.dir / (name + ".rgba");
    const std::string command =
        "\"" + kConvert + "\" \"" + png + "\" -depth 8 rgba:\"" + raw + "\" >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_EQ(read_file(raw), decode_to_rgba(t, container, size)) << png;
    const Bytes file = read_file(png);
    PngSummary summary;
    ASSERT_TRUE(read_png_summary(file.data(), file.size(), &summary));
    EXPECT_EQ(summary.width, t.width);
    EXPECT_EQ(summary.height, t.height);
    EXPECT_EQ(summary.note, row.note);
  }
}

// Every tile of the page, in entry order, from this run and the ones before.
std::vector<std::string> tiles(const std::string& html) {
  static const std::regex tile(
      "<figure data-entry=\"(\\d+)\"><a href=\"(\\d+/\\d+_\\d+\\.(png|PNG))\"><img src=\"\\2\" "
      "loading=\"lazy\"[^>]*></a><figcaption>([^<]|<[^/]|</[^f])*</figcaption></figure>");
  std::vector<std::string> out;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), tile); it != std::sregex_iterator();
       ++it) {
    out.push_back((*it)[2]);
  }
  return out;
}

TEST(PictureExport, GalleryGathersEveryRunsPictures) {
  Sample s;
  ASSERT_EQ(s.run({"e", "a", "8", "8", "p"}).status, 0);
  const std::string page = s.dir / "Extracted/A/Textures/index.html";
  std::string html(reinterpret_cast<const char*>(read_file(page).data()), read_file(page).size());
  EXPECT_EQ(tiles(html), std::vector<std::string>{"8/1_0.png"});
  // Pictures under names that import takes back, and some it does not.
  const Bytes picture = read_file(s.dir / "Extracted/A/Textures/8/1_0.png");
  for (const char* name : {"9/0_1.PNG", "00000000009/0_0.png", "9/0_2.png.tmp", "9/a_2.png"}) {
    const std::string path = s.dir / ("Extracted/A/Textures/" + std::string(name));
    fs::create_directories(fs::u8path(path).parent_path());
    write_file(path, picture);
  }
  // A later run of other entries, with y alone in between: the page adds up.
  ASSERT_EQ(s.run({"e", "a", "0", "12", "y"}).status, 0);
  ASSERT_EQ(s.run({"e", "a", "7", "7", "p"}).status, 0);
  const Bytes bytes = read_file(page);
  html.assign(bytes.begin(), bytes.end());
  EXPECT_EQ(tiles(html),
            (std::vector<std::string>{"7/0_0.png", "7/0_2.png", "7/0_3.png", "7/0_4.png",
                                      "8/1_0.png", "00000000009/0_0.png", "9/0_1.PNG"}));
  EXPECT_NE(html.find("<meta charset=\"utf-8\">"), std::string::npos);
  EXPECT_NE(html.find("DXT5 128x128 8 级"), std::string::npos);
  EXPECT_NE(html.find("<code>" + shown("Import/A/Textures/7/0_2.png") + "</code>"),
            std::string::npos);
  EXPECT_EQ(html.find("<script src"), std::string::npos);  // nothing from elsewhere
}

// Notes that other programs wrote reach the page as valid UTF-8, each
// ill-formed sequence one U+FFFD, without direction overrides or isolates,
// and HTML-escaped.
TEST(PictureExport, GalleryShowsNotesAsValidTextWithoutDirectionControls) {
  struct Row {
    std::string note;
    std::string facts;  // as the tile shows them, for a 1x1 picture
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const std::vector<Row> rows = {
      {"DXT5\xFF 8", "DXT5" + fffd + " 1x1 8 级"},
      {"DXT5 8\xE2\x80\xAE", "DXT5 1x1 8 级"},  // U+202E
      {"\xE2\x81\xA6<b>\xE2\x80\xAA \xE2\x81\xA9&", "&lt;b&gt; 1x1 &amp; 级"},
      // Overlong, a surrogate (each byte alone), cut short (at once).
      {"\xC0\xAF\xED\xA0\x80 \xE2\x80", fffd + fffd + fffd + fffd + fffd + " 1x1 " + fffd + " 级"},
      // Past U+10FFFF; then characters of 3 and 4 bytes as they are.
      {"\xF4\x90\x80\x80 \xE4\xB8\xAD\xF0\x9F\x98\x80",
       fffd + fffd + fffd + fffd + " 1x1 \xE4\xB8\xAD\xF0\x9F\x98\x80 级"}};
  Sample s;
  const uint8_t pixel[4] = {1, 2, 3, 4};
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string folder = s.dir / ("Extracted/A/Textures/" + std::to_string(90 + i));
    fs::create_directories(fs::u8path(folder));
    write_file(folder + "/0_0.png", encode_png(pixel, 1, 1, rows[i].note));
  }
  ASSERT_EQ(s.run({"e", "a", "8", "8", "p"}).status, 0);
  const Bytes page = read_file(s.dir / "Extracted/A/Textures/index.html");
  const std::string html(page.begin(), page.end());
  for (const Row& row : rows) {
    EXPECT_NE(html.find("<br>" + row.facts + "<br>"), std::string::npos) << row.facts;
  }
  for (const char* control : {"\xE2\x80\xAA", "\xE2\x80\xAE", "\xE2\x81\xA6", "\xE2\x81\xA9"}) {
    EXPECT_EQ(html.find(control), std::string::npos);
  }
}

// A player's browser opens the page from the disk and shows every picture.
TEST(PictureExport, GalleryShowsThePicturesInChromium) {
  if (kChromium.empty()) GTEST_SKIP() << "Chromium is not installed here (Debian: chromium)";
  Sample s;
  ASSERT_EQ(s.run({"e", "a", "0", "12", "p"}).status, 0);
  ScratchDir profile;
  const std::string dom = s.dir / "dom.html";
  const std::string page =
      fs::absolute(fs::u8path(s.dir / "Extracted/A/Textures/index.html")).generic_u8string();
  // A window tall enough that every tile is in view, so that the lazy
  // pictures load; the page marks each one the browser has decoded.
  const std::string command =
      "\"" + kChromium +
      "\" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
      " --disable-background-networking --disable-component-update --disable-sync"
      " --user-data-dir=\"" +
      profile.path + "\" --window-size=1600,3000 --virtual-time-budget=10000 --dump-dom \"file://" +
      page + "\" >\"" + dom + "\" 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const Bytes bytes = read_file(dom);
  const std::string html(bytes.begin(), bytes.end());
  ASSERT_NE(html.find("<h1>贴图一览</h1>"), std::string::npos) << html.substr(0, 2000);
  size_t shown_pictures = 0;
  for (size_t at = html.find(" data-shown=\"\""); at != std::string::npos;
       at = html.find(" data-shown=\"\"", at + 1)) {
    ++shown_pictures;
  }
  EXPECT_EQ(shown_pictures, kPictures.size());
}

// A picture that cannot be written is named, the others are written, and
// the run ends with status 1.
TEST(PictureExport, UnwritablePictureIsNamedAndFailsTheRun) {
  Sample s;
  fs::create_directories(fs::u8path(s.dir / "Extracted/A/Textures/7/0_2.png/in-the-way"));
  const RunResult r = s.run({"e", "a", "7", "8", "p"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("写入图片文件 " + shown("Extracted/A/Textures/7/0_2.png") + " 失败！\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(file_exists(s.dir / "Extracted/A/Textures/7/0_3.png"));
  EXPECT_TRUE(file_exists(s.dir / "Extracted/A/Textures/8/1_0.png"));
  EXPECT_TRUE(file_exists(s.dir / "Extracted/A/8.data"));
}

#ifndef _WIN32
// A picture that memory cannot hold is told from one that cannot be
// written (export then stops with its out-of-memory message), and leaves no
// file, not even an older one.
TEST(PictureExport, PictureThatMemoryCannotHoldIsOutOfMemory) {
#ifdef LINKDATA_UNDER_SANITIZER
  GTEST_SKIP() << "RLIMIT_AS cannot hold a sanitizer's shadow memory";
#endif
  ScratchDir dir;
  const std::string path = dir / "0_0.png";
  write_file(path, text_bytes("an older picture"));
  TextureDescription t;
  t.format_code = kFormatDxt1;
  t.width = t.height = 4096;
  t.levels_present = 1;
  const Bytes level(size_t(4096) * 4096 / 2, 0x5A);
  const int result = run_with_room(size_t(16) << 20, [&] {
    return int(write_texture_picture(t, level.data(), level.size(), from_utf8(path)));
  });
  EXPECT_EQ(result, int(PictureWrite::out_of_memory));
  EXPECT_FALSE(file_exists(path));
}
#endif

TEST(PictureExport, PngSummaryRefusesWhatIsNoPng) {
  const uint8_t pixels[4] = {1, 2, 3, 4};
  const std::vector<uint8_t> png = encode_png(pixels, 1, 1, "DXT1 1");
  PngSummary summary;
  ASSERT_TRUE(read_png_summary(png.data(), png.size(), &summary));
  EXPECT_EQ(summary.note, "DXT1 1");
  for (size_t cut : {size_t(0), size_t(8), size_t(32)}) {
    EXPECT_FALSE(read_png_summary(png.data(), cut, &summary)) << cut;
  }
  // A note chunk cut short by the bytes read is not taken.
  ASSERT_TRUE(read_png_summary(png.data(), 40, &summary));
  EXPECT_EQ(summary.note, "");
  EXPECT_TRUE(encode_png(pixels, 16384, 16384, "").empty());  // refused before reading pixels
}

// On a console export and import end with the summary line; through a pipe
// (every other test) they print what they always did.
TEST(RunSummary, ExportAndImportSumUpOnAConsole) {
#ifdef _WIN32
  GTEST_SKIP() << "drives a POSIX pseudo-terminal";
#else
  Sample s;
  const std::regex summary(
      "共写出 (\\d+) 个文件、(\\d+) 个贴图文件，跳过 (\\d+) 个格式不支持的贴图，用时 "
      "\\d+\\.\\d 秒\n$");
  struct Case {
    std::vector<std::string> args;
    const char *files, *textures, *skipped;
  } cases[] = {{{"e", "a", "0", "12"}, "13", "0", "0"},
               {{"e", "a", "0", "12", "yp"}, "13", "10", "1"},
               {{"e", "a", "7", "7", "p"}, "1", "4", "1"}};
  for (const Case& c : cases) {
    const RunResult r = run_on_terminal(s.dir.path, c.args);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, summary)) << r.out;
    EXPECT_EQ(m[1], c.files);
    EXPECT_EQ(m[2], c.textures);
    EXPECT_EQ(m[3], c.skipped);
    EXPECT_EQ(r.out.substr(0, size_t(m.position(0))), run_tool(s.dir.path, c.args).out);
  }
  write_file(s.dir / "Import/A/4.data", read_file(s.dir / "Extracted/A/4.data"));
  const RunResult r = run_on_terminal(s.dir.path, {"i", "a"});
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, summary)) << r.out;
  EXPECT_EQ(m[1], "1");
  EXPECT_EQ(m[2], "0");
#endif
}

}  // namespace
}  // namespace linkdata::test
