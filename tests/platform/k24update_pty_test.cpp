// The built k24update on a pseudo-terminal with no recorder on the bus: the
// start of the dialogue as an operator sees it, with the real console and lock.
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/command_line.h"
#include "dialogue/dialogue.h"
#include "dialogue/instance_lock.h"
#include "images/image_digests.h"
#include "testing/network_namespace.h"
#include "tests/platform/child_process.h"

namespace k24::test {
namespace {

const std::string kUpdater = K24_UPDATER;

constexpr const char* kBanner = "Orvo Lumo K24 Firmware Updater version 1.0\n\n";
constexpr const char* kNotConnected = "Device is not connected.\nConnect device to continue or press Esc to exit.\n";

// Each test runs in a network namespace of its own, and the updaters it
// starts with it: their instance lock (an abstract socket name) neither meets
// nor blocks a real update or another test running on the machine.
class UpdaterOnTerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(emulator::EnterOwnNetworkNamespace(error)) << error;
  }

  // Takes the instance lock as another recorder application would.
  static void HoldTheLock() {
    std::string reason;
    ASSERT_EQ(MakeSystemInstanceLock()->Take(kInstanceLockName, reason), LockOutcome::Taken) << reason;
  }

  ChildOptions options_;
};

TEST_F(UpdaterOnTerminal, WaitsForTheRecorderUntilEsc) {
  Child updater;
  ASSERT_TRUE(updater.Start({kUpdater}, options_));
  ASSERT_TRUE(updater.WaitForOutput(std::string(kBanner) + kNotConnected)) << updater.Output();

  // An arrow key and a plain key are read and dropped; the wait goes on.
  for (const char* key : {"\x1b[A", "\x1bOP", "x"}) {
    ASSERT_TRUE(updater.Type(key));
    ASSERT_TRUE(updater.WaitUntilInputTaken()) << "the updater stopped reading keys after " << key + 1;
  }
  ASSERT_TRUE(updater.Type("\x1b"));
  int status = 0;
  ASSERT_TRUE(updater.WaitForExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  updater.DrainOutput();
  EXPECT_EQ(updater.Output(), std::string(kBanner) + kNotConnected);
  EXPECT_TRUE(SameMode(updater.Mode(), updater.StartMode()));
}

// A terminal that goes away while SIGHUP is ignored (nohup, a closed window)
// ends the wait as Esc would, instead of leaving the program polling for ever
// with the lock held.
TEST_F(UpdaterOnTerminal, LostTerminalEndsTheConnectionWait) {
  options_.ignoreHangUp = true;
  Child updater;
  ASSERT_TRUE(updater.Start({kUpdater}, options_));
  ASSERT_TRUE(updater.WaitForOutput(std::string(kBanner) + kNotConnected)) << updater.Output();
  updater.HangUp();
  int status = 0;
  ASSERT_TRUE(updater.WaitForExit(status)) << "still waiting for the recorder after the terminal went away";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Any key ends it, Ctrl+C too: during a read it is a key, not a signal. No
// variable of the environment renames the lock the program takes (the one
// the tests once used included).
TEST_F(UpdaterOnTerminal, EndsWithExitCode1WhenAnotherApplicationHoldsTheLock) {
  HoldTheLock();
  options_.environment.emplace_back("K24_TEST_LOCK_NAME", "K24SomeOtherName");
  const std::string expected = std::string(kBanner) +
                               "Close all other digital recorder applications and try again.\n"
                               "Press any key to exit.\n";

  for (const char* key : {"k", "\x03"}) {
    SCOPED_TRACE(static_cast<int>(key[0]));
    Child updater;
    ASSERT_TRUE(updater.Start({kUpdater}, options_));
    ASSERT_TRUE(updater.WaitForOutput(expected)) << updater.Output();
    ASSERT_TRUE(updater.WaitUntilReading());
    ASSERT_TRUE(updater.Type(key));
    int status = 0;
    ASSERT_TRUE(updater.WaitForExit(status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    updater.DrainOutput();
    EXPECT_EQ(updater.Output(), expected);
    EXPECT_TRUE(SameMode(updater.Mode(), updater.StartMode()));
  }
}

// A lock that cannot be made ends the run with one line saying why and exit
// code 1; it never goes on unlocked. Here Unix domain sockets are refused to
// the program, as a service's RestrictAddressFamilies= may refuse them.
TEST_F(UpdaterOnTerminal, ALockThatCannotBeMadeEndsTheRun) {
  options_.denyUnixSockets = true;
  Child updater;
  ASSERT_TRUE(updater.Start({kUpdater}, options_));
  int status = 0;
  ASSERT_TRUE(updater.WaitForExit(status)) << "a run went on: " << updater.Output();
  updater.DrainOutput();
  EXPECT_EQ(updater.Output(), std::string(kBanner) +
                                  "k24update: could not take the instance lock VocsetLumoK24: socket: Address family "
                                  "not supported by protocol\n");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

// Without a terminal for keys (cron, a service, ssh without -t: standard
// input not a terminal and no controlling terminal) no prompt could be
// answered: one line on standard error and exit code 3, at once, instead of
// a wait for the recorder that nothing could end; and before the lock (held
// by another application the second time, and never reported).
TEST_F(UpdaterOnTerminal, WithoutATerminalEndsAtOnceBeforeTheLock) {
  options_.withTerminal = false;
  options_.errorsToOutput = true;
  for (const bool lockHeld : {false, true}) {
    SCOPED_TRACE(lockHeld ? "lock held elsewhere" : "lock free");
    if (lockHeld) HoldTheLock();
    const std::vector<std::string> command = lockHeld ? std::vector<std::string>{kUpdater, "diag"}
                                                      : std::vector<std::string>{kUpdater};
    Child updater;
    ASSERT_TRUE(updater.Start(command, options_));
    int status = 0;
    ASSERT_TRUE(updater.WaitForExit(status)) << "still running without a terminal: " << updater.Output();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitNoTerminal) << status;
    updater.DrainOutput();
    EXPECT_EQ(updater.Output(), kNoTerminalLine);
  }
}

// The listing reads no keys: without a terminal it runs all the same, up to
// the lock here (held by another application), whose line and exit code 1 it
// gives.
TEST_F(UpdaterOnTerminal, ListRunsWithoutATerminal) {
  options_.withTerminal = false;
  options_.errorsToOutput = true;
  HoldTheLock();
  Child updater;
  ASSERT_TRUE(updater.Start({kUpdater, "--list"}, options_));
  int status = 0;
  ASSERT_TRUE(updater.WaitForExit(status)) << updater.Output();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitLockHeld) << status;
  updater.DrainOutput();
  EXPECT_EQ(updater.Output(), "Close all other digital recorder applications and try again.\n");
}

// A terminal on standard input is one for keys, also without a controlling
// terminal (setsid from a terminal): the dialogue runs and Esc ends the wait.
TEST_F(UpdaterOnTerminal, ReadsKeysFromStandardInputWithoutAControllingTerminal) {
  options_.terminalNotControlling = true;
  Child updater;
  ASSERT_TRUE(updater.Start({kUpdater}, options_));
  ASSERT_TRUE(updater.WaitForOutput(std::string(kBanner) + kNotConnected)) << updater.Output();
  ASSERT_TRUE(updater.Type("\x1b"));
  int status = 0;
  ASSERT_TRUE(updater.WaitForExit(status)) << updater.Output();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(SameMode(updater.Mode(), updater.StartMode()));
}

// --help and --version answer at once, even while another recorder
// application holds the lock: nothing is taken and nothing waited for, on a
// terminal or with none at all (as in a script or a package check).
struct InformationCase {
  const char* argument;
  bool withTerminal;
};

void PrintTo(const InformationCase& information, std::ostream* out) {
  *out << information.argument << (information.withTerminal ? " on a terminal" : " without a terminal");
}

class UpdaterInformation : public UpdaterOnTerminal, public ::testing::WithParamInterface<InformationCase> {};

TEST_P(UpdaterInformation, PrintsItsTextAndExitsZeroWithoutTheLock) {
  HoldTheLock();
  const std::string argument = GetParam().argument;
  const std::string version = std::string("k24update ") + K24_EXPECTED_VERSION + "\n";
  const std::string expected = argument == "--help" ? UsageText() : VersionText(EmbeddedImagesAreSamples());
  ASSERT_EQ(expected.rfind(argument == "--help" ? "Usage: k24update [--trace FILE] [diag]\n" : version, 0), 0u) << expected;

  options_.withTerminal = GetParam().withTerminal;
  Child updater;
  ASSERT_TRUE(updater.Start({kUpdater, argument}, options_));
  int status = 0;
  ASSERT_TRUE(updater.WaitForExit(status)) << updater.Output();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  updater.DrainOutput();
  EXPECT_EQ(updater.Output(), expected);
}

INSTANTIATE_TEST_SUITE_P(HelpAndVersion, UpdaterInformation,
                         ::testing::Values(InformationCase{"--help", true}, InformationCase{"--version", true},
                                           InformationCase{"--help", false}, InformationCase{"--version", false}),
                         [](const ::testing::TestParamInfo<InformationCase>& param) {
                           return std::string(param.param.argument[2] == 'h' ? "Help" : "Version") +
                                  (param.param.withTerminal ? "OnTerminal" : "WithoutTerminal");
                         });

}  // namespace
}  // namespace k24::test
