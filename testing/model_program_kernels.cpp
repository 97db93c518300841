// The system under the drivers of k24update_model.exe, the Windows end-to-end
// tests' build of k24update: the EZ-USB backend's CreateFileA, DeviceIoControl
// and CloseHandle, and the WinUSB backend's SetupAPI, registry, CreateFileW
// and WinUSB calls, are answered by the recorder model, in this process. The
// scenario comes from the environment:
//   K24_MODEL_BOOT_LOADER  boot loader version, hex (default 0100)
//   K24_MODEL_FIRMWARE     running firmware version, hex (default 0102)
//   K24_MODEL_SERIAL       serial number (default ABCDE12345)
//   K24_MODEL_DRIVER       the driver the recorder is bound to: "ezusb" (the
//                          default: ezusb-0), "winusb" (at location path
//                          PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)), or "none"
//                          (not there at all)
//   K24_MODEL_STATE        file that receives the recorder's state when the
//                          program ends (exit code excepted: the caller sees it)
//   K24_MODEL_FLASH        file that receives the recorder's flash then
//   K24_MODEL_REQUESTS     file that receives the requests the recorder took,
//                          one line each, as the testbed's requests.log
//   K24_MODEL_LOG          file that receives the bus's request log then, one
//                          line per request, each with its recorder's place
//   K24_MODEL_SECOND       a second recorder (boot loader 1.0, firmware 1.2):
//                          "present" from the start, or plugged in
//                          "requests:N" (once N control requests were made) or
//                          "restart:N" (as the first leaves for its Nth restart);
//                          the state then has its fields too, each after "second-"
//   K24_MODEL_SECOND_DRIVER  its driver: "ezusb" (the default: ezusb-1, no
//                          place) or "winusb" (at ...#USB(3))
//   K24_MODEL_SECOND_SERIAL  its serial number (default ZZZZZ99999)
//   K24_MODEL_UNSERVED     a 10c4:4512 that Windows lists with no driver
//                          ("none") or with another service (its name), at
//                          ...#USB(4): no recorder the program can reach
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "link/driver_ezusb.h"
#include "link/driver_winusb.h"
#include "testing/emulated_bus.h"
#include "testing/ezusb_model_kernel.h"
#include "testing/recorder_model.h"
#include "testing/winusb_model_system.h"
#include "tools/sample_images.h"

namespace k24 {
namespace {

constexpr std::size_t kImageRegionSize = 0x2A00;  // flash 0x0000-0x29FF

std::string Variable(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}

std::string Version(VersionWord word) { return std::to_string(word >> 8) + "." + std::to_string(word & 0xFF); }

std::string ImageRegion(const emulator::RecorderModel& model) {
  const FlashImage sample = BuildSampleFirmwareImage();
  const auto differs = std::mismatch(sample.begin(), sample.begin() + kImageRegionSize, model.flash.begin());
  if (differs.first == sample.begin() + kImageRegionSize) {
    return "the sample firmware image";
  }
  if (std::all_of(model.flash.begin(), model.flash.begin() + kImageRegionSize,
                  [](std::uint8_t b) { return b == 0xFF; })) {
    return "erased";
  }
  return "other data (from 0x" + [](std::size_t offset) {
    char text[8];
    std::snprintf(text, sizeof text, "%04zX", offset);
    return std::string(text);
  }(static_cast<std::size_t>(differs.first - sample.begin())) + ")";
}

// Where WinUSB recorders are plugged in: the location paths of three ports.
constexpr const wchar_t* kFirstPort = L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";
constexpr const wchar_t* kSecondPort = L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)";
constexpr const wchar_t* kUnservedPort = L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

struct ModelRecorder {
  ModelRecorder() {
    model.bootLoaderVersion =
        static_cast<VersionWord>(std::stoul(Variable("K24_MODEL_BOOT_LOADER", "0100"), nullptr, 16));
    InstallFirmware(model, static_cast<VersionWord>(std::stoul(Variable("K24_MODEL_FIRMWARE", "0102"), nullptr, 16)),
                    "K24A1");
    SetSerialNumber(model, Variable("K24_MODEL_SERIAL", "ABCDE12345"));
    kernel.logCalls = false;
    winusb.logCalls = false;
    // The EZ-USB driver's names are opened at every probe of the program:
    // that door counts the probes (a restart's absence lasts a few).
    winusb.countsProbes = false;
    const std::string driver = Variable("K24_MODEL_DRIVER", "ezusb");
    if (driver != "ezusb") {
      bus.slots[0] = emulator::BusSlot{};
    }
    if (driver == "winusb") {
      bus.Recorders().recorders[0].place = Narrow(kFirstPort);
      winusb.BindRecorder(0, kFirstPort);
    }
    AddSecondRecorder(Variable("K24_MODEL_SECOND", ""));
    AddUnserved(Variable("K24_MODEL_UNSERVED", ""));
  }

  // On the EZ-USB driver, whose names say nothing of place, the second
  // recorder has none; on WinUSB it has its port's.
  void AddSecondRecorder(const std::string& when) {
    if (when.empty()) {
      return;
    }
    InstallFirmware(second, 0x0102, "K24A1");
    SetSerialNumber(second, Variable("K24_MODEL_SECOND_SERIAL", "ZZZZZ99999"));
    hasSecond = true;
    const bool onWinusb = Variable("K24_MODEL_SECOND_DRIVER", "ezusb") == "winusb";
    const std::size_t which = bus.AddRecorder(1, second, onWinusb ? Narrow(kSecondPort) : "");
    if (onWinusb) {
      bus.slots[1] = emulator::BusSlot{};
      winusb.BindRecorder(which, kSecondPort);
    }
    emulator::BusRecorder& recorder = bus.Recorders().recorders[which];
    const std::size_t colon = when.find(':');
    const int count = colon == std::string::npos ? 0 : std::atoi(when.c_str() + colon + 1);
    if (when.rfind("requests:", 0) == 0) {
      recorder.plugIns.push_back({emulator::BusMoment::Kind::AfterRequests, count, 0});
    } else if (when.rfind("restart:", 0) == 0) {
      recorder.plugIns.push_back({emulator::BusMoment::Kind::AtRestart, count, 0});
    }
    second.onBus = recorder.plugIns.empty();
  }

  void AddUnserved(const std::string& service) {
    if (service.empty()) {
      return;
    }
    emulator::ModelDeviceNode node;
    node.instanceSuffix = L"5&2B7A1C3&0&4";
    node.service = service == "none" ? std::wstring() : std::wstring(service.begin(), service.end());
    node.locationPath = kUnservedPort;
    winusb.AddNode(node);
  }

  static void WriteState();

  emulator::RecorderModel model;
  emulator::EmulatedBus bus{model};
  emulator::ModelEzusbKernel kernel{bus};
  emulator::ModelWinusbSystem winusb{bus.Recorders()};
  emulator::RecorderModel second;
  bool hasSecond = false;
};

std::string StateOf(const emulator::RecorderModel& model, const std::string& prefix) {
  return prefix + "boot-loader-version: " + Version(model.bootLoaderVersion) + "\n" + prefix +
         "firmware-version: " + Version(model.firmwareVersion) + "\n" + prefix +
         "serial-number: " + emulator::SerialNumberOf(model) + "\n" + prefix +
         "image-region: " + ImageRegion(model) + "\n" + prefix + "restarts: " + std::to_string(model.restarts) +
         "\n" + prefix + "control-requests: " + std::to_string(model.controlRequests) + "\n" + prefix +
         "on-bus: " + (model.onBus ? "yes" : "no") + "\n";
}

ModelRecorder& Recorder() {
  static ModelRecorder recorder;
  // Registered once the recorder is whole, so it runs before the recorder's
  // own destructor at exit.
  static const bool stateAtExit = std::atexit(ModelRecorder::WriteState) == 0;
  (void)stateAtExit;
  return recorder;
}

void ModelRecorder::WriteState() {
  const std::string path = Variable("K24_MODEL_STATE", "");
  if (path.empty()) {
    return;
  }
  const emulator::RecorderModel& model = Recorder().model;
  std::ofstream state(path, std::ios::trunc);
  const emulator::ModelWinusbSystem& winusb = Recorder().winusb;
  state << StateOf(model, "") << "open-handles: " << Recorder().kernel.openHandles << "\n"
        << "probes: " << Recorder().bus.Recorders().probes << "\n"
        << "create-file-calls: " << Recorder().kernel.createFileCalls << "\n"
        << "winusb-open: " << winusb.openFiles + winusb.openInterfaces + winusb.openSets + winusb.openKeys << "\n"
        << "winusb-listings: " << winusb.listings << "\n"
        << "winusb-create-file-calls: " << winusb.createFileCalls << "\n"
        << "winusb-untimed-transfers: " << winusb.untimedTransfers << "\n";
  if (Recorder().hasSecond) {
    state << StateOf(Recorder().second, "second-");
  }
  const std::string requestsPath = Variable("K24_MODEL_REQUESTS", "");
  if (!requestsPath.empty()) {
    std::ofstream(requestsPath, std::ios::trunc) << emulator::DescribeLog(model);
  }
  const std::string logPath = Variable("K24_MODEL_LOG", "");
  if (!logPath.empty()) {
    std::ofstream log(logPath, std::ios::trunc);
    log << emulator::DescribeBusLog(Recorder().bus.Recorders());
  }
  const std::string flashPath = Variable("K24_MODEL_FLASH", "");
  if (!flashPath.empty()) {
    std::ofstream flash(flashPath, std::ios::binary | std::ios::trunc);
    flash.write(reinterpret_cast<const char*>(model.flash.data()), static_cast<std::streamsize>(model.flash.size()));
  }
}

}  // namespace

EzusbKernel& ProgramEzusbKernel() { return Recorder().kernel; }

WinusbSystem& ProgramWinusbSystem() { return Recorder().winusb; }

}  // namespace k24
