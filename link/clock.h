// Time, behind a seam: the waits of the link and of the dialogue sleep and read
// the time through it, so tests can run a 30-second bound on a virtual clock.
#pragma once

#include <cstdint>

namespace k24 {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint64_t NowMs() = 0;
  virtual void SleepMs(std::uint32_t milliseconds) = 0;
};

// The wall clock (a monotonic one) of this machine.
Clock& SystemClock();

}  // namespace k24
