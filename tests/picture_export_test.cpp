// Export with the p flag: PNG pictures of the textures, the gallery page
// (opened in headless Chromium), the flag's forms, its failures, and the
// summary line that export and import print on a console.
#include "archive/modes/picture_export.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "archive/format/package.h"
#include "archive/modes/gallery_notes.h"
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

// The sample archive's textures that export writes: entry 3, stored plain,
// holds one; entry 7 holds five, one of an unsupported format (0_1); entry 8
// is a package with one in sub-file 1.
const std::set<std::string> kPictures = {"3/0_0", "7/0_0", "7/0_2", "7/0_3", "7/0_4", "8/1_0"};

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
    // The note ends with the identity of the entry the picture was made from.
    EXPECT_EQ(summary.note,
              std::string(row.note) + " " + entry_identity(content.data(), content.size()));
  }
}

// A path as the page shows it: a break allowed after each separator.
std::string breakable(const std::string& path) {
  std::string out;
  for (char c : path) {
    out += c;
    if (c == '/' || c == '\\') out += "<wbr>";
  }
  return out;
}

std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The page as headless Chromium leaves it once its script ran, opened from
// the disk with `fragment` in its address (a filter). A window tall enough
// that every tile is in view, so that the lazy pictures load.
std::string page_in_chromium(const Sample& s, const std::string& fragment = "") {
  ScratchDir profile;
  const std::string dom = s.dir / "dom.html";
  const std::string page =
      fs::absolute(fs::u8path(s.dir / "Extracted/A/Textures/index.html")).generic_u8string();
  const std::string command =
      "\"" + kChromium +
      "\" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
      " --disable-background-networking --disable-component-update --disable-sync"
      " --user-data-dir=\"" +
      profile.path + "\" --window-size=1600,3000 --virtual-time-budget=10000 --dump-dom \"file://" +
      page + fragment + "\" >\"" + dom + "\" 2>/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return text_of(read_file(dom));
}

// Each tile of a page in Chromium: its opening tag, picture and caption.
struct ShownTile {
  std::string entry, format, picture, shown, caption;
  bool hidden = false, stale = false, skipped = false;
};

std::vector<ShownTile> shown_tiles(const std::string& html) {
  static const std::regex figure("<figure ([^>]*)>([\\s\\S]*?)</figure>");
  static const std::regex img("<img [^>]*>"), src("src=\"([^\"]*)\""),
      shown("data-shown=\"([^\"]*)\"");
  static const std::regex caption("<figcaption>([\\s\\S]*)</figcaption>");
  static const std::regex entry("data-entry=\"([^\"]*)\""), format("data-format=\"([^\"]*)\"");
  std::vector<ShownTile> out;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), figure);
       it != std::sregex_iterator(); ++it) {
    const std::string attributes = (*it)[1], body = (*it)[2];
    ShownTile t;
    std::smatch m;
    if (std::regex_search(attributes, m, entry)) t.entry = m[1];
    if (std::regex_search(attributes, m, format)) t.format = m[1];
    t.hidden = attributes.find("hidden") != std::string::npos;
    t.stale = attributes.find("data-stale") != std::string::npos;
    t.skipped = attributes.find("data-skipped") != std::string::npos;
    if (std::regex_search(body, m, img)) {
      const std::string tag = m[0];
      if (std::regex_search(tag, m, src)) t.picture = m[1];
      if (std::regex_search(tag, m, shown)) t.shown = m[1];
    }
    if (std::regex_search(body, m, caption)) t.caption = m[1];
    out.push_back(t);
  }
  return out;
}

// Every tile of the page, in entry order, from this run and the ones before.
std::vector<std::string> tiles(const std::string& html) {
  static const std::regex tile(
      "<figure data-entry=\"(\\d+)\"[^>]*><a href=\"(\\d+/\\d+_\\d+\\.(png|PNG))\"><img "
      "src=\"\\2\" "
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
  // The path back breaks only after a separator, never inside a name.
  EXPECT_NE(html.find("<code>" + breakable(shown("Import/A/Textures/7/0_2.png")) + "</code>"),
            std::string::npos);
  EXPECT_NE(html.find("code{word-break:keep-all;overflow-wrap:normal}"), std::string::npos);
  EXPECT_EQ(html.find("break-all"), std::string::npos);
  // Above the tiles, how to put a picture back: the folder, the name, the command.
  EXPECT_NE(html.find("<li>新建文件夹 <code>" + breakable(shown("Import/A/Textures/")) +
                      "<i>条目编号</i></code>"),
            std::string::npos);
  EXPECT_NE(html.find("PNG 图片或 DDS 文件都可以"), std::string::npos);
  EXPECT_NE(html.find("运行 <code>linkdata i A</code>"), std::string::npos);
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

// A player's browser opens the page from the disk and shows every picture;
// one smaller than the tile drawn larger by a whole factor, pixelated, with
// its real size and the factor in its caption.
TEST(PictureExport, GalleryShowsThePicturesInChromium) {
  if (kChromium.empty()) GTEST_SKIP() << "Chromium is not installed here (Debian: chromium)";
  Sample s;
  ASSERT_EQ(s.run({"e", "a", "0", "12", "p"}).status, 0);
  const std::string html = page_in_chromium(s);
  ASSERT_NE(html.find("<h1>贴图一览</h1>"), std::string::npos) << html.substr(0, 2000);
  struct Row {
    const char* picture;
    const char* shown;  // drawn size and scaling
    const char* facts;
  } rows[] = {{"3/0_0.png", "128x128 pixelated", "DXT1 16x16 5 级<br>放大 8 倍显示"},
              {"7/0_0.png", "128x128 pixelated", "DXT1 64x64 7 级<br>放大 2 倍显示"},
              {"7/0_2.png", "128x128 auto", "DXT5 128x128 8 级<br>放回"},
              {"7/0_3.png", "128x128 pixelated", "A8R8G8B8 32x32 1 级<br>放大 4 倍显示"},
              {"7/0_4.png", "128x64 pixelated", "DXT1 64x32 6 级<br>放大 2 倍显示"},
              {"8/1_0.png", "128x128 pixelated", "DXT5 32x32 6 级<br>放大 4 倍显示"}};
  std::vector<ShownTile> pictures;
  for (const ShownTile& t : shown_tiles(html)) {
    if (!t.skipped) pictures.push_back(t);
  }
  ASSERT_EQ(pictures.size(), std::size(rows));
  for (size_t i = 0; i < pictures.size(); ++i) {
    EXPECT_EQ(pictures[i].picture, rows[i].picture);
    EXPECT_EQ(pictures[i].shown, rows[i].shown) << rows[i].picture;
    EXPECT_NE(pictures[i].caption.find("<br>" + std::string(rows[i].facts)), std::string::npos)
        << pictures[i].caption;
  }
}

// The filter takes an entry number whole (7 is not 70), and a format; the
// page's address can give both.
TEST(PictureExport, GalleryFilterMatchesEntryNumbersExactlyInChromium) {
  if (kChromium.empty()) GTEST_SKIP() << "Chromium is not installed here (Debian: chromium)";
  Sample s;
  ASSERT_EQ(s.run({"e", "a", "7", "8", "p"}).status, 0);
  for (const char* entry : {"70", "17"}) {
    const std::string folder = s.dir / ("Extracted/A/Textures/" + std::string(entry));
    fs::create_directories(fs::u8path(folder));
    write_file(folder + "/0_0.png", read_file(s.dir / "Extracted/A/Textures/8/1_0.png"));
  }
  ASSERT_EQ(s.run({"e", "a", "8", "8", "p"}).status, 0);
  struct Case {
    const char* fragment;
    std::vector<std::string> visible;  // "<entry> <format>" of the tiles shown
  } cases[] = {{"#entry=7", {"7 DXT1", "7 格式 2", "7 DXT5", "7 A8R8G8B8", "7 DXT1"}},
               {"#entry=007&format=DXT1", {"7 DXT1", "7 DXT1"}},
               {"#format=DXT5", {"7 DXT5", "8 DXT5", "17 DXT5", "70 DXT5"}}};
  for (const Case& c : cases) {
    std::vector<std::string> visible;
    for (const ShownTile& t : shown_tiles(page_in_chromium(s, c.fragment))) {
      if (!t.hidden) visible.push_back(t.entry + " " + t.format);
    }
    EXPECT_EQ(visible, c.visible) << c.fragment;
  }
}

// A texture export leaves out for its format has a tile that says so, from a
// note beside the pictures that is read as any program's file, and that
// import never takes for a texture.
TEST(PictureExport, GalleryShowsTexturesLeftOutForTheirFormat) {
  Sample s;
  ASSERT_EQ(s.run({"e", "a", "7", "8", "p"}).status, 0);
  const std::string note = s.dir / "Extracted/A/Textures/7/skipped.txt";
  EXPECT_EQ(text_of(read_file(note)), "0_1 2 16x16 1\n");
  const std::string left_out =
      "<figure data-entry=\"7\" data-format=\"格式 2\" data-skipped=\"\"><div "
      "class=\"none\">格式不支持<br>未导出图片</div><figcaption>条目 <b>7</b> 贴图 "
      "<b>0_1</b><br>格式 2 16x16 1 级<br>本工具不支持此格式，不能导出，也不能导入</figcaption>"
      "</figure>";
  const std::string page = s.dir / "Extracted/A/Textures/index.html";
  EXPECT_NE(text_of(read_file(page)).find(left_out), std::string::npos);
  // Another program's lines: only the well-formed ones make tiles.
  fs::create_directories(fs::u8path(s.dir / "Extracted/A/Textures/9"));
  write_file(s.dir / "Extracted/A/Textures/9/skipped.txt",
             text_bytes("0_1 2 16x16 1 <b>\n<script>\n3_4 99999999999 1x1 1\n\n5_6 7 8x9 2"));
  ASSERT_EQ(s.run({"e", "a", "8", "8", "p"}).status, 0);
  const std::string html = text_of(read_file(page));
  EXPECT_EQ(html.find("<script>\n3_4"), std::string::npos);
  EXPECT_EQ(html.find("data-entry=\"9\" data-format=\"格式 2\""), std::string::npos);
  EXPECT_NE(html.find("<b>5_6</b><br>格式 7 8x9 2 级"), std::string::npos);
  // Copied to the import folder with the pictures, it is not imported.
  fs::create_directories(fs::u8path(s.dir / "Import/A/Textures/7"));
  write_file(s.dir / "Import/A/Textures/7/skipped.txt", read_file(note));
  EXPECT_EQ(s.run({"i", "a"}).out, "未找到可以导入的文件！\n");
}

// After an import (or a restore) changes an entry, the page marks its
// pictures as older than the archive, until they are exported again.
TEST(PictureExport, GalleryMarksPicturesOlderThanTheArchiveInChromium) {
  if (kChromium.empty()) GTEST_SKIP() << "Chromium is not installed here (Debian: chromium)";
  Sample s;
  ASSERT_EQ(s.run({"e", "a", "7", "8", "p"}).status, 0);
  // In Chromium, or from the page's file where the browser would add nothing.
  const auto stale_tiles = [&s](bool in_chromium) {
    const std::string html = in_chromium
                                 ? page_in_chromium(s)
                                 : text_of(read_file(s.dir / "Extracted/A/Textures/index.html"));
    std::vector<std::string> stale;
    for (const ShownTile& t : shown_tiles(html)) {
      const bool marked = t.caption.find("<span class=\"stale\">图片比存档旧") != std::string::npos;
      EXPECT_EQ(marked, t.stale) << t.picture;
      if (t.stale) stale.push_back(t.picture);
    }
    return stale;
  };
  EXPECT_EQ(stale_tiles(false), std::vector<std::string>{});
  fs::create_directories(fs::u8path(s.dir / "Import/A/Textures/7"));
  const Bytes picture = read_file(s.dir / "Extracted/A/Textures/7/0_3.png");
  write_file(s.dir / "Import/A/Textures/7/0_3.png", picture);
  ASSERT_EQ(s.run({"i", "a"}).status, 0);
  // The same pixels: the entry is as it was, and so are its pictures.
  EXPECT_EQ(stale_tiles(false), std::vector<std::string>{});
  const uint8_t red[4] = {255, 0, 0, 255};
  std::vector<uint8_t> pixels;
  for (int i = 0; i < 32 * 32; ++i) pixels.insert(pixels.end(), red, red + 4);
  write_file(s.dir / "Import/A/Textures/7/0_3.png", encode_png(pixels.data(), 32, 32, ""));
  ASSERT_EQ(s.run({"i", "a"}).status, 0);
  EXPECT_EQ(stale_tiles(true),
            (std::vector<std::string>{"7/0_0.png", "7/0_2.png", "7/0_3.png", "7/0_4.png"}));
  ASSERT_EQ(s.run({"e", "a", "7", "7", "p"}).status, 0);
  EXPECT_EQ(stale_tiles(false), std::vector<std::string>{});
  // A restore changes the entry back: the pictures of the import are older.
  ASSERT_EQ(s.run({"r", "a"}).status, 0);
  EXPECT_EQ(stale_tiles(false),
            (std::vector<std::string>{"7/0_0.png", "7/0_2.png", "7/0_3.png", "7/0_4.png"}));
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
    return int(write_texture_picture(t, level.data(), level.size(), "DXT1 1", from_utf8(path)));
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

// On a console export and import end with the summary line, export's with
// the gallery page it wrote; through a pipe (every other test) they print
// what they always did.
TEST(RunSummary, ExportAndImportSumUpOnAConsole) {
#ifdef _WIN32
  GTEST_SKIP() << "drives a POSIX pseudo-terminal";
#else
  Sample s;
  const std::regex summary(
      "共写出 (\\d+) 个文件、(\\d+) 个贴图文件，跳过 (\\d+) 个格式不支持的贴图，用时 "
      "\\d+\\.\\d 秒(.*)\n$");
  const std::string gallery = "，贴图一览页：" + shown("Extracted/A/Textures/index.html");
  struct Case {
    std::vector<std::string> args;
    const char *files, *textures, *skipped;
    std::string page;
  } cases[] = {{{"e", "a", "0", "12"}, "13", "0", "0", ""},
               {{"e", "a", "0", "12", "yp"}, "13", "12", "1", gallery},
               {{"e", "a", "7", "7", "p"}, "1", "4", "1", gallery}};
  for (const Case& c : cases) {
    const RunResult r = run_on_terminal(s.dir.path, c.args);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, summary)) << r.out;
    EXPECT_EQ(m[1], c.files);
    EXPECT_EQ(m[2], c.textures);
    EXPECT_EQ(m[3], c.skipped);
    EXPECT_EQ(m[4], c.page);
    EXPECT_EQ(r.out.substr(0, size_t(m.position(0))), run_tool(s.dir.path, c.args).out);
  }
  // Entry 4 in place; entry 7 sent to the end by a texture of noise.
  write_file(s.dir / "Import/A/4.data", read_file(s.dir / "Extracted/A/4.data"));
  Bytes dds = read_file(s.dir / "Extracted/A/Textures/7/0_2.dds");
  std::mt19937 random(7);
  for (size_t i = 128; i < dds.size(); ++i) dds[i] = uint8_t(random());
  fs::create_directories(fs::u8path(s.dir / "Import/A/Textures/7"));
  write_file(s.dir / "Import/A/Textures/7/0_2.dds", dds);
  const RunResult r = run_on_terminal(s.dir.path, {"i", "a"});
  EXPECT_NE(r.out.find("条目 7 导入贴图后放不下原来的位置"), std::string::npos) << r.out;
  const std::regex import_summary(
      "共改写 (\\d+) 个条目（其中 (\\d+) 个追加到存档末尾）、导入 (\\d+) 张贴图，用时 "
      "\\d+\\.\\d 秒\n$");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, import_summary)) << r.out;
  EXPECT_EQ(m[1], "2");
  EXPECT_EQ(m[2], "1");
  EXPECT_EQ(m[3], "1");
#endif
}

}  // namespace
}  // namespace linkdata::test
