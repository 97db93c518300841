// Start and connection: banner, instance lock, the wait for the recorder (the
// one recorder on the bus, or the one at the place chosen with --path), and
// the version queries up to the boot loader report.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dialogue/dialogue.h"
#include "dialogue/prompts.h"
#include "recorder/requests.h"

namespace k24 {
namespace {

// "1-1 and 1-2", "1-1, 1-2 and 1-3".
std::string JoinPlaces(const std::vector<std::string>& places) {
  std::string text;
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (i > 0) {
      text += i + 1 == places.size() ? " and " : ", ";
    }
    text += places[i];
  }
  return text;
}

// What the connection wait has said so far: each of its messages is said
// once, when what it says is first the case.
struct WaitMessages {
  bool notConnected = false;
  bool several = false;
};

// After a presence test that found no recorder to work with: tells the
// operator why, unless already told.
void TellWhyNotConnected(Console& console, const DeviceLink& link, WaitMessages& told) {
  const std::vector<std::string>& places = link.lastProbePlaces;
  if (places.size() > 1) {
    if (!told.several) {
      told.several = true;
      const bool placed = std::find(places.begin(), places.end(), std::string()) == places.end();
      if (placed) {
        Print(console, kSeveralRecordersText, static_cast<int>(places.size()), JoinPlaces(places).c_str());
      } else {
        Print(console, kSeveralRecordersNoPlacesText, static_cast<int>(places.size()));
      }
    }
  } else if (!told.notConnected) {
    // None, or one this user may not open (told apart on standard error).
    told.notConnected = true;
    Print(console, "Device is not connected.\nConnect device to continue or press Esc to exit.\n");
  }
}

}  // namespace

std::optional<int> StartDialogue(DialoguePorts& ports, DialogueState& state, const DialogueOptions& options) {
  Console& console = *ports.console;
  DeviceLink& link = *ports.link;

  state.diagnosticMode = options.diagnosticMode;

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
  if (options.place) {
    ChooseRecorderAt(link, *options.place);  // no other recorder is seen
  }

  // Until exactly one recorder is there (or the one at the place chosen),
  // nothing is sent to any.
  if (!IsRecorderPresent(link)) {
    WaitMessages told;
    TellWhyNotConnected(console, link, told);
    // A recorder this user may not open looks absent. Once one has stayed
    // refused for the hint's delay, the operator is told why.
    std::optional<std::uint64_t> refusedSinceMs;
    while (!IsRecorderPresent(link)) {
      TellWhyNotConnected(console, link, told);
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
  // The last look: from here on the link keeps to the recorder it finds.
  if (!KeepToTheRecorderFound(link)) {
    return kExitOk;  // Esc with no recorder, or more than one: leave without a word
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
