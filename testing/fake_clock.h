// A virtual clock: sleeping advances it at once, so bounded waits run in
// microseconds of real time.
#pragma once

#include <cstdint>

#include "link/clock.h"

namespace k24::emulator {

class FakeClock final : public Clock {
 public:
  std::uint64_t NowMs() override { return nowMs; }
  void SleepMs(std::uint32_t milliseconds) override {
    nowMs += milliseconds;
    sleptMs += milliseconds;
    ++sleeps;
  }
  std::uint64_t nowMs = 1'000'000;
  std::uint64_t sleptMs = 0;
  std::uint64_t sleeps = 0;
};

}  // namespace k24::emulator
