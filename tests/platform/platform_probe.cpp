// A small program that drives the system console and instance lock the way the
// dialogue does, for the tests to run on a pseudo-terminal or without one.
//
//   platform_probe keys N      N times: "Press a key: ", ReadKey, "key=XXXX\n"
//   platform_probe bulk        600 dots, then as "keys 1" (output to a pipe)
//   platform_probe peek N      N times: wait for KeyWaiting, report it twice, ReadKey
//   platform_probe idle [FILE] "idle\n", creates FILE (when given), then sits
//                              outside any read for 60 s
//   platform_probe nokey       KeyWaiting and two ReadKeys, reported
//   platform_probe lock NAME   Take(NAME), reported ("taken", "held" or
//                              "unavailable: REASON"); when taken, holds the
//                              lock until standard input closes
//   platform_probe critical bystander|alone
//                              with "bystander", first starts a thread that
//                              leaves the ending signals unblocked (as a
//                              library's may); then in a critical section:
//                              "inside\n", waits until standard input closes,
//                              "ending, held: SIGNAME\n" (or "none", as
//                              HeldEndingSignal says); after the section "after\n"
//   platform_probe discard     "type ahead\n", waits until standard input
//                              closes, DiscardTypedAhead, then as "keys 1"
//   platform_probe sleep       "sleeping\n", WaitForKey (60 s, also watching
//                              standard input), then "woke waiting=N\n" and,
//                              when a key waits, as "keys 1" without the prompt
//   platform_probe crash SIG   "crashing\n", then dies of signal number SIG
//                              (abort() for SIGABRT), without a core file
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "console/console.h"
#include "dialogue/instance_lock.h"

namespace {

// Bounds every wait of the probe so a failed test never leaves it behind.
constexpr auto kLongestWait = std::chrono::seconds(60);

void ReportKeys(k24::Console& console, int count) {
  for (int i = 0; i < count; ++i) {
    console.Write("Press a key: ");
    const std::uint16_t key = k24::ReadKey(console);
    k24::Print(console, "key=%04x\n", key);
  }
}

int Peek(k24::Console& console, int count) {
  for (int i = 0; i < count; ++i) {
    console.Write("peek\n");
    const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
    while (!console.KeyWaiting()) {
      if (std::chrono::steady_clock::now() > deadline) {
        return 2;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool again = console.KeyWaiting();
    k24::Print(console, "waiting=1 again=%d\n", again ? 1 : 0);
    k24::Print(console, "key=%04x\n", k24::ReadKey(console));
  }
  return 0;
}

void WaitForInputToClose() {
  char ignored = 0;
  while (read(STDIN_FILENO, &ignored, 1) > 0) {
  }
}

int Critical(k24::Console& console, bool withBystander) {
  if (withBystander) {
    // A thread made before the program could block anything: the kernel may
    // hand it a signal meant for the process.
    std::thread bystander([] { std::this_thread::sleep_for(kLongestWait); });
    bystander.detach();
  }
  console.BeginCriticalSection();
  console.Write("inside\n");
  WaitForInputToClose();
  const char* held = console.HeldEndingSignal();
  k24::Print(console, "ending, held: %s\n", held != nullptr ? held : "none");
  console.EndCriticalSection();
  console.Write("after\n");
  return 0;
}

int Crash(k24::Console& console, int signalNumber) {
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  console.Write("crashing\n");
  if (signalNumber == SIGABRT) {
    std::abort();
  }
  raise(signalNumber);
  return 2;
}

int Lock(const char* name) {
  std::string reason;
  const k24::LockOutcome outcome = k24::MakeSystemInstanceLock()->Take(name, reason);
  const std::string text = outcome == k24::LockOutcome::Taken           ? "taken\n"
                           : outcome == k24::LockOutcome::HeldElsewhere ? "held\n"
                                                                        : "unavailable: " + reason + "\n";
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  if (outcome == k24::LockOutcome::Taken) {
    WaitForInputToClose();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    return 2;
  }
  const std::string_view command = argv[1];
  const int count = argc > 2 ? std::atoi(argv[2]) : 1;
  if (command == "lock" && argc > 2) {
    return Lock(argv[2]);
  }

  std::unique_ptr<k24::Console> console = k24::MakeSystemConsole();
  int result = 0;
  if (command == "keys") {
    ReportKeys(*console, count);
  } else if (command == "bulk") {
    console->Write(std::string(600, '.'));
    ReportKeys(*console, 1);
  } else if (command == "peek") {
    result = Peek(*console, count);
  } else if (command == "idle") {
    console->Write("idle\n");
    if (argc > 2) {
      std::fclose(std::fopen(argv[2], "w"));  // tells the test the output is written
    }
    std::this_thread::sleep_for(kLongestWait);
  } else if (command == "critical") {
    result = Critical(*console, argc > 2 && std::string_view(argv[2]) == "bystander");
  } else if (command == "discard") {
    console->Write("type ahead\n");
    WaitForInputToClose();
    console->DiscardTypedAhead();
    ReportKeys(*console, 1);
  } else if (command == "crash" && argc > 2) {
    result = Crash(*console, count);
  } else if (command == "sleep") {
    console->Write("sleeping\n");
    const int watched[] = {STDIN_FILENO};
    console->WaitForKey(60'000, watched);
    const bool waiting = console->KeyWaiting();
    k24::Print(*console, "woke waiting=%d\n", waiting ? 1 : 0);
    if (waiting) {
      k24::Print(*console, "key=%04x\n", k24::ReadKey(*console));
    }
  } else if (command == "nokey") {
    k24::Print(*console, "waiting=%d\n", console->KeyWaiting() ? 1 : 0);
    k24::Print(*console, "key=%04x\n", k24::ReadKey(*console));
    k24::Print(*console, "key=%04x\n", k24::ReadKey(*console));
  } else {
    result = 2;
  }
  console->Flush();
  return result;
}
