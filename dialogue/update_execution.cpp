// Update execution: the boot loader upgrade when the firmware needs a newer
// one, the compatibility check, the firmware replacement, the serial-number
// fix-up, and the ending. Every end here is exit code 0.
#include <algorithm>
#include <array>
#include <cstring>

#include "dialogue/dialogue.h"
#include "dialogue/prompts.h"
#include "images/image_layout.h"
#include "recorder/flash_programming.h"
#include "recorder/nand_boot_area.h"
#include "recorder/requests.h"

namespace k24 {
namespace {

constexpr std::size_t kIdentityReadSize = 64;
constexpr std::size_t kIdentityOffsetInRead = 2;  // 0x29FB within the read at 0x29F9
constexpr std::size_t kSerialMarkIndex = 5;

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
    if (!RewriteNandBootArea(link, state.replacerImage) || !WaitForReenumeration(link)) {
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
    if (!WaitForReenumeration(link)) {
      return EndAfterFailedBootLoaderUpgrade(console);
    }
  }
  console.EndCriticalSection();
  return std::nullopt;
}

bool FirmwareFitsRecorder(DialoguePorts& ports, const DialogueState& state) {
  // Cleared first: if the read fails, zeros are no "K24" and the check passes.
  std::array<std::uint8_t, kIdentityReadSize> area{};
  SendVendorRequest(*ports.link, kDirectionIn, kRequestReadFlash, kFlashIdentityReadAddress, 0, area);
  const auto identity = std::span(area).subspan(kIdentityOffsetInRead, kModelIdentitySize);
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
bool ReplaceFirmware(DialoguePorts& ports, DialogueState& state) {
  DeviceLink& link = *ports.link;
  if (!PrepareForProgramming(link) || !ProgramFlashImage(link, state.firmwareImage)) {
    return false;
  }
  std::array<std::uint8_t, kFinishFirmwareReplySize> finished{};
  if (!SendVendorRequest(link, kDirectionIn, kRequestFinishFirmware, 0, 0, finished)) {
    return false;
  }
  RestartRecorder(link);
  if (!WaitForReenumeration(link)) {
    return false;
  }
  std::array<std::uint8_t, kPostUpdateQueryReplySize> reply{};
  SendVendorRequest(link, kDirectionIn, kRequestPostUpdateQuery, 0, 0, reply);  // answer not used

  // A serial number that could not be read is not written back: its empty
  // text would wipe the recorder's own.
  std::array<std::uint8_t, kSerialNumberSize + 1> working{};
  if (state.serialNumber.answered &&
      FixUpSerialNumber(state.serialNumber, state.currentFirmwareVersion, state.offeredFirmwareVersion, working)) {
    SendVendorRequest(link, kDirectionOut, kRequestSetSerialNumber, 0, 0,
                      std::span(working).first(kSerialNumberSize));  // result not used
  }
  RestartRecorder(link);
  return true;
}

}  // namespace

bool FixUpSerialNumber(const SerialNumber& serial, VersionWord currentFirmware, VersionWord offeredFirmware,
                       std::array<std::uint8_t, kSerialNumberSize + 1>& working) {
  std::copy(serial.text.begin(), serial.text.end(), working.begin());
  working[kSerialNumberSize] = 0;
  const std::uint8_t mark = working[kSerialMarkIndex];
  const bool marked = mark == 'W' || mark == 'X';
  if (VersionMajor(currentFirmware) == VersionMajor(offeredFirmware) && marked) {
    return false;
  }
  if (!marked) {
    // Insert 'W' at index 5: the text from index 5 on, with its terminator,
    // moves up one place. Bytes beyond the new terminator stay as they were.
    // The search stops at index 20 (always 0 in a text as read), so the move
    // ends inside the 22-byte buffer whatever the text holds.
    const auto tail = working.begin() + kSerialMarkIndex;
    const auto terminator = std::find(tail, working.end() - 2, std::uint8_t{0});
    std::copy_backward(tail, terminator + 1, terminator + 2);
    *tail = 'W';
  } else if (serial.asRead[kSerialNumberSize - 1] != 0) {
    // A 21-character number (marked by an earlier update) goes back whole, as
    // read: its shown text, cut at 20, would lose the last character.
    std::copy(serial.asRead.begin(), serial.asRead.end(), working.begin());
  }
  return true;
}

int ExecuteUpdate(DialoguePorts& ports, DialogueState& state) {
  Console& console = *ports.console;
  if (ports.sampleImagesOnly) {
    // A sample pattern in a real recorder's flash would leave it unusable.
    return EndAfterKey(console, kSampleImagesRefusal, kExitOk);
  }
  // Decided on the recorder's own identity, before anything is written: the
  // boot loader upgrade by flash programming writes the replacer over the
  // identity area, after which it would be the replacer's bytes that are read.
  if (!FirmwareFitsRecorder(ports, state)) {
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
  Print(console, ReplaceFirmware(ports, state) ? "OK\n" : "Failed\n");
  console.EndCriticalSection();
  return OrdinaryEnding(console);
}

}  // namespace k24
