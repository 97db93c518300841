#include "recorder/serial_number.h"

#include <algorithm>

namespace k24 {
namespace {

// Where an update marks the serial number ('W', or 'X' set elsewhere).
constexpr std::size_t kSerialMarkIndex = 5;

}  // namespace

bool FixUpSerialNumber(const SerialNumber& serial, VersionWord currentFirmware, VersionWord offeredFirmware,
                       SerialNumberWorkingBuffer& working) {
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

std::string PrintableSerialNumber(const SerialNumberText& serial) {
  std::string text;
  for (std::uint8_t byte : serial) {
    if (byte == 0) break;
    text.push_back(byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '?');
  }
  return text;
}

}  // namespace k24
