// Reads key presses through the system console as the dialogue does and
// prints each folded key, for the console tests:
//   windows_console_probe COUNT
// prints "ready", then for each of COUNT keys waits with KeyWaiting and
// WaitForKey, reads it with ReadKey and prints it as four hex digits;
//   windows_console_probe critical
// opens a critical section, prints "inside", waits for a key, prints "held: "
// and the console control event HeldEndingSignal names (or "none" when none
// came within 10 s), ends the section and prints "after";
//   windows_console_probe write
// writes "\r\nWARNING\r\n" and "end\n" through the console.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "console/console.h"

namespace {

// Waits for one key press and reads it.
std::uint16_t NextKey(k24::Console& console) {
  while (!console.KeyWaiting()) {
    console.WaitForKey(50, {});
  }
  return k24::ReadKey(console);
}

// Inside a critical section: "inside", then a key ends the wait, then which
// console control event is held; "after" once the section has ended.
int Critical(k24::Console& console) {
  console.BeginCriticalSection();
  k24::Print(console, "inside\n");
  console.Flush();
  NextKey(console);
  // A control event comes on a thread of its own: it is given a while.
  const char* held = console.HeldEndingSignal();
  for (int waited = 0; held == nullptr && waited < 10'000; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    held = console.HeldEndingSignal();
  }
  k24::Print(console, "held: %s\n", held != nullptr ? held : "none");
  console.Flush();
  console.EndCriticalSection();
  k24::Print(console, "after\n");
  console.Flush();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<k24::Console> console = k24::MakeSystemConsole();
  if (argc > 1 && std::string(argv[1]) == "critical") {
    return Critical(*console);
  }
  if (argc > 1 && std::string(argv[1]) == "write") {
    console->Write("\r\nWARNING\r\n");
    console->Write("end\n");
    return 0;
  }
  const int count = argc > 1 ? std::atoi(argv[1]) : 1;
  k24::Print(*console, "ready\n");
  console->Flush();
  for (int i = 0; i < count; ++i) {
    k24::Print(*console, "%04X\n", static_cast<unsigned>(NextKey(*console)));
    console->Flush();
  }
  return 0;
}
