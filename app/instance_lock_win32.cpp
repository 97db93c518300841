// The instance lock on Windows: a named mutex, created owned. When the name
// already exists another recorder application holds it. The handle is never
// closed: the system drops the name when the process ends, however it ends.
//
// Test hook: the environment variable K24_TEST_LOCK_NAME, when set, replaces
// the name asked for, so tests can keep their runs apart; it is not meant for
// anything else.
#include <windows.h>

#include <string>

#include "dialogue/instance_lock.h"

namespace k24 {
namespace {

class Win32InstanceLock final : public InstanceLock {
 public:
  LockOutcome Take(std::string_view requested) override {
    const std::string name = InstanceLockName(requested);
    const HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
    const DWORD error = GetLastError();
    if (mutex == nullptr) {
      return error == ERROR_ACCESS_DENIED ? LockOutcome::HeldElsewhere : LockOutcome::Unavailable;
    }
    return error == ERROR_ALREADY_EXISTS ? LockOutcome::HeldElsewhere : LockOutcome::Taken;
  }
};

}  // namespace

std::unique_ptr<InstanceLock> MakeSystemInstanceLock() { return std::make_unique<Win32InstanceLock>(); }

}  // namespace k24
