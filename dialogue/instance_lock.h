// The system-wide named lock that keeps two recorder applications from
// talking to the recorder at once. Held until the process ends, however it ends.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace k24 {

inline constexpr std::string_view kInstanceLockName = "VocsetLumoK24";

enum class LockOutcome {
  Taken,          // this process now holds the name
  HeldElsewhere,  // the name already existed: another application holds it
  Unavailable,    // the lock could not be made at all: the run ends, it never goes on unlocked
};

class InstanceLock {
 public:
  virtual ~InstanceLock() = default;
  // Takes the lock of this name, exactly as given. Unavailable comes with
  // `reason` filled: why the lock could not be made.
  virtual LockOutcome Take(std::string_view name, std::string& reason) = 0;
};

std::unique_ptr<InstanceLock> MakeSystemInstanceLock();

}  // namespace k24
