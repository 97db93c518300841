// Update execution: the boot loader upgrade when the firmware needs a newer
// one, the compatibility check, the firmware replacement, the serial-number
// fix-up, and the ending. Every end here is exit code 0. The recorder's steps
// are the recorder layer's; here the update is decided and shown.
#include <algorithm>
#include <span>
#include <string>

#include "common/shown_bytes.h"
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
// The procedure has ended: its result is shown, and recorded, before a held
// ending signal may end the program.
int EndAfterFailedBootLoaderUpgrade(DialoguePorts& ports, DialogueState& state) {
  Console& console = *ports.console;
  Print(console, "Failed\n");
  CloseRunRecord(ports, state, RunEnd::BootLoaderUpgradeFailed);
  console.EndCriticalSection();
  return EndAfterKey(console, "", kExitOk);
}

int OrdinaryEnding(Console& console) {
  Print(console, "Press any key to exit...\n");
  ReadKey(console);
  return kExitOk;
}

// Runs one step of a procedure and adds it, with its result, to the record.
template <typename Step>
StepResult Recorded(DialogueState& state, const char* name, Step step) {
  StepResult result = step();
  RecordStep(state, HistoryStep{name, result, {}});
  return result;
}

// The history's "after" versions follow what the run wrote, never what the
// recorder was asked afterwards (the update sends no request to read them
// back): a version is "unknown" (none) from the moment a write that can
// change it begins until its procedure ends well, and then the new one.

// Returns an exit code when the dialogue ends here.
std::optional<int> UpgradeBootLoader(DialoguePorts& ports, DialogueState& state) {
  Console& console = *ports.console;
  DeviceLink& link = *ports.link;
  UpdateRecord& record = state.record;
  if (!LoadReplacerImage(*ports.images, *ports.imageDigests, state.currentBootLoaderVersion, state.firmwareImage,
                         state.replacerImage)) {
    CloseRunRecord(ports, state, RunEnd::BootLoaderImageDamaged);
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
    CloseRunRecord(ports, state, RunEnd::DeclinedAtBootLoaderPrompt);
    return kExitOk;
  }
  console.BeginCriticalSection();
  const bool nandPath = state.currentBootLoaderVersion < kFlashReplacedBootLoaderVersion;
  // The flash path's programming state erases part of the firmware; the NAND
  // path writes the boot area alone.
  RecordWritingBegins(ports, state, "boot-loader-upgrade", true, !nandPath);
  Print(console, "Replacing Boot Loader...");
  // Either way the new boot loader is in place only once the recorder has
  // restarted with it and come back: "OK" waits for that return.
  if (nandPath) {
    // The recorder restarts by itself after accepting the new boot area, and
    // may do so before it answers the commit: a commit that failed counts as
    // accepted. Only that restart tells a recorder that took the boot area
    // from one that refused it.
    const StepResult rewritten =
        Recorded(state, "boot-loader-nand-rewrite", [&] { return RewriteNandBootArea(link, state.replacerImage); });
    // Block 0 is left alone when it could not be read whole (or no image
    // was there to write); otherwise it was erased and rewritten.
    if (rewritten.failure != StepFailure::BlockReadShort && rewritten.failure != StepFailure::ImageTooShort) {
      record.bootLoaderAfter.reset();
    }
    if (!rewritten ||
        !Recorded(state, "boot-loader-restart", [&] { return WaitForRecorderToReturn(link); })) {
      return EndAfterFailedBootLoaderUpgrade(ports, state);
    }
  } else {
    // Programming state begins by erasing part of the firmware, and the
    // replacer is then written over it.
    record.firmwareAfter.reset();
    if (!Recorded(state, "boot-loader-prepare", [&] { return PrepareForProgramming(link); }) ||
        !Recorded(state, "boot-loader-program-replacer",
                  [&] { return ProgramFlashImage(link, state.replacerImage); })) {
      return EndAfterFailedBootLoaderUpgrade(ports, state);
    }
    // The recorder installs the new boot loader from the replacer as it
    // restarts. A recorder that does not come back is not handed the firmware.
    record.bootLoaderAfter.reset();
    RestartRecorder(link);
    if (!Recorded(state, "boot-loader-restart", [&] { return WaitForRecorderToReturn(link); })) {
      return EndAfterFailedBootLoaderUpgrade(ports, state);
    }
  }
  record.bootLoaderAfter = state.carriedBootLoaderVersion;
  Print(console, "OK\n");
  // A signal held during the upgrade ends the program as this section ends,
  // with the new boot loader in place and no firmware written: the record
  // says so before.
  if (console.HeldEndingSignal() != nullptr) {
    CloseRunRecord(ports, state, RunEnd::EndedBySignalAfterBootLoaderUpgrade);
  }
  console.EndCriticalSection();
  return std::nullopt;
}

bool FirmwareFitsRecorder(const IdentityRead& read, const DialogueState& state) {
  if (!read) {
    return state.diagnosticMode;  // an identity not read is no recorder's word: nothing fits it
  }
  const InstalledIdentity& identity = read.identity;
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
bool ReplaceFirmware(DeviceLink& link, DialogueState& state) {
  // Programming state begins by erasing part of the firmware.
  state.record.firmwareAfter.reset();
  if (!Recorded(state, "firmware-write", [&] { return WriteFirmware(link, state.firmwareImage); }) ||
      !Recorded(state, "firmware-start", [&] { return StartNewFirmware(link); })) {
    return false;
  }
  // A serial number that could not be read is not written back: its empty
  // text would wipe the recorder's own.
  SerialNumberWorkingBuffer working{};
  if (!state.serialNumber.answered) {
    RecordStep(state, HistoryStep{"serial-number-write", std::nullopt, "not sent: the serial number was not read"});
  } else if (FixUpSerialNumber(state.serialNumber, state.currentFirmwareVersion, state.offeredFirmwareVersion,
                               working)) {
    const SentRequest sent = WriteSerialNumber(link, working);
    SerialNumberText shown{};
    std::copy_n(working.begin(), shown.size(), shown.begin());
    RecordStep(state, HistoryStep{"serial-number-write", std::nullopt,
                                  "sent " + PrintableSerialNumber(shown) + " (result not examined: " +
                                      DescribeRequestResult(sent) + ")"});
  } else {
    RecordStep(state, HistoryStep{"serial-number-write", std::nullopt, "not needed"});
  }
  RestartRecorder(link);
  RecordStep(state, HistoryStep{"firmware-restart", std::nullopt, "sent"});
  state.record.firmwareAfter = state.offeredFirmwareVersion;
  return true;
}

// Whether the build's sample images may go into this recorder: only the
// tests' recorder model, which says so by its product string (no recorder
// does), and only when the environment says too that it is the emulator.
bool SampleImagesMayGoIn(DialoguePorts& ports) {
  return ports.recorderSaidToBeEmulated && ReadProductString(*ports.link) == kRecorderModelProduct;
}

}  // namespace

int ExecuteUpdate(DialoguePorts& ports, DialogueState& state) {
  Console& console = *ports.console;
  if (ports.sampleImagesOnly && !SampleImagesMayGoIn(ports)) {
    // A sample pattern in a real recorder's flash would leave it unusable.
    CloseRunRecord(ports, state, RunEnd::SampleImages);
    return EndAfterKey(console, kSampleImagesRefusal, kExitOk);
  }
  // Decided on the recorder's own identity, before anything is written: the
  // boot loader upgrade by flash programming writes the replacer over the
  // identity area, after which it would be the replacer's bytes that are read.
  const IdentityRead identity = ReadInstalledIdentity(*ports.link);
  const bool fits = FirmwareFitsRecorder(identity, state);
  RecordStep(state, HistoryStep{"identity-check", std::nullopt,
                                (identity ? ShownBytes(identity.identity)
                                          : "read failed (" + DescribeRequestResult(identity.request) + ")") +
                                    (fits ? " accepted" : " refused")});
  if (!fits) {
    Print(console, "Firmware version is not compatible with this recorder.\nReplacing firmware failed.\n");
    CloseRunRecord(ports, state, RunEnd::NotCompatible);
    return OrdinaryEnding(console);
  }
  if (state.carriedBootLoaderVersion > state.currentBootLoaderVersion) {
    if (const std::optional<int> end = UpgradeBootLoader(ports, state)) {
      return *end;
    }
  }
  console.BeginCriticalSection();
  RecordWritingBegins(ports, state, "firmware-replacement", false, true);
  Print(console, "Replacing firmware...");
  const bool replaced = ReplaceFirmware(*ports.link, state);
  Print(console, replaced ? "OK\n" : "Failed\n");
  // Recorded before the section ends: a signal held during the replacement
  // ends the program at its end, and the record must be there by then.
  CloseRunRecord(ports, state, replaced ? RunEnd::Updated : RunEnd::FirmwareReplacementFailed);
  console.EndCriticalSection();
  return OrdinaryEnding(console);
}

}  // namespace k24
