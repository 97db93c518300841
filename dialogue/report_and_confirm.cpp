// Report and confirmation: the firmware image is loaded, the recorder's
// firmware version and serial number are shown, the carried version offered,
// and two confirmations are taken before anything is changed on the recorder.
#include "dialogue/dialogue.h"
#include "dialogue/prompts.h"
#include "recorder/recorder_queries.h"
#include "recorder/serial_number.h"

namespace k24 {

std::optional<int> ReportAndConfirm(DialoguePorts& ports, DialogueState& state) {
  Console& console = *ports.console;
  DeviceLink& link = *ports.link;

  if (!LoadFirmwareImage(*ports.images, *ports.imageDigests, state.firmwareImage, state.offeredFirmwareVersion,
                         state.carriedBootLoaderVersion)) {
    CloseRunRecord(ports, state, RunEnd::FirmwareImageDamaged);
    return EndAfterKey(console, "The firmware image in this program is missing or damaged.\n", kExitOk);
  }
  state.record.firmwareOffered = state.offeredFirmwareVersion;
  state.record.bootLoaderCarried = state.carriedBootLoaderVersion;

  if (state.currentFirmwareVersion != 0) {
    Print(console, "Current firmware version: %d.%d\n", VersionMajor(state.currentFirmwareVersion),
          VersionMinor(state.currentFirmwareVersion));
  } else {
    Print(console, "Current firmware version: unavailable.\n");
  }
  // Asked of the firmware when it answered, else read from flash.
  state.serialNumber = ReadSerialNumber(link, state.currentFirmwareVersion);
  Print(console, "Serial number: %s\n", PrintableSerialNumber(state.serialNumber.text).c_str());

  Print(console, "Press 'Y' to load firmware version %d.%d or other key to exit.\n",
        VersionMajor(state.offeredFirmwareVersion), VersionMinor(state.offeredFirmwareVersion));
  if (!IsAnswer(ReadKey(console), 'Y')) {
    CloseRunRecord(ports, state, RunEnd::DeclinedAtOffer);
    return kExitOk;
  }
  // Only a key pressed after the warning has appeared confirms it.
  console.DiscardTypedAhead();
  Print(console, "\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n");
  Print(console, "Press 'L' to confirm load or other key to exit.\n");
  if (!IsAnswer(ReadKey(console), 'L')) {
    CloseRunRecord(ports, state, RunEnd::DeclinedAtWarning);
    return kExitOk;
  }
  return std::nullopt;
}

}  // namespace k24
