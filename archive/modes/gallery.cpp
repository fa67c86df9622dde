// Writing the gallery page. It is plain static HTML in UTF-8, readable from
// the disk with no server and nothing fetched from elsewhere: the pictures
// load lazily as they scroll into view, so tens of thousands of tiles stay
// usable, and one small inline script filters the tiles by entry number and
// format. Besides the pictures it reads the notes export and import leave
// beside them (gallery_notes.h): textures left out, and which pictures are
// older than the archive's entry.
#include "archive/modes/gallery.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <set>
#include <tuple>
#include <vector>

#include "archive/format/entry_content.h"
#include "archive/format/format.h"
#include "archive/modes/gallery_notes.h"
#include "archive/modes/texture_file_name.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "platform/whole_file.h"
#include "platform/working_paths.h"
#include "textures/png_picture.h"

namespace linkdata {

namespace {

constexpr size_t kSummaryBytes = 4096;  // the note stands right after the header
constexpr uint32_t kTileSide = 128;     // the pictures' room in a tile, in CSS pixels

struct Tile {
  uint64_t entry = 0, sub = 0, index = 0;
  std::wstring entry_name, file_name;  // file_name empty: a texture left out
  PngSummary summary;
  bool readable = false;
  bool stale = false;      // the picture is older than the archive's entry
  SkippedTexture skipped;  // of a texture left out for its format
};

// A picture's note: "<format> <levels> <identity of the entry's content>"
// (gallery_notes.h; older notes end after the levels), each word as any
// program wrote it.
struct NoteWords {
  std::string format, levels, identity;
  bool has_levels = false;
};

NoteWords note_words(const std::string& note) {
  NoteWords w;
  const size_t first = note.find(' ');
  if (first == std::string::npos) {
    w.format = note;
    return w;
  }
  w.format = note.substr(0, first);
  w.has_levels = true;
  const size_t second = note.find(' ', first + 1);
  w.levels =
      note.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  if (second != std::string::npos) w.identity = note.substr(second + 1);
  return w;
}

// "<sub>_<t>.png" in any letter case: a picture's name as import reads it,
// so that a file import would take back is a file the page shows.
bool parse_picture_name(const std::wstring& name, uint64_t* sub, uint64_t* index) {
  const std::optional<TextureFileName> parsed = parse_texture_file_name(name);
  if (!parsed || parsed->type != TextureFileType::png) return false;
  *sub = parsed->sub_index;
  *index = parsed->texture_index;
  return true;
}

void read_summary(const std::wstring& path, Tile* tile) {
  platform::File file = platform::File::open_read(path);
  if (!file.is_open()) return;
  std::vector<uint8_t> head(kSummaryBytes);
  size_t got = 0;
  if (!file.read_at(0, head.data(), head.size(), &got)) return;
  tile->readable = read_png_summary(head.data(), got, &tile->summary);
}

// Pictures are export's own files: a folder that is a link is not export's
// and is left out, and a picture's name that holds anything but a regular
// file (a FIFO would hold its open for ever) is left out and named in
// `skipped`.
std::vector<Tile> find_tiles(const std::wstring& texture_dir, std::vector<std::wstring>* skipped) {
  std::vector<Tile> tiles;
  std::vector<platform::ListedName> entries;
  if (!platform::list_directory(texture_dir, &entries)) return tiles;
  for (const platform::ListedName& e : entries) {
    const std::optional<uint64_t> entry = texture_name_number(e.name);
    if (!e.is_directory || !entry) continue;
    const std::wstring entry_dir = join_path(texture_dir, e.name);
    if (platform::name_kind(entry_dir) != platform::NameKind::folder) continue;
    std::vector<platform::ListedName> files;
    if (!platform::list_directory(entry_dir, &files)) continue;
    bool not_regular = false;
    const std::optional<std::string> identity = read_entry_identity(entry_dir, &not_regular);
    if (not_regular) skipped->push_back(entry_identity_path(entry_dir));
    not_regular = false;
    for (const SkippedTexture& left_out : read_skipped_textures(entry_dir, &not_regular)) {
      Tile tile;
      tile.entry = *entry;
      tile.entry_name = e.name;
      tile.sub = left_out.sub_index;
      tile.index = left_out.texture_index;
      tile.skipped = left_out;
      tiles.push_back(std::move(tile));
    }
    if (not_regular) skipped->push_back(skipped_textures_path(entry_dir));
    for (const platform::ListedName& f : files) {
      Tile tile;
      if (f.is_directory || !parse_picture_name(f.name, &tile.sub, &tile.index)) continue;
      const std::wstring path = join_path(entry_dir, f.name);
      if (platform::name_kind(path) != platform::NameKind::file) {
        skipped->push_back(path);
        continue;
      }
      tile.entry = *entry;
      tile.entry_name = e.name;
      tile.file_name = f.name;
      read_summary(path, &tile);
      // A picture written before the entry last changed, as far as the tool
      // saw: its note carries another identity, or none.
      tile.stale = tile.readable && identity && note_words(tile.summary.note).identity != *identity;
      tiles.push_back(std::move(tile));
    }
  }
  std::sort(tiles.begin(), tiles.end(), [](const Tile& a, const Tile& b) {
    return std::tie(a.entry, a.sub, a.index, a.file_name) <
           std::tie(b.entry, b.sub, b.index, b.file_name);
  });
  return tiles;
}

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string escaped(const std::wstring& text) { return escaped(to_utf8(text)); }

// The controls that override or isolate the direction of the text around
// them: in a page they could make a tile's words read other than they are.
bool direction_control(uint32_t c) {
  return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void append_utf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    *out += char(c);
  } else if (c < 0x800) {
    *out += char(0xC0 | c >> 6);
    *out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += char(0xE0 | c >> 12);
    *out += char(0x80 | (c >> 6 & 0x3F));
    *out += char(0x80 | (c & 0x3F));
  } else {
    *out += char(0xF0 | c >> 18);
    *out += char(0x80 | (c >> 12 & 0x3F));
    *out += char(0x80 | (c >> 6 & 0x3F));
    *out += char(0x80 | (c & 0x3F));
  }
}

// Text from a picture's chunks, which any program may have written, as the
// page may show it: valid UTF-8, each ill-formed sequence (its longest
// start that could still have become a character) one U+FFFD, as browsers
// decode it, and without direction controls.
std::string page_text(const std::string& bytes) {
  constexpr uint32_t kReplacement = 0xFFFD;
  std::string out;
  uint32_t code = 0;
  int needed = 0;
  uint8_t lower = 0x80, upper = 0xBF;  // of the next continuation byte
  auto put = [&out](uint32_t c) {
    if (!direction_control(c)) append_utf8(c, &out);
  };
  for (size_t i = 0; i < bytes.size();) {
    const uint8_t b = uint8_t(bytes[i]);
    if (needed == 0) {
      ++i;
      if (b < 0x80) {
        put(b);
      } else if (b >= 0xC2 && b <= 0xDF) {
        needed = 1, code = b & 0x1Fu;
      } else if (b >= 0xE0 && b <= 0xEF) {
        // No overlong forms, no surrogates.
        lower = b == 0xE0 ? 0xA0 : 0x80, upper = b == 0xED ? 0x9F : 0xBF;
        needed = 2, code = b & 0x0Fu;
      } else if (b >= 0xF0 && b <= 0xF4) {
        // No overlong forms, nothing past U+10FFFF.
        lower = b == 0xF0 ? 0x90 : 0x80, upper = b == 0xF4 ? 0x8F : 0xBF;
        needed = 3, code = b & 0x07u;
      } else {
        put(kReplacement);
      }
      continue;
    }
    const bool continues = b >= lower && b <= upper;
    lower = 0x80, upper = 0xBF;
    if (!continues) {
      // The sequence ends before this byte, which starts afresh.
      needed = 0;
      put(kReplacement);
      continue;
    }
    code = code << 6 | (b & 0x3Fu);
    ++i;
    if (--needed == 0) put(code);
  }
  if (needed != 0) put(kReplacement);
  return out;
}

const char kHead[] = R"(<!DOCTYPE html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>贴图一览</title>
<style>
body{font-family:sans-serif;margin:1em;background:#f4f4f4;color:#222}
.how{max-width:60em;padding:.2em 1em;background:#fff;border:1px solid #ccc;border-radius:4px}
code{word-break:keep-all;overflow-wrap:normal}
#tiles{display:flex;flex-wrap:wrap;gap:8px}
figure{margin:0;width:180px;padding:6px;background:#fff;border:1px solid #ccc;border-radius:4px;
content-visibility:auto;contain-intrinsic-size:194px 230px}
figure a,figure .none{display:flex;align-items:center;justify-content:center;height:128px;
background:repeating-conic-gradient(#ddd 0 25%,#fff 0 50%) 0 0/16px 16px}
figure .none{background:#eee;color:#666;font-size:12px;text-align:center}
figure img{max-width:128px;max-height:128px;width:auto;height:auto}
figure img.px{image-rendering:pixelated;max-width:none;max-height:none}
figcaption{font-size:12px;line-height:1.4;margin-top:4px;overflow-wrap:normal;word-break:normal}
figcaption code{font-size:11px;color:#555;user-select:all}
.stale{color:#b00;font-weight:bold}
</style>
<script>
// Marks each picture that the browser has decoded with the size it is drawn
// at and how it is scaled; filters the tiles by entry number and format,
// which the page's address may also give: index.html#entry=7&format=DXT5.
document.addEventListener("load", function (e) {
  var t = e.target;
  if (t.tagName === "IMG" && t.naturalWidth > 0)
    t.setAttribute("data-shown", t.clientWidth + "x" + t.clientHeight + " " +
                   getComputedStyle(t).imageRendering);
}, true);
function filterTiles() {
  var q = document.getElementById("entry").value.trim().replace(/^0+(?=\d)/, ""),
      f = document.getElementById("format").value,
      tiles = document.querySelectorAll("#tiles figure");
  for (var i = 0; i < tiles.length; ++i)
    tiles[i].hidden = (q !== "" && tiles[i].getAttribute("data-entry") !== q) ||
                      (f !== "" && tiles[i].getAttribute("data-format") !== f);
}
document.addEventListener("DOMContentLoaded", function () {
  var words = location.hash.slice(1).split("&");
  for (var i = 0; i < words.length; ++i) {
    var kv = words[i].split("="), value;
    try { value = decodeURIComponent(kv[1] || ""); } catch (err) { continue; }
    if (kv[0] === "entry") document.getElementById("entry").value = value;
    if (kv[0] === "format") document.getElementById("format").value = value;
  }
  filterTiles();
});
</script>
</head>
<body>
<h1>贴图一览</h1>
)";

// The pictures' paths and the folders named in the page, with a break
// allowed after each separator and nowhere inside a name.
std::string path_text(const std::wstring& path) {
  std::string out;
  for (char c : escaped(path)) {
    out += c;
    if (c == '/' || c == '\\') out += "<wbr>";
  }
  return out;
}

std::string format_of(const Tile& t) {
  if (t.file_name.empty()) return "格式 " + std::to_string(t.skipped.format_code);
  return t.readable ? escaped(page_text(note_words(t.summary.note).format)) : std::string();
}

void append_picture_tile(const Tile& t, const std::wstring& import_texture_dir, std::string* html) {
  const std::string src = escaped(t.entry_name) + "/" + escaped(t.file_name);
  const std::wstring stem = t.file_name.substr(0, t.file_name.size() - 4);
  std::string facts = "无法读取的图片";
  std::string size_attributes;
  if (t.readable) {
    const uint32_t width = t.summary.width, height = t.summary.height;
    const std::string w = std::to_string(width), h = std::to_string(height);
    const NoteWords words = note_words(t.summary.note);
    if (!words.has_levels) {
      facts = "格式未知 " + w + "x" + h;
    } else {
      facts = escaped(page_text(words.format)) + " " + w + "x" + h + " " +
              escaped(page_text(words.levels)) + " 级";
    }
    size_attributes = " width=\"" + w + "\" height=\"" + h + "\"";
    // A picture smaller than the tile is drawn larger by a whole factor,
    // each pixel a square, so that a 32x32 texture is no speck.
    const uint32_t side = std::max(width, height);
    const uint32_t factor = side == 0 ? 1 : kTileSide / side;
    if (factor >= 2) {
      size_attributes += " class=\"px\" style=\"width:" + std::to_string(width * factor) +
                         "px;height:" + std::to_string(height * factor) + "px\"";
      facts += "<br>放大 " + std::to_string(factor) + " 倍显示";
    }
  }
  const std::wstring back = join_path(join_path(import_texture_dir, t.entry_name), t.file_name);
  *html +=
      "<figure data-entry=\"" + std::to_string(t.entry) + "\" data-format=\"" + format_of(t) +
      "\"" + (t.stale ? " data-stale=\"\"" : "") + "><a href=\"" + src + "\"><img src=\"" + src +
      "\" loading=\"lazy\" decoding=\"async\" alt=\"" + escaped(t.entry_name) + " " +
      escaped(stem) + "\"" + size_attributes + "></a><figcaption>条目 <b>" + escaped(t.entry_name) +
      "</b> 贴图 <b>" + escaped(stem) + "</b><br>" + facts + "<br>" +
      (t.stale ? "<span class=\"stale\">图片比存档旧：条目在图片写出后已改动，请重新导出</span><br>"
               : "") +
      "放回：<code>" + path_text(back) + "</code></figcaption></figure>\n";
}

void append_skipped_tile(const Tile& t, std::string* html) {
  const SkippedTexture& k = t.skipped;
  const std::string name = std::to_string(k.sub_index) + "_" + std::to_string(k.texture_index);
  *html +=
      "<figure data-entry=\"" + std::to_string(t.entry) + "\" data-format=\"" + format_of(t) +
      "\" data-skipped=\"\"><div class=\"none\">格式不支持<br>未导出图片</div><figcaption>条目 "
      "<b>" +
      escaped(t.entry_name) + "</b> 贴图 <b>" + name + "</b><br>" + format_of(t) + " " +
      std::to_string(k.width) + "x" + std::to_string(k.height) + " " + std::to_string(k.mip_count) +
      " 级<br>本工具不支持此格式，不能导出，也不能导入</figcaption></figure>\n";
}

// What to do with an edited picture, before the tiles.
std::string how_to_put_back(const WorkTree& tree) {
  const std::string folder = path_text(join_path(tree.import_texture_dir, L""));
  const std::string example = path_text(join_path(join_path(tree.import_texture_dir, L"7"), L""));
  const std::string letter = escaped(tree.letter);
  return "<div class=\"how\">\n<p>放回改好的贴图：</p>\n<ol>\n<li>新建文件夹 <code>" + folder +
         "<i>条目编号</i></code>（条目 7 即 <code>" + example +
         "</code>）；</li>\n<li>把改好的图片按原文件名（如 <code>0_2.png</code>）复制进去，"
         "尺寸须与原图相同，PNG 图片或 DDS 文件都可以；</li>\n<li>在游戏数据文件夹中运行 <code>"
         "linkdata i " +
         letter +
         "</code>。</li>\n</ol>\n<p>每个贴图下的“放回”是它的完整路径。标有“图片比存档旧”的贴图，"
         "其条目在图片写出后已被改动（例如导入），请先重新导出再修改，例如 <code>linkdata e " +
         letter + " 7 7 p</code>。</p>\n</div>\n";
}

}  // namespace

std::wstring gallery_path(const std::wstring& texture_dir) {
  return join_path(texture_dir, L"index.html");
}

bool write_gallery(const WorkTree& tree, std::vector<std::wstring>* skipped) {
  const std::vector<Tile> tiles = find_tiles(tree.texture_dir, skipped);
  size_t pictures = 0, left_out = 0, stale = 0;
  std::set<std::string> formats;
  for (const Tile& t : tiles) {
    (t.file_name.empty() ? left_out : pictures) += 1;
    if (t.stale) ++stale;
    const std::string format = format_of(t);
    if (!format.empty()) formats.insert(format);
  }
  std::string html = kHead;
  html += how_to_put_back(tree);
  html += "<p>共 " + std::to_string(pictures) + " 个贴图（每个贴图的最大一级）";
  if (stale != 0) html += "，其中 " + std::to_string(stale) + " 个图片比存档旧";
  if (left_out != 0) html += "；另有 " + std::to_string(left_out) + " 个贴图格式不支持，未导出";
  html +=
      "。</p>\n<p><label>条目编号：<input id=\"entry\" type=\"search\" inputmode=\"numeric\" "
      "oninput=\"filterTiles()\"></label> <label>格式：<select id=\"format\" "
      "onchange=\"filterTiles()\"><option value=\"\">全部</option>";
  for (const std::string& format : formats) html += "<option>" + format + "</option>";
  html += "</select></label></p>\n<div id=\"tiles\">\n";
  for (const Tile& t : tiles) {
    if (t.file_name.empty()) {
      append_skipped_tile(t, &html);
    } else {
      append_picture_tile(t, tree.import_texture_dir, &html);
    }
  }
  html += "</div>\n</body>\n</html>\n";

  WholeFile file(gallery_path(tree.texture_dir), html.size());
  return file.is_open() && file.write_at(0, html.data(), html.size()) && file.finish();
}

void refresh_gallery(const WorkTree& tree, platform::File& archive, uint32_t offset_unit,
                     const std::vector<uint32_t>& entries, std::vector<std::wstring>* skipped,
                     std::vector<std::wstring>* unwritten) {
  // A link in place of the texture folder is not export's, nor entered.
  if (platform::name_kind(tree.texture_dir) != platform::NameKind::folder) return;
  uint64_t length = 0;
  if (!archive.size(&length)) return;
  const std::set<uint32_t> changed(entries.begin(), entries.end());
  std::vector<IndexRecord> records;
  for (const uint32_t n : changed) {
    const std::wstring entry_dir = entry_texture_dir(tree.texture_dir, n);
    if (platform::name_kind(entry_dir) != platform::NameKind::folder) continue;
    std::vector<uint8_t> content;
    try {
      if (!read_index_records(archive, n, 1, &records) ||
          !read_entry_content(archive, length, offset_unit, n, records[0], &content).empty()) {
        continue;  // its failure was the run's to tell
      }
    } catch (const std::bad_alloc&) {
      continue;
    }
    if (!write_entry_identity(entry_dir, entry_identity(content.data(), content.size()))) {
      unwritten->push_back(entry_identity_path(entry_dir));
    }
  }
  const std::wstring page = gallery_path(tree.texture_dir);
  if (platform::name_kind(page) != platform::NameKind::file) return;
  if (!write_gallery(tree, skipped)) unwritten->push_back(page);
}

bool refresh_gallery_after_run(const std::wstring& letter, platform::File& archive,
                               uint32_t offset_unit, const std::vector<uint32_t>& entries) {
  if (letter.empty() || entries.empty()) return true;
  std::vector<std::wstring> skipped, unwritten;
  refresh_gallery(work_tree_for(letter), archive, offset_unit, entries, &skipped, &unwritten);
  for (const std::wstring& path : skipped) say(msg::not_regular_file(path));
  for (const std::wstring& path : unwritten) say(msg::gallery_write_failed(path));
  drop_spare_files();
  return skipped.empty() && unwritten.empty();
}

}  // namespace linkdata
