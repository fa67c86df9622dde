// Writing the gallery page. It is plain static HTML in UTF-8, readable from
// the disk with no server and nothing fetched from elsewhere: the pictures
// load lazily as they scroll into view, so tens of thousands of tiles stay
// usable, and one small inline script filters the tiles by entry number.
#include "archive/modes/gallery.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

#include "archive/modes/texture_file_name.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "platform/whole_file.h"
#include "platform/working_paths.h"
#include "textures/png_picture.h"

namespace linkdata {

namespace {

constexpr size_t kSummaryBytes = 4096;  // the note stands right after the header

struct Tile {
  uint64_t entry = 0, sub = 0, index = 0;
  std::wstring entry_name, file_name;
  PngSummary summary;
  bool readable = false;
};

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
#tiles{display:flex;flex-wrap:wrap;gap:8px}
figure{margin:0;width:180px;padding:6px;background:#fff;border:1px solid #ccc;border-radius:4px;
content-visibility:auto;contain-intrinsic-size:194px 210px}
figure a{display:flex;align-items:center;justify-content:center;height:128px;
background:repeating-conic-gradient(#ddd 0 25%,#fff 0 50%) 0 0/16px 16px}
figure img{max-width:128px;max-height:128px;width:auto;height:auto}
figcaption{font-size:12px;line-height:1.4;margin-top:4px;word-break:break-all}
figcaption code{font-size:11px;color:#555;user-select:all}
</style>
<script>
// Marks each picture that the browser has decoded, and filters by entry number.
document.addEventListener("load", function (e) {
  var t = e.target;
  if (t.tagName === "IMG" && t.naturalWidth > 0) t.setAttribute("data-shown", "");
}, true);
function filterTiles(text) {
  var q = text.trim(), tiles = document.querySelectorAll("#tiles figure");
  for (var i = 0; i < tiles.length; ++i)
    tiles[i].hidden = q !== "" && tiles[i].getAttribute("data-entry").indexOf(q) !== 0;
}
</script>
</head>
<body>
<h1>贴图一览</h1>
)";

void append_tile(const Tile& t, const std::wstring& import_texture_dir, std::string* html) {
  const std::string src = escaped(t.entry_name) + "/" + escaped(t.file_name);
  const std::wstring stem = t.file_name.substr(0, t.file_name.size() - 4);
  std::string facts = "无法读取的图片";
  std::string size_attributes;
  if (t.readable) {
    const std::string w = std::to_string(t.summary.width), h = std::to_string(t.summary.height);
    const size_t space = t.summary.note.find(' ');
    if (space == std::string::npos) {
      facts = "格式未知 " + w + "x" + h;
    } else {
      facts = escaped(page_text(t.summary.note.substr(0, space))) + " " + w + "x" + h + " " +
              escaped(page_text(t.summary.note.substr(space + 1))) + " 级";
    }
    size_attributes = " width=\"" + w + "\" height=\"" + h + "\"";
  }
  const std::wstring back = join_path(join_path(import_texture_dir, t.entry_name), t.file_name);
  *html += "<figure data-entry=\"" + escaped(t.entry_name) + "\"><a href=\"" + src +
           "\"><img src=\"" + src + "\" loading=\"lazy\" decoding=\"async\" alt=\"" +
           escaped(t.entry_name) + " " + escaped(stem) + "\"" + size_attributes +
           "></a><figcaption>条目 <b>" + escaped(t.entry_name) + "</b> 贴图 <b>" + escaped(stem) +
           "</b><br>" + facts + "<br>放回：<code>" + escaped(back) +
           "</code></figcaption></figure>\n";
}

}  // namespace

std::wstring gallery_path(const std::wstring& texture_dir) {
  return join_path(texture_dir, L"index.html");
}

bool write_gallery(const std::wstring& texture_dir, const std::wstring& import_texture_dir,
                   std::vector<std::wstring>* skipped) {
  const std::vector<Tile> tiles = find_tiles(texture_dir, skipped);
  std::string html = kHead;
  html += "<p>共 " + std::to_string(tiles.size()) +
          " 个贴图（每个贴图的最大一级）。修改后的图片尺寸须与原图相同，按“放回”所示的路径放入"
          "导入目录后运行导入。</p>\n<p><label>按条目编号筛选：<input type=\"search\" "
          "oninput=\"filterTiles(this.value)\" inputmode=\"numeric\"></label></p>\n"
          "<div id=\"tiles\">\n";
  for (const Tile& t : tiles) append_tile(t, import_texture_dir, &html);
  html += "</div>\n</body>\n</html>\n";

  WholeFile file(gallery_path(texture_dir));
  return file.is_open() && file.write_at(0, html.data(), html.size()) && file.finish();
}

}  // namespace linkdata
