// Interrupts deferred for as long as this object lives (see defer_interrupts):
// an operation checks interrupt_requested between its steps and stops there.
#pragma once

#include "platform/platform.h"

namespace linkdata::platform {

class InterruptsDeferred {
 public:
  InterruptsDeferred() { defer_interrupts(); }
  ~InterruptsDeferred() { restore_interrupts(); }
  InterruptsDeferred(const InterruptsDeferred&) = delete;
  InterruptsDeferred& operator=(const InterruptsDeferred&) = delete;
};

}  // namespace linkdata::platform
