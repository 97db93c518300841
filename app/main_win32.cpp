// The program's entry on Windows: the platform's ports, then the dialogue.
#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/entry.h"
#include "dialogue/dialogue.h"
#include "images/image_source.h"
#include "link/combined_driver.h"
#include "link/driver_ezusb.h"
#include "link/driver_winusb.h"
#include "recorder/requests.h"

namespace {

// The full path of this program's own file; empty when it cannot be had.
std::string OwnPath() {
  std::vector<char> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) {
      return {};
    }
    if (length < path.size()) {
      return std::string(path.data(), length);
    }
    path.resize(path.size() * 2);  // cut short: ask again with room
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    args.emplace_back(argv[i]);
  }

  // Usage, version and history before anything else is made, as on Linux.
  if (const std::optional<int> answered = k24::AnswerCommandLineRequest(args)) {
    return *answered;
  }

  // The images are read from this program's own file, loaded once, now.
  std::unique_ptr<k24::ImageSource> images = k24::OpenExecutableImageSource(OwnPath());
  std::unique_ptr<k24::Console> console = k24::MakeSystemConsole();
  // Without a console for keys an update ends here, before the lock and the
  // driver; the listing reads no keys.
  if (!k24::ListsRecorders(args)) {
    if (const std::optional<int> refused = k24::RefuseWithoutKeyInput(*console)) {
      return *refused;
    }
  }
  std::unique_ptr<k24::InstanceLock> lock = k24::MakeSystemInstanceLock();
  // The recorder on the EZ-USB driver (older systems) or on WinUSB (Windows
  // 10 and 11): the EZ-USB driver's names first, exactly as ever.
  std::unique_ptr<k24::UsbDriver> driver = k24::MakeCombinedDriver(
      k24::MakeEzusbDriver(k24::ProgramEzusbKernel()),
      k24::MakeWinusbDriver(k24::ProgramWinusbSystem(), k24::kRecorderVendorId, k24::kRecorderProductId));

  return k24::RunUpdater(args, *images, *console, *lock, *driver, k24::kRecorderWithoutDriverHint);
}
