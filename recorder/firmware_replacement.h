// The recorder's side of a firmware update, in the steps the recorder goes
// through: its installed identity read before anything is written, the new
// firmware written and finished, the recorder restarted into it, its serial
// number written back, and the waits for it to return after a restart. The
// programming procedures themselves are in flash_programming.h and
// nand_boot_area.h. Nothing here decides or prints: the dialogue does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/device_link.h"
#include "recorder/serial_number.h"
#include "recorder/step_result.h"

namespace k24 {

// The installed firmware's five-byte model identity, at the same place in
// the recorder's flash as in a firmware image (image byte n goes to flash
// address n). Its first three bytes are "K24" on a K24 recorder.
inline constexpr std::uint16_t kInstalledIdentityAddress = 0x29FB;
inline constexpr std::size_t kInstalledIdentitySize = 5;
using InstalledIdentity = std::array<std::uint8_t, kInstalledIdentitySize>;

// The identity as the recorder holds it now (ReadFlash at 0x29F9). The read
// as sent and how it ended: the identity is the recorder's word only when it
// succeeded, whole; a failed or cut read says nothing of the model (zeros
// would pass as "not a K24 identity"), and the caller accepts nothing on it.
struct IdentityRead {
  SentRequest request;
  InstalledIdentity identity{};  // zeros unless the read succeeded
  explicit operator bool() const { return static_cast<bool>(request); }
};
IdentityRead ReadInstalledIdentity(DeviceLink& link);

// Programming state, the image region, then FinishFirmware, which makes the
// recorder start the new firmware on its next restart. Fails at the first
// step that fails, with that step's result (a wait that ended badly, the
// programming's first failed request, or FinishFirmware's); FinishFirmware is
// not sent after a failed programming.
StepResult WriteFirmware(DeviceLink& link, std::span<const std::uint8_t> image);

// Restart into the new firmware, the wait for it to come back, then
// PostUpdateQuery (answer not used). Fails when the recorder does not leave
// or does not return.
StepResult StartNewFirmware(DeviceLink& link);

// SetSerialNumber with the first 21 bytes of the fix-up's working buffer.
// The result decides nothing; it is returned for the record.
SentRequest WriteSerialNumber(DeviceLink& link, const SerialNumberWorkingBuffer& working);

// The wait for a recorder that restarts by itself (after it accepted a new
// NAND boot area) or was told to (RestartRecorder): fails when it does not
// leave the bus and come back within the link's bounds.
StepResult WaitForRecorderToReturn(DeviceLink& link);

}  // namespace k24
