// The recorder's version and serial-number queries, and its restart.
#pragma once

#include "common/version_word.h"
#include "link/device_link.h"
#include "recorder/serial_number.h"

namespace k24 {

// The running firmware's version; 0 when the request fails.
VersionWord GetFirmwareVersion(DeviceLink& link);

// The boot loader's version. When the boot loader request fails but the
// firmware answers, the boot loader is 1.0; when neither answers, 0. A reply
// cut short is a boot loader that could not be identified: 0.
VersionWord GetBootLoaderVersion(DeviceLink& link);

// From GetSerialNumber when firmware answered (a non-zero version), else from
// flash address 0xDE00. Empty, and not answered, when the request fails or the
// reply is cut short: a GetSerialNumber reply is whole once it holds its
// text's terminator, a flash read only with all its bytes.
SerialNumber ReadSerialNumber(DeviceLink& link, VersionWord firmwareVersion);

// Sends Restart; the recorder leaves the bus and re-enumerates. The result is
// not used: the recorder may drop off the bus before it acknowledges.
void RestartRecorder(DeviceLink& link);

}  // namespace k24
