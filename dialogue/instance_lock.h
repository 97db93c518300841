// The system-wide named lock that keeps two recorder applications from
// talking to the recorder at once. Held until the process ends, however it ends.
#pragma once

#include <memory>
#include <string_view>

namespace k24 {

inline constexpr std::string_view kInstanceLockName = "VocsetLumoK24";

enum class LockOutcome {
  Taken,          // this process now holds the name
  HeldElsewhere,  // the name already existed: another application holds it
  Unavailable,    // the lock could not be made at all; the update goes on
};

class InstanceLock {
 public:
  virtual ~InstanceLock() = default;
  virtual LockOutcome Take(std::string_view name) = 0;
};

std::unique_ptr<InstanceLock> MakeSystemInstanceLock();

}  // namespace k24
