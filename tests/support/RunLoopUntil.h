// For tests: runs the calling thread's run loop until a condition holds, so a test waits for the
// event it expects instead of sleeping for a guess at how long it takes.
#pragma once

#include <chrono>
#include <functional>

#include "Platform/Foundation/RunLoop.h"

namespace vrk {

// Runs the calling thread's loop until `done` holds or `timeout` has passed; says whether `done`
// held. `done` is checked before every turn of the loop, so one that already holds costs none.
inline bool RunLoopUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto limit = RunLoop::Clock::now() + timeout;
  while (!done()) {
    if (RunLoop::Clock::now() >= limit) return false;
    RunLoop::current().runOnce(limit);
  }
  return true;
}

}  // namespace vrk
