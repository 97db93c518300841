// The program's entry on Linux: the platform's ports, then the dialogue.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dialogue/command_line.h"
#include "dialogue/dialogue.h"
#include "images/image_digests.h"
#include "images/image_source.h"
#include "link/driver_libusb.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    args.emplace_back(argv[i]);
  }

  // Usage, version and history before anything else is made. Exit code 1
  // stays the lock's alone.
  if (const std::optional<int> answered = k24::AnswerCommandLineRequest(args)) {
    return *answered;
  }

  // The images are read from this program's own file, opened once, now: the
  // link names the file that is running, and the descriptor keeps it, so a
  // file renamed over the program while it waits is never what gets loaded.
  std::unique_ptr<k24::ImageSource> images = k24::OpenExecutableImageSource("/proc/self/exe");
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
  ports.images = images.get();
  ports.imageDigests = &k24::EmbeddedImageDigests();
  ports.sampleImagesOnly = k24::EmbeddedImagesAreSamples() && !k24::RecorderSaidToBeEmulated();
  ports.imagesAreSamples = k24::EmbeddedImagesAreSamples();
  std::unique_ptr<k24::HistoryStore> history = k24::MakeSystemHistoryStore();
  ports.history = history.get();
  ports.wallClock = &k24::SystemWallClock();

  const int exitCode = k24::RunDialogue(ports, args);
  console->Flush();
  return exitCode;
}
