// The listing of mode m: the mods installed in each archive, layer by layer,
// and those under Mods/ that are not; and for the listing of entries, the
// layer on top of each.
#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "archive/modes/listing_format.h"
#include "archive/modes/mod_folder.h"
#include "archive/modes/mods.h"
#include "archive/modes/mods_session.h"
#include "platform/messages.h"
#include "platform/text_encoding.h"

namespace linkdata {

using namespace mods_detail;

namespace {

struct ModRow {
  std::wstring name, archive, order, state, entries, textures, overlaps, info;
};

std::wstring info_of(const std::string& title, const std::string& version,
                     const std::string& author, const std::string& description) {
  std::wstring out = shown_text(title);
  if (!version.empty()) out += L" " + shown_text(version);
  if (!author.empty()) out += L" - " + shown_text(author);
  if (!description.empty()) out += L": " + shown_text(description);
  return out;
}

std::wstring overlaps_of(const std::vector<ModLayer>& layers, size_t i) {
  std::wstring out;
  const auto add = [&out](const std::wstring& text) { out += (out.empty() ? L"" : L"; ") + text; };
  for (const ModEntry& mine : layers[i].entries) {
    for (size_t j = 0; j < layers.size(); ++j) {
      const ModEntry* theirs = j == i ? nullptr : find_entry(layers[j], mine.entry);
      if (theirs == nullptr) continue;
      const std::wstring winner = layer_name(layers[std::max(i, j)]);
      if (mine.whole || theirs->whole) {
        add(msg::mod_overlap(mine.entry, L"", layer_name(layers[j]), winner));
        continue;
      }
      for (const ModTexture& t : mine.textures) {
        for (const ModTexture& u : theirs->textures) {
          if (same_texture(t, u)) {
            add(msg::mod_overlap(mine.entry, texture_label(t.sub_index, t.texture_index),
                                 layer_name(layers[j]), winner));
          }
        }
      }
    }
  }
  return out;
}

void print_rows(const std::vector<ModRow>& rows) {
  const ModRow title{msg::kModTitle,        msg::kModArchiveTitle, msg::kModOrderTitle,
                     msg::kModStateTitle,   msg::kModEntriesTitle, msg::kModTexturesTitle,
                     msg::kModOverlapTitle, msg::kModInfoTitle};
  const auto cells = [](const ModRow& r) {
    return std::vector<std::wstring>{r.name,    r.archive,  r.order,    r.state,
                                     r.entries, r.textures, r.overlaps, r.info};
  };
  std::vector<ModRow> all{title};
  all.insert(all.end(), rows.begin(), rows.end());
  std::wstring text;
  if (!platform::output_is_console()) {
    for (const ModRow& r : all) {
      const std::vector<std::wstring> c = cells(r);
      for (size_t k = 0; k < c.size(); ++k) text += (k ? L"\t" : L"") + c[k];
      text += L"\n";
    }
    platform::output_write_utf8(text);
    return;
  }
  std::vector<size_t> widths(8, 0);
  for (const ModRow& r : all) {
    const std::vector<std::wstring> c = cells(r);
    for (size_t k = 0; k < c.size(); ++k) widths[k] = std::max(widths[k], display_width(c[k]));
  }
  for (const ModRow& r : all) {
    const std::vector<std::wstring> c = cells(r);
    std::wstring line;
    for (size_t k = 0; k < c.size(); ++k) {
      line += c[k];
      if (k + 1 < c.size()) line += std::wstring(widths[k] - display_width(c[k]) + 2, L' ');
    }
    while (!line.empty() && line.back() == L' ') line.pop_back();
    text += line + L"\n";
  }
  platform::console_write(text);
}

}  // namespace

bool run_mods_list() {
  std::vector<ModRow> rows;
  std::set<std::wstring> installed;
  bool ok = true;
  for (const std::wstring& letter : letters_with_records()) {
    Session s(letter);
    if (!open_session(s, ArchiveUse::read)) {
      ok = false;
      continue;
    }
    const bool set_aside = s.record.identity.original_length == 0;
    if (!set_aside && !reconcile(s, {})) {
      ok = false;
      continue;
    }
    for (size_t i = 0; i < s.record.layers.size(); ++i) {
      const ModLayer& l = s.record.layers[i];
      ModRow row;
      row.name = layer_name(l);
      row.archive = s.archive_name;
      row.order = std::to_wstring(i + 1);
      // The player's own imports have no folder.
      const bool own = l.name.empty();
      const uint32_t now = own ? l.fingerprint : mod_fingerprint(from_utf8(l.name));
      row.state = set_aside              ? msg::kModSetAside
                  : now == 0 && !own     ? msg::kModFolderGone
                  : l.partly_taken_out   ? msg::kModPartlyTakenOut
                  : now != l.fingerprint ? msg::kModFolderChanged
                                         : msg::kModInstalled;
      size_t whole = 0, textures = 0;
      for (const ModEntry& e : l.entries) {
        whole += e.whole;
        textures += e.textures.size();
      }
      row.entries = std::to_wstring(whole);
      row.textures = std::to_wstring(textures);
      row.overlaps = overlaps_of(s.record.layers, i);
      row.info = info_of(l.title, l.version, l.author, l.description);
      if (!l.name.empty()) installed.insert(from_utf8(l.name));
      rows.push_back(std::move(row));
    }
  }
  for (const std::wstring& name : mods_in_folder()) {
    if (installed.count(name)) continue;
    size_t loose = 0, textures = 0;
    for (const std::wstring& letter : mod_letters(name)) {
      ModLetterFiles files;
      gather_mod_files(name, letter, &files);
      loose += files.loose.size();
      textures += files.textures.size();
    }
    const ModInfo info = read_mod_info(name);
    rows.push_back({name, L"-", L"-", msg::kModNotInstalled, std::to_wstring(loose),
                    std::to_wstring(textures), L"",
                    info_of(info.title, info.version, info.author, info.description)});
  }
  print_rows(rows);
  return ok;
}

bool mods_on_top(const std::wstring& archive_name, std::map<uint32_t, LayerOnTop>* top) {
  ModsRecord record;
  ModsRecordKind kind = ModsRecordKind::committed;
  if (load_mods_file(mods_record_path(archive_name), &record, &kind) != ModsLoad::ok ||
      kind != ModsRecordKind::committed) {
    return false;
  }
  for (const ModLayer& layer : record.layers) {
    for (const ModEntry& e : layer.entries) (*top)[e.entry].name = layer_name(layer);
  }
  for (const EntryState& state : record.states) {
    const auto it = top->find(state.entry);
    if (it != top->end()) std::copy(state.record, state.record + 16, it->second.record);
  }
  return true;
}

}  // namespace linkdata
