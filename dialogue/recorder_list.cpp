// k24update --list: every recorder on the bus, one line each, from the
// read-only queries alone. Under the instance lock, so that a listing never
// talks to a recorder in the middle of another run's update.
#include <string>
#include <vector>

#include "dialogue/dialogue.h"
#include "recorder/recorder_queries.h"
#include "recorder/requests.h"
#include "recorder/serial_number.h"

namespace k24 {
namespace {

// "1-3.2: boot loader 1.0, firmware 1.2, serial number ABCDE12345".
std::string Describe(DeviceLink& link, const RecorderOnBus& recorder) {
  std::string line = recorder.place ? *recorder.place : recorder.name + " (place unknown)";
  line += ": ";
  if (!recorder.mayUse) {
    return line + "this user may not open it\n";
  }
  ChooseFoundRecorder(link, recorder);
  const VersionWord firmware = GetFirmwareVersion(link);
  const VersionWord bootLoader = GetBootLoaderVersion(link);
  const SerialNumber serial = ReadSerialNumber(link, firmware);
  line += bootLoader != 0 ? "boot loader " + VersionText(bootLoader) : std::string("boot loader not found");
  line += firmware != 0 ? ", firmware " + VersionText(firmware) : std::string(", firmware unavailable");
  line += serial.answered ? ", serial number " + PrintableSerialNumber(serial.text)
                          : std::string(", serial number unavailable");
  return line + "\n";
}

}  // namespace

int ListRecorders(DialoguePorts& ports) {
  Console& console = *ports.console;
  DeviceLink& link = *ports.link;
  std::string whyNoLock;
  const LockOutcome lock = ports.lock->Take(kInstanceLockName, whyNoLock);
  if (lock == LockOutcome::HeldElsewhere) {
    Print(console, "Close all other digital recorder applications and try again.\n");
    return kExitLockHeld;
  }
  if (lock != LockOutcome::Taken) {
    // As for an update: nothing is asked of a recorder without the lock.
    console.WriteError("k24update: could not take the instance lock " + std::string(kInstanceLockName) + ": " +
                       whyNoLock + "\n");
    return kExitLockUnavailable;
  }
  SetTargetDevice(link, kRecorderVendorId, kRecorderProductId);
  const std::vector<RecorderOnBus> recorders = FindRecorders(link);
  // A recorder that no usable driver has is not among them: only its hint says so.
  bool refused = link.lastProbeRefused;
  if (recorders.empty()) {
    console.WriteError("k24update: no recorder (USB 10c4:4512) is connected\n");
    if (refused) {
      console.WriteError(ports.recorderRefusedHint);
    }
    return kExitNoneListed;
  }
  for (const RecorderOnBus& recorder : recorders) {
    Print(console, "%s", Describe(link, recorder).c_str());
    refused = refused || !recorder.mayUse;
  }
  link.choice = RecorderChoice{};
  if (refused) {
    console.WriteError(ports.recorderRefusedHint);
  }
  return kExitOk;
}

}  // namespace k24
