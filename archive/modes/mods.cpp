// Taking a mod out (m -), and for the runs of other modes that write an
// archive, a change of mods that a crash cut short settled first.
#include "archive/modes/mods.h"

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/modes/mod_folder.h"
#include "archive/modes/mods_session.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "platform/text_encoding.h"

namespace linkdata {

using namespace mods_detail;

bool settle_pending_mods(const std::wstring& archive_name, platform::File& archive, bool writable) {
  if (platform::name_kind(mods_pending_path(archive_name)) == platform::NameKind::none) {
    return true;
  }
  Session s(L"", archive_name);
  s.archive = std::move(archive);
  const bool ok = judge_side_files(s, ArchiveUse::write, writable);
  archive = std::move(s.archive);
  return ok;
}

bool run_mod_remove(const std::wstring& name) {
  if (!valid_mod_name(name)) return fail(msg::mod_name_invalid(name));
  const std::string key = to_utf8(name);
  bool found = false;
  for (const std::wstring& letter : letters_with_records()) {
    Session s(letter);
    if (!open_session(s, ArchiveUse::write)) return false;
    // A take-out of this mod that a crash cut short is done now.
    found = found || s.finished_pending;
    auto layer = find_layer(s.record.layers, key);
    if (layer == s.record.layers.end()) continue;
    found = true;
    const std::vector<uint32_t> entries = entries_of(*layer);
    if (!reconcile(s, std::set<uint32_t>(entries.begin(), entries.end())) || !keep_reconciled(s)) {
      return false;
    }
    s.record.layers.erase(find_layer(s.record.layers, key));
    if (!rebuild_entries(s, entries)) return false;
    say(msg::mod_removed(s.archive_name, name));
  }
  return found || fail(msg::mod_not_installed(name));
}

}  // namespace linkdata
