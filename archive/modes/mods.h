// Mods as named layers over an archive: installed, updated, taken out and
// listed (mode m). Every archive write goes through the archive's writer, as
// import's do; what each mod contributed is kept in the record of mods
// (archive/safety/mods_record.h), so that taking a mod out never needs its
// folder.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/platform.h"

namespace linkdata {

// `m`: the mods under Mods/ and those installed in each archive.
bool run_mods_list();
// `m + <name>` and, with over_conflicts, `m ++ <name>`.
bool run_mod_install(const std::wstring& name, bool over_conflicts);
// `m - <name>`.
bool run_mod_remove(const std::wstring& name);

// For a run outside mode m that writes the archive (an import, a range
// restore), under the lock it holds, before anything else: a change of mods
// that a crash cut short is settled as the next m run would settle it, so
// that it never rewrites an entry after this run's own writes. Nothing is
// said or done when no change is pending; false after a message that stops
// the run. The archive is lent to the settling and handed back either way.
bool settle_pending_mods(const std::wstring& archive_name, platform::File& archive, bool writable);

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
