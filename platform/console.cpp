#include "platform/console.h"

#include "platform/platform.h"

namespace linkdata {

void say(const std::wstring& text) { platform::console_write(text); }

bool fail(const std::wstring& message) {
  say(message);
  return false;
}

}  // namespace linkdata
