#include "recorder/firmware_replacement.h"

#include <algorithm>

#include "recorder/flash_programming.h"
#include "recorder/recorder_queries.h"
#include "recorder/requests.h"

namespace k24 {
namespace {

// The identity is read as part of one 64-byte read from the firmware version on.
constexpr std::uint16_t kIdentityReadAddress = 0x29F9;
constexpr std::size_t kIdentityOffsetInRead = kInstalledIdentityAddress - kIdentityReadAddress;
static_assert(kIdentityOffsetInRead + kInstalledIdentitySize <= kRequestReadFlash.length);

}  // namespace

InstalledIdentity ReadInstalledIdentity(DeviceLink& link) {
  // Cleared first, and the result not examined: a read that fails leaves
  // zeros, which are no "K24".
  RequestData<kRequestReadFlash> area{};
  SendRequest(link, kRequestReadFlash, kIdentityReadAddress, area);
  InstalledIdentity identity{};
  std::copy_n(area.begin() + kIdentityOffsetInRead, identity.size(), identity.begin());
  return identity;
}

bool WriteFirmware(DeviceLink& link, std::span<const std::uint8_t> image) {
  if (!PrepareForProgramming(link) || !ProgramFlashImage(link, image)) {
    return false;
  }
  RequestData<kRequestFinishFirmware> finished{};
  return static_cast<bool>(SendRequest(link, kRequestFinishFirmware, 0, finished));
}

bool StartNewFirmware(DeviceLink& link) {
  RestartRecorder(link);
  if (!WaitForReenumeration(link)) {
    return false;
  }
  RequestData<kRequestPostUpdateQuery> reply{};
  SendRequest(link, kRequestPostUpdateQuery, 0, reply);  // answer not used
  return true;
}

void WriteSerialNumber(DeviceLink& link, const SerialNumberWorkingBuffer& working) {
  RequestData<kRequestSetSerialNumber> text{};
  std::copy_n(working.begin(), text.size(), text.begin());
  SendRequest(link, kRequestSetSerialNumber, 0, text);  // result not used
}

bool WaitForRecorderToReturn(DeviceLink& link) { return WaitForReenumeration(link); }

}  // namespace k24
