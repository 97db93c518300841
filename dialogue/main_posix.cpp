// The program's entry on Linux: the platform's ports, then the dialogue.
#include <memory>
#include <string>
#include <vector>

#include "dialogue/dialogue.h"
#include "images/image_digests.h"
#include "images/image_source.h"
#include "link/driver_libusb.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    args.emplace_back(argv[i]);
  }

  // The images are read from this program's own file, opened once, now: the
  // link names the file that is running, and the descriptor keeps it, so a
  // file renamed over the program while it waits is never what gets loaded.
  std::unique_ptr<k24::ImageSource> images = k24::OpenExecutableImageSource("/proc/self/exe");
  std::unique_ptr<k24::Console> console = k24::MakeSystemConsole();
  std::unique_ptr<k24::InstanceLock> lock = k24::MakeSystemInstanceLock();
  std::unique_ptr<k24::UsbDriver> driver = k24::MakeLibusbDriver();

  k24::DeviceLink link;
  link.driver = driver.get();
  link.clock = &k24::SystemClock();
  k24::DialoguePorts ports;
  ports.console = console.get();
  ports.lock = lock.get();
  ports.link = &link;
  ports.clock = &k24::SystemClock();
  ports.images = images.get();
  ports.imageDigests = &k24::EmbeddedImageDigests();

  const int exitCode = k24::RunDialogue(ports, args);
  console->Flush();
  return exitCode;
}
