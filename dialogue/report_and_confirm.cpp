// Report and confirmation: the firmware image is loaded, the recorder's
// firmware version and serial number are shown, the carried version offered,
// and two confirmations are taken before anything is changed on the recorder.
#include "dialogue/dialogue.h"

namespace k24 {
namespace {

bool IsKey(std::uint16_t key, char lower, char upper) {
  return key == static_cast<std::uint16_t>(lower) || key == static_cast<std::uint16_t>(upper);
}

}  // namespace

std::string PrintableSerialNumber(const SerialNumberText& serial) {
  std::string text;
  for (std::uint8_t byte : serial) {
    if (byte == 0) break;
    text.push_back(byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '?');
  }
  return text;
}

std::optional<int> ReportAndConfirm(DialoguePorts& ports, DialogueState& state) {
  Console& console = *ports.console;
  DeviceLink& link = *ports.link;

  if (!LoadFirmwareImage(state.executablePath, state.firmwareImage, state.offeredFirmwareVersion,
                         state.carriedBootLoaderVersion)) {
    Print(console, "The firmware image in this program is missing or damaged.\n");
    Print(console, "Press any key to exit.\n");
    ReadKey(console);
    return kExitOk;
  }

  if (state.currentFirmwareVersion != 0) {
    Print(console, "Current firmware version: %d.%d\n", VersionMajor(state.currentFirmwareVersion),
          VersionMinor(state.currentFirmwareVersion));
  } else {
    Print(console, "Current firmware version: unavailable.\n");
  }
  // Asked of the firmware when it answered, else read from flash.
  state.serialNumber = ReadSerialNumber(link, state.currentFirmwareVersion);
  Print(console, "Serial number: %s\n", PrintableSerialNumber(state.serialNumber).c_str());

  Print(console, "Press 'Y' to load firmware version %d.%d or other key to exit.\n",
        VersionMajor(state.offeredFirmwareVersion), VersionMinor(state.offeredFirmwareVersion));
  if (!IsKey(ReadKey(console), 'y', 'Y')) {
    return kExitOk;
  }
  Print(console, "\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n");
  Print(console, "Press 'L' to confirm load or other key to exit.\n");
  if (!IsKey(ReadKey(console), 'l', 'L')) {
    return kExitOk;
  }
  return std::nullopt;
}

}  // namespace k24
