#include "archive/modes/run_summary.h"

#include "platform/console.h"
#include "platform/messages.h"
#include "platform/platform.h"

namespace linkdata {

void report_run_on_console(const RunTally& tally) {
  if (!platform::output_is_console()) return;
  const auto elapsed = std::chrono::steady_clock::now() - tally.started;
  const double seconds = std::chrono::duration<double>(elapsed).count();
  say(msg::run_summary(tally.files_written, tally.textures_written, tally.textures_skipped,
                       seconds));
}

}  // namespace linkdata
