// Monotonic time for the simulator's event loops: every deadline (pacing, idle
// time-out, script steps, erase delays) is a point on this one clock.
#pragma once

#include <chrono>

namespace kqsim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Micros = std::chrono::microseconds;
using Millis = std::chrono::milliseconds;

}  // namespace kqsim
