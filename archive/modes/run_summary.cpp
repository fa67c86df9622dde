#include "archive/modes/run_summary.h"

#include "platform/console.h"
#include "platform/messages.h"
#include "platform/platform.h"

namespace linkdata {
namespace {

double seconds_since(const RunTally& tally) {
  const auto elapsed = std::chrono::steady_clock::now() - tally.started;
  return std::chrono::duration<double>(elapsed).count();
}

}  // namespace

void report_export_on_console(const RunTally& tally) {
  if (!platform::output_is_console()) return;
  const double seconds = seconds_since(tally);
  if (tally.gallery_page.empty()) {
    say(msg::run_summary(tally.files_written, tally.textures_written, tally.textures_skipped,
                         seconds));
    return;
  }
  say(msg::run_summary_with_gallery(tally.files_written, tally.textures_written,
                                    tally.textures_skipped, seconds, tally.gallery_page));
}

void report_import_on_console(const RunTally& tally) {
  if (!platform::output_is_console()) return;
  say(msg::import_summary(tally.entries_rewritten, tally.entries_appended, tally.textures_written,
                          seconds_since(tally)));
}

}  // namespace linkdata
