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

IdentityRead ReadInstalledIdentity(DeviceLink& link) {
  RequestData<kRequestReadFlash> area{};
  IdentityRead read;
  read.request = SendRequest(link, kRequestReadFlash, kIdentityReadAddress, area);
  if (read.request) {  // a reply cut short fails as ShortReply
    std::copy_n(area.begin() + kIdentityOffsetInRead, read.identity.size(), read.identity.begin());
  }
  return read;
}

StepResult WriteFirmware(DeviceLink& link, std::span<const std::uint8_t> image) {
  if (StepResult prepared = PrepareForProgramming(link); !prepared) {
    return prepared;
  }
  if (StepResult programmed = ProgramFlashImage(link, image); !programmed) {
    return programmed;
  }
  RequestData<kRequestFinishFirmware> finished{};
  return RequestStep(SendRequest(link, kRequestFinishFirmware, 0, finished));
}

StepResult StartNewFirmware(DeviceLink& link) {
  RestartRecorder(link);
  if (StepResult back = WaitForRecorderToReturn(link); !back) {
    return back;
  }
  RequestData<kRequestPostUpdateQuery> reply{};
  SendRequest(link, kRequestPostUpdateQuery, 0, reply);  // answer not used
  return {};
}

SentRequest WriteSerialNumber(DeviceLink& link, const SerialNumberWorkingBuffer& working) {
  RequestData<kRequestSetSerialNumber> text{};
  std::copy_n(working.begin(), text.size(), text.begin());
  return SendRequest(link, kRequestSetSerialNumber, 0, text);  // decides nothing
}

StepResult WaitForRecorderToReturn(DeviceLink& link) { return ReenumerationStep(AwaitReenumeration(link)); }

}  // namespace k24
