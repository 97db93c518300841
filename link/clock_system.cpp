#include "link/clock.h"

#include <chrono>
#include <thread>

namespace k24 {
namespace {

class SteadyClock final : public Clock {
 public:
  std::uint64_t NowMs() override {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  }
  void SleepMs(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
};

}  // namespace

Clock& SystemClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace k24
