// An instance lock for dialogue tests: answers as told and remembers the name.
#pragma once

#include <string>
#include <string_view>

#include "dialogue/instance_lock.h"

namespace k24::emulator {

class FakeInstanceLock final : public InstanceLock {
 public:
  LockOutcome Take(std::string_view name, std::string& reason) override {
    takenName = std::string(name);
    ++takes;
    if (outcome == LockOutcome::Unavailable) {
      reason = unavailableReason;
    }
    return outcome;
  }
  LockOutcome outcome = LockOutcome::Taken;
  std::string unavailableReason = "socket: Too many open files";
  std::string takenName;
  int takes = 0;
};

}  // namespace k24::emulator
