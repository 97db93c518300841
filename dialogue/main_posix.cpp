// The program's entry on Linux: the platform's ports, then the dialogue.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "dialogue/dialogue.h"
#include "link/driver_libusb.h"

namespace {

// The images are read from this program's own file, found as the system
// reports it rather than as typed.
std::string ExecutablePath(const char* typed) {
  std::vector<char> path(PATH_MAX + 1);
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length <= 0) {
    return typed != nullptr ? typed : "";
  }
  return std::string(path.data(), static_cast<std::size_t>(length));
}

// The build's sample images may go only into the recorder emulator, which
// says so through this variable (the testbed and scripts/demo set it).
constexpr const char* kEmulatedRecorderVariable = "K24_EMULATED_RECORDER";

bool ToldRecorderIsEmulated() {
  const char* value = std::getenv(kEmulatedRecorderVariable);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  args.push_back(ExecutablePath(argc > 0 ? argv[0] : nullptr));
  for (int i = 1; i < argc; ++i) {
    args.emplace_back(argv[i]);
  }

  std::unique_ptr<k24::Console> console = k24::MakeSystemConsole();
  std::unique_ptr<k24::InstanceLock> lock = k24::MakeSystemInstanceLock();
  std::unique_ptr<k24::UsbDriver> driver = k24::MakeLibusbDriver();
  // libusb starts its event thread when its context is made, at the first
  // listing: made here, that thread never takes Ctrl+C and the like, which a
  // critical section could then not hold.
  k24::StartWithoutEndingSignals([&driver] { driver->DeviceNames(); });

  k24::DeviceLink link;
  link.driver = driver.get();
  link.clock = &k24::SystemClock();
  k24::DialoguePorts ports;
  ports.console = console.get();
  ports.lock = lock.get();
  ports.link = &link;
  ports.clock = &k24::SystemClock();
  ports.sampleImagesOnly = K24_CARRIES_SAMPLE_IMAGES && !ToldRecorderIsEmulated();

  const int exitCode = k24::RunDialogue(ports, args);
  console->Flush();
  return exitCode;
}
