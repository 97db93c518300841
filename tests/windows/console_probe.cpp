// Reads key presses through the system console as the dialogue does and
// prints each folded key, for the console tests:
//   windows_console_probe COUNT
// prints "ready", then for each of COUNT keys waits with KeyWaiting and
// WaitForKey, reads it with ReadKey and prints it as four hex digits.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "console/console.h"

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1;
  std::unique_ptr<k24::Console> console = k24::MakeSystemConsole();
  k24::Print(*console, "ready\n");
  console->Flush();
  for (int i = 0; i < count; ++i) {
    while (!console->KeyWaiting()) {
      console->WaitForKey(50, {});
    }
    k24::Print(*console, "%04X\n", static_cast<unsigned>(k24::ReadKey(*console)));
    console->Flush();
  }
  return 0;
}
