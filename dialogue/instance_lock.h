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
  Unavailable,    // the lock could not be made at all; the update goes on
};

class InstanceLock {
 public:
  virtual ~InstanceLock() = default;
  virtual LockOutcome Take(std::string_view name) = 0;
};

std::unique_ptr<InstanceLock> MakeSystemInstanceLock();

// The name a system lock is taken under: `requested`, unless the environment
// variable K24_TEST_LOCK_NAME replaces it. That is a hook for the tests, which
// keep their runs apart with it, not a setting for use.
std::string InstanceLockName(std::string_view requested);

}  // namespace k24
