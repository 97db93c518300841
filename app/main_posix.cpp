// The program's entry on Linux: the platform's ports, then the dialogue.
#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/entry.h"
#include "dialogue/dialogue.h"
#include "images/image_source.h"
#include "link/driver_libusb.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    args.emplace_back(argv[i]);
  }

  // A reader of the output that goes away (`--history | head`) makes a write
  // fail instead of ending the program: --history then says so, as for any
  // output that does not take the history, and an update goes on. So does a
  // file that cannot grow (ulimit -f): the trace or the history then costs
  // its line, never the program in the middle of a recorder write.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);

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
  // Without a terminal for keys an update ends here, before the lock and the
  // bus; the listing reads no keys.
  if (!k24::ListsRecorders(args)) {
    if (const std::optional<int> refused = k24::RefuseWithoutKeyInput(*console)) {
      return *refused;
    }
  }
  std::unique_ptr<k24::InstanceLock> lock = k24::MakeSystemInstanceLock();
  std::unique_ptr<k24::UsbDriver> driver = k24::MakeLibusbDriver();
  // libusb starts its event thread when its context is made, at the first
  // listing: made here, that thread never takes Ctrl+C and the like, which a
  // critical section could then not hold.
  k24::StartWithoutEndingSignals([&driver] { driver->DeviceNames(); });

  return k24::RunUpdater(args, *images, *console, *lock, *driver, k24::kRecorderRefusedHint);
}
