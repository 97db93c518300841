// The recorder's version and serial-number queries, and its restart.
#pragma once

#include <array>
#include <cstdint>

#include "common/version_word.h"
#include "link/device_link.h"
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

// The running firmware's version; 0 when the request fails.
VersionWord GetFirmwareVersion(DeviceLink& link);

// The boot loader's version. When the boot loader request fails but the
// firmware answers, the boot loader is 1.0; when neither answers, 0.
VersionWord GetBootLoaderVersion(DeviceLink& link);

// From GetSerialNumber when firmware answered (a non-zero version), else from
// flash address 0xDE00. Empty, and not answered, when the request fails or the
// reply is cut short.
SerialNumber ReadSerialNumber(DeviceLink& link, VersionWord firmwareVersion);

// Sends Restart; the recorder leaves the bus and re-enumerates. The result is
// not used: the recorder may drop off the bus before it acknowledges.
void RestartRecorder(DeviceLink& link);

}  // namespace k24
