// The recorder's serial number: as read, as it may be shown, and the fix-up
// that marks it after a firmware replacement. Pure rules over the bytes; the
// requests that read and write it are in recorder_queries.h and
// firmware_replacement.h.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/version_word.h"
#include "recorder/requests.h"

namespace k24 {

// A NUL-terminated text of at most 20 characters; byte 20 is always 0 after a read.
using SerialNumberText = std::array<std::uint8_t, kSerialNumberSize>;

// The recorder's serial number as read. The shown text stops at 20
// characters, but a number the recorder holds may have 21 (an earlier update
// added its mark to a 20-character one): `asRead` keeps all the bytes it gave,
// so the number can be written back whole.
struct SerialNumber {
  SerialNumberText text{};    // byte 20 is always 0
  SerialNumberText asRead{};  // the 21 bytes of the reply, or of flash from 0xDE00
  bool answered = false;      // the recorder answered the request in full
};

// The fix-up's working buffer: the 21 bytes of the text and one more 0, so
// that inserting the mark into a 20-character text stays inside it. Its first
// 21 bytes are what SetSerialNumber sends.
using SerialNumberWorkingBuffer = std::array<std::uint8_t, kSerialNumberSize + 1>;

// The serial-number fix-up after a firmware replacement. Returns whether
// SetSerialNumber is to be sent, and fills `working`.
bool FixUpSerialNumber(const SerialNumber& serial, VersionWord currentFirmware, VersionWord offeredFirmware,
                       SerialNumberWorkingBuffer& working);

// The serial number as it may be shown on a terminal: bytes outside printable
// ASCII become '?', so the recorder's bytes can never drive the terminal.
std::string PrintableSerialNumber(const SerialNumberText& serial);

}  // namespace k24
