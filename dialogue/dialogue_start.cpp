// Start and connection: command line, banner, instance lock, the wait for the
// recorder, and the version queries up to the boot loader report.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "dialogue/dialogue.h"
#include "dialogue/prompts.h"
#include "recorder/requests.h"

namespace k24 {

std::optional<int> StartDialogue(DialoguePorts& ports, DialogueState& state, std::span<const std::string> args) {
  Console& console = *ports.console;
  DeviceLink& link = *ports.link;

  state.diagnosticMode = args.size() == 2 && args[1] == "diag";

  Print(console, "Orvo Lumo K24 Firmware Updater version 1.0\n\n");

  std::string whyNoLock;
  const LockOutcome lock = ports.lock->Take(kInstanceLockName, whyNoLock);
  if (lock == LockOutcome::HeldElsewhere) {
    return EndAfterKey(console, "Close all other digital recorder applications and try again.\n", kExitLockHeld);
  }
  if (lock != LockOutcome::Taken) {
    // Without the lock another recorder application could talk to the
    // recorder at the same time: the run never goes on unlocked.
    console.WriteError("k24update: could not take the instance lock " + std::string(kInstanceLockName) + ": " +
                       whyNoLock + "\n");
    return kExitLockUnavailable;
  }
  // Under the lock: no other run is writing its record meanwhile.
  TellOfUnfinishedRun(ports);

  SetTargetDevice(link, kRecorderVendorId, kRecorderProductId);

  if (!IsRecorderPresent(link)) {
    Print(console, "Device is not connected.\nConnect device to continue or press Esc to exit.\n");
    // A recorder this user may not open looks absent. Once one has stayed
    // refused for the hint's delay, the operator is told why.
    std::optional<std::uint64_t> refusedSinceMs;
    while (!IsRecorderPresent(link)) {
      if (!link.lastProbeRefused) {
        refusedSinceMs.reset();
      } else if (!refusedSinceMs) {
        refusedSinceMs = link.clock->NowMs();
      } else if (link.clock->NowMs() - *refusedSinceMs >= kRecorderRefusedHintDelayMs) {
        TellOfRefusedRecorder(ports, state);
      }
      // Keys other than Esc are read and dropped.
      if (console.KeyWaiting() && ReadKey(console) == kKeyEsc) {
        break;
      }
      // Sleeps until a key or a device arriving or leaving (when the driver
      // has bus events), or for one tick at the most.
      console.WaitForKey(PresenceWaitTickMs(link), link.driver->EventDescriptors());
    }
  }
  if (!IsRecorderPresent(link)) {
    return kExitOk;  // Esc with no recorder: leave without a word
  }
  Print(console, "Device is connected.\n");

  state.currentFirmwareVersion = GetFirmwareVersion(link);
  state.currentBootLoaderVersion = GetBootLoaderVersion(link);
  OpenRunRecord(ports, state);
  if (state.currentBootLoaderVersion == 0) {
    CloseRunRecord(ports, state, RunEnd::NoBootLoader);
    return EndAfterKey(console, "Boot Loader not found. Firmware loading is not possible.\n", kExitOk);
  }
  Print(console, "Current Boot Loader version: %d.%d\n", VersionMajor(state.currentBootLoaderVersion),
        VersionMinor(state.currentBootLoaderVersion));
  return std::nullopt;
}

}  // namespace k24
