// Reads key presses through the system console as the dialogue does and
// prints each folded key, for the console tests:
//   windows_console_probe COUNT
// prints "ready", then for each of COUNT keys waits with KeyWaiting and
// WaitForKey, reads it with ReadKey and prints it as four hex digits;
//   windows_console_probe critical
// prints "mode " and the console input's mode as it found it (hex), opens a
// critical section, prints "inside", waits for a key, prints "held: " and the
// console control event HeldEndingSignal names (or "none" when none came
// within 10 s) without flushing it, ends the section and prints "after";
//   windows_console_probe discard
// opens a critical section, prints "inside", waits until a key is typed, ends
// the section, drops the keys typed ahead, prints "discarded", and reads and
// prints the next key;
//   windows_console_probe write
// writes "\r\nWARNING\r\n" and "end\n" through the console.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include <windows.h>

#include "console/console.h"

namespace {

// Waits for one key press and reads it.
std::uint16_t NextKey(k24::Console& console) {
  while (!console.KeyWaiting()) {
    console.WaitForKey(50, {});
  }
  return k24::ReadKey(console);
}

// The console input's mode before the console is made; 0 when it has none.
DWORD InputModeFound() {
  const HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD mode = 0;
  if (input != INVALID_HANDLE_VALUE) {
    GetConsoleMode(input, &mode);
    CloseHandle(input);
  }
  return mode;
}

// Inside a critical section: "inside", then a key ends the wait, then which
// console control event is held; "after" once the section has ended.
int Critical(k24::Console& console, DWORD modeFound) {
  k24::Print(console, "mode %04lX\n", static_cast<unsigned long>(modeFound));
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
  // Left in the buffer (standard output is a pipe): the section's end must
  // write it before it ends the program.
  k24::Print(console, "held: %s\n", held != nullptr ? held : "none");
  console.EndCriticalSection();
  k24::Print(console, "after\n");
  console.Flush();
  return 0;
}

// Keys typed while the recorder is written answer no prompt after it.
int Discard(k24::Console& console) {
  console.BeginCriticalSection();
  k24::Print(console, "inside\n");
  console.Flush();
  while (!console.KeyWaiting()) {
    console.WaitForKey(50, {});
  }
  console.EndCriticalSection();
  console.DiscardTypedAhead();
  k24::Print(console, "discarded\n");
  console.Flush();
  k24::Print(console, "%04X\n", static_cast<unsigned>(NextKey(console)));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const DWORD modeFound = InputModeFound();
  std::unique_ptr<k24::Console> console = k24::MakeSystemConsole();
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "critical") {
    return Critical(*console, modeFound);
  }
  if (mode == "discard") {
    return Discard(*console);
  }
  if (mode == "write") {
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
