// Update execution: the boot loader upgrade when the firmware needs a newer
// one, the compatibility check, the firmware replacement, the serial-number
// fix-up, and the ending. Every end here is exit code 0. The recorder's steps
// are the recorder layer's; here the update is decided and shown.
#include <algorithm>
#include <span>

#include "dialogue/dialogue.h"
#include "dialogue/prompts.h"
#include "images/image_layout.h"
#include "recorder/firmware_replacement.h"
#include "recorder/flash_programming.h"
#include "recorder/nand_boot_area.h"
#include "recorder/recorder_queries.h"
#include "recorder/serial_number.h"

namespace k24 {
namespace {

// Image byte n goes to flash address n: the recorder holds its identity where
// a firmware image carries it.
static_assert(kInstalledIdentityAddress == kFirmwareIdentityOffset && kInstalledIdentitySize == kModelIdentitySize);

// Called inside the boot loader's critical section, which it closes.
// The procedure has ended: its result is shown before a held ending signal
// may end the program.
int EndAfterFailedBootLoaderUpgrade(Console& console) {
  Print(console, "Failed\n");
  console.EndCriticalSection();
  return EndAfterKey(console, "", kExitOk);
}

int OrdinaryEnding(Console& console) {
  Print(console, "Press any key to exit...\n");
  ReadKey(console);
  return kExitOk;
}

// Returns an exit code when the dialogue ends here.
std::optional<int> UpgradeBootLoader(DialoguePorts& ports, DialogueState& state) {
  Console& console = *ports.console;
  DeviceLink& link = *ports.link;
  if (!LoadReplacerImage(*ports.images, *ports.imageDigests, state.currentBootLoaderVersion, state.firmwareImage,
                         state.replacerImage)) {
    return EndAfterKey(console, "The boot loader image in this program is missing or damaged.\n", kExitOk);
  }
  // Keys typed before this prompt appeared (while the offer was being
  // confirmed, say) must not answer it.
  console.DiscardTypedAhead();
  Print(console, "\nIt is necessary to upgrade Boot Loader before firmware loading.\n");
  Print(console, "Press 'Y' to upgrade Boot Loader %d.%d to version %d.%d or other key to exit.\n",
        VersionMajor(state.currentBootLoaderVersion), VersionMinor(state.currentBootLoaderVersion),
        VersionMajor(state.carriedBootLoaderVersion), VersionMinor(state.carriedBootLoaderVersion));
  if (!IsAnswer(ReadKey(console), 'Y')) {
    return kExitOk;
  }
  console.BeginCriticalSection();
  Print(console, "Replacing Boot Loader...");
  if (state.currentBootLoaderVersion < kFlashReplacedBootLoaderVersion) {
    // The recorder restarts by itself after accepting the new boot area, and
    // may do so before it answers the commit: a commit that failed counts as
    // accepted. Only that restart tells a recorder that took the boot area
    // from one that refused it, so "OK" waits for the recorder to come back.
    if (!RewriteNandBootArea(link, state.replacerImage) || !WaitForRecorderToReturn(link)) {
      return EndAfterFailedBootLoaderUpgrade(console);
    }
    Print(console, "OK\n");
  } else {
    if (!PrepareForProgramming(link) || !ProgramFlashImage(link, state.replacerImage)) {
      return EndAfterFailedBootLoaderUpgrade(console);
    }
    Print(console, "OK\n");
    RestartRecorder(link);
    // A recorder that does not come back is not handed the firmware.
    if (!WaitForRecorderToReturn(link)) {
      return EndAfterFailedBootLoaderUpgrade(console);
    }
  }
  console.EndCriticalSection();
  return std::nullopt;
}

bool FirmwareFitsRecorder(const InstalledIdentity& identity, const DialogueState& state) {
  const auto imageIdentity = std::span(state.firmwareImage).subspan(kFirmwareIdentityOffset, kModelIdentitySize);
  if (std::equal(identity.begin(), identity.end(), imageIdentity.begin())) {
    return true;
  }
  if (!std::equal(kModelFamilyTag.begin(), kModelFamilyTag.end(), identity.begin())) {
    return true;  // not a K24 identity: another tag, or erased flash
  }
  return state.diagnosticMode;
}

// Returns whether the firmware was replaced and the recorder came back.
bool ReplaceFirmware(DeviceLink& link, const DialogueState& state) {
  if (!WriteFirmware(link, state.firmwareImage) || !StartNewFirmware(link)) {
    return false;
  }
  // A serial number that could not be read is not written back: its empty
  // text would wipe the recorder's own.
  SerialNumberWorkingBuffer working{};
  if (state.serialNumber.answered &&
      FixUpSerialNumber(state.serialNumber, state.currentFirmwareVersion, state.offeredFirmwareVersion, working)) {
    WriteSerialNumber(link, working);
  }
  RestartRecorder(link);
  return true;
}

}  // namespace

int ExecuteUpdate(DialoguePorts& ports, DialogueState& state) {
  Console& console = *ports.console;
  if (ports.sampleImagesOnly) {
    // A sample pattern in a real recorder's flash would leave it unusable.
    return EndAfterKey(console, kSampleImagesRefusal, kExitOk);
  }
  // Decided on the recorder's own identity, before anything is written: the
  // boot loader upgrade by flash programming writes the replacer over the
  // identity area, after which it would be the replacer's bytes that are read.
  if (!FirmwareFitsRecorder(ReadInstalledIdentity(*ports.link), state)) {
    Print(console, "Firmware version is not compatible with this recorder.\nReplacing firmware failed.\n");
    return OrdinaryEnding(console);
  }
  if (state.carriedBootLoaderVersion > state.currentBootLoaderVersion) {
    if (const std::optional<int> end = UpgradeBootLoader(ports, state)) {
      return *end;
    }
  }
  console.BeginCriticalSection();
  Print(console, "Replacing firmware...");
  Print(console, ReplaceFirmware(*ports.link, state) ? "OK\n" : "Failed\n");
  console.EndCriticalSection();
  return OrdinaryEnding(console);
}

}  // namespace k24
