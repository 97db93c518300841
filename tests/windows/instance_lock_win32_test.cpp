// The instance lock on Windows: a named mutex; with the name held by another
// process, k24update.exe says so and ends with exit code 1.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "dialogue/instance_lock.h"
#include "tests/windows/windows_process.h"

namespace k24 {
namespace {

TEST(Win32InstanceLock, TheFirstTakerHoldsTheNameAndASecondFindsItHeld) {
  const std::string name = "k24-lock-test-" + std::to_string(GetCurrentProcessId());
  std::unique_ptr<InstanceLock> first = MakeSystemInstanceLock();
  std::unique_ptr<InstanceLock> second = MakeSystemInstanceLock();
  EXPECT_EQ(first->Take(name), LockOutcome::Taken);
  EXPECT_EQ(second->Take(name), LockOutcome::HeldElsewhere);
}

TEST(Win32InstanceLock, K24updateEndsWithExitCode1WhileAnotherProcessHoldsTheName) {
  // The real name, as another recorder application would hold it.
  const HANDLE held = CreateMutexA(nullptr, TRUE, "VocsetLumoK24");
  ASSERT_NE(held, nullptr);
  ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "another test holds the name";

  test::ChildProcess updater;
  // No console at all: the key read after the message answers at once.
  ASSERT_TRUE(updater.Start(test::Quoted(K24_UPDATER), DETACHED_PROCESS));
  EXPECT_EQ(updater.Finish(30'000), 1u);
  // Standard output is in text mode, as in every Windows program: "\n" goes
  // out as "\r\n".
  EXPECT_EQ(updater.Output(),
            "Orvo Lumo K24 Firmware Updater version 1.0\r\n\r\n"
            "Close all other digital recorder applications and try again.\r\n"
            "Press any key to exit.\r\n");
  CloseHandle(held);
}

}  // namespace
}  // namespace k24
