// The instance lock on Windows: a named mutex; with the name held by another
// process, k24update.exe says so and ends with exit code 1; without a console
// it ends before it looks at the lock.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "dialogue/instance_lock.h"
#include "tests/windows/windows_process.h"

namespace k24 {
namespace {

TEST(Win32InstanceLock, TheFirstTakerHoldsTheNameAndASecondFindsItHeld) {
  const std::string name = "k24-lock-test-" + std::to_string(GetCurrentProcessId());
  std::unique_ptr<InstanceLock> first = MakeSystemInstanceLock();
  std::unique_ptr<InstanceLock> second = MakeSystemInstanceLock();
  std::string reason;
  EXPECT_EQ(first->Take(name, reason), LockOutcome::Taken);
  EXPECT_EQ(second->Take(name, reason), LockOutcome::HeldElsewhere);
  EXPECT_EQ(reason, "");
}

// A mutex that cannot be made (here: a name in a namespace that does not
// exist) is unavailable, with the system's reason, never taken or held.
TEST(Win32InstanceLock, AMutexThatCannotBeMadeIsUnavailableWithItsReason) {
  std::string reason;
  EXPECT_EQ(MakeSystemInstanceLock()->Take("NoSuchNamespace\\k24-lock-test", reason), LockOutcome::Unavailable);
  EXPECT_EQ(reason.rfind("CreateMutex: error ", 0), 0u) << reason;
}

// The tests of k24update.exe's own lock hold its real name, as another
// recorder application would: they share a CTest resource lock, so that no
// other run of k24update.exe in this Wine prefix meets them.
class Win32UpdaterRun : public ::testing::Test {
 protected:
  void SetUp() override {
    held_ = CreateMutexA(nullptr, TRUE, "VocsetLumoK24");
    ASSERT_NE(held_, nullptr);
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "another test holds the name";
  }
  void TearDown() override {
    if (held_ != nullptr) CloseHandle(held_);
  }
  HANDLE held_ = nullptr;
};

TEST_F(Win32UpdaterRun, EndsWithExitCode1WhileAnotherProcessHoldsTheName) {
  test::ChildProcess updater;
  // A console of its own, where the key that ends it is typed.
  ASSERT_TRUE(updater.Start(test::Quoted(K24_UPDATER), CREATE_NO_WINDOW));
  ASSERT_TRUE(updater.ReadUntil("Press any key to exit.\n", 30'000)) << updater.Output();
  std::vector<INPUT_RECORD> key;
  test::Tap(key, 'X', 0x2D, 'x');
  ASSERT_TRUE(test::WriteKeyEvents(updater.Id(), key)) << "error " << GetLastError();
  EXPECT_EQ(updater.Finish(30'000), 1u);
  // The program's own bytes, as on Linux: no "\r" added.
  EXPECT_EQ(updater.Output(),
            "Orvo Lumo K24 Firmware Updater version 1.0\n\n"
            "Close all other digital recorder applications and try again.\n"
            "Press any key to exit.\n");
}

// No console to read keys from (started detached, as a service is): one line
// on standard error and exit code 3 at once, before the lock (held here, and
// never reported) and the driver.
TEST_F(Win32UpdaterRun, WithoutAConsoleEndsAtOnceBeforeTheLock) {
  test::ChildProcess updater;
  ASSERT_TRUE(updater.Start(test::Quoted(K24_UPDATER), DETACHED_PROCESS));
  EXPECT_EQ(updater.Finish(30'000), 3u);
  EXPECT_EQ(updater.Output(),
            "k24update: no terminal or console to read key presses from; the update needs one to answer its "
            "prompts\n");
}

}  // namespace
}  // namespace k24
