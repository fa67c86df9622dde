// Mods as named layers over an archive: installed, updated, taken out and
// listed (mode m). Every archive write goes through the archive's writer, as
// import's do; what each mod contributed is kept in the record of mods
// (archive/safety/mods_record.h), so that taking a mod out never needs its
// folder.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace linkdata {

// `m`: the mods under Mods/ and those installed in each archive.
bool run_mods_list();
// `m + <name>` and, with over_conflicts, `m ++ <name>`.
bool run_mod_install(const std::wstring& name, bool over_conflicts);
// `m - <name>`.
bool run_mod_remove(const std::wstring& name);

// For the listing: the layer on top of an entry that a layer changes, and
// the index record the last change of mods left it with.
struct LayerOnTop {
  std::wstring name;
  uint8_t record[16] = {};
};

// Whether the archive has mods installed (a record that reads back), and
// the layer on top of each entry that a layer changes.
bool mods_on_top(const std::wstring& archive_name, std::map<uint32_t, LayerOnTop>* top);

}  // namespace linkdata
