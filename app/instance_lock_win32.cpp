// The instance lock on Windows: a named mutex, created owned. When the name
// already exists another recorder application holds it. The handle is never
// closed: the system drops the name when the process ends, however it ends.
// A mutex that cannot be made at all ends the run: the program never goes on
// unlocked, and has no setting that renames or switches off its lock.
#include <windows.h>

#include <string>

#include "dialogue/instance_lock.h"

namespace k24 {
namespace {

std::string ErrorText(DWORD error) {
  char* message = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
      reinterpret_cast<char*>(&message), 0, nullptr);
  std::string text = length != 0 && message != nullptr ? std::string(message, length) : std::string();
  if (message != nullptr) {
    LocalFree(message);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
    text.pop_back();
  }
  return "error " + std::to_string(error) + (text.empty() ? "" : ", " + text);
}

class Win32InstanceLock final : public InstanceLock {
 public:
  LockOutcome Take(std::string_view name, std::string& reason) override {
    const std::string terminated(name);
    const HANDLE mutex = CreateMutexA(nullptr, TRUE, terminated.c_str());
    const DWORD error = GetLastError();
    if (mutex == nullptr) {
      // Access denied: the name exists, made by another user with rights that
      // keep us out. Anything else: no mutex of this name could be made.
      if (error == ERROR_ACCESS_DENIED) {
        return LockOutcome::HeldElsewhere;
      }
      reason = "CreateMutex: " + ErrorText(error);
      return LockOutcome::Unavailable;
    }
    return error == ERROR_ALREADY_EXISTS ? LockOutcome::HeldElsewhere : LockOutcome::Taken;
  }
};

}  // namespace

std::unique_ptr<InstanceLock> MakeSystemInstanceLock() { return std::make_unique<Win32InstanceLock>(); }

}  // namespace k24
