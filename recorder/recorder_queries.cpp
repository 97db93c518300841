#include "recorder/recorder_queries.h"

#include <algorithm>

#include "common/byte_order.h"

namespace k24 {
namespace {

inline constexpr VersionWord kBootLoaderAssumedWithFirmware = 0x0100;

// The two version requests answer alike: a VersionWord, little-endian.
static_assert(kRequestGetFirmwareVersion.length == 2 && kRequestGetBootLoaderVersion.length == 2);

// The version, when the request succeeded; a reply shorter than two bytes is
// none (ShortReply).
SentRequest QueryVersion(DeviceLink& link, const RecorderRequest& request, VersionWord& version) {
  RequestData<kRequestGetFirmwareVersion> reply{};
  const SentRequest sent = SendRequest(link, request, 0, reply);
  if (sent) {
    version = GetLe16(reply, 0);
  }
  return sent;
}

}  // namespace

VersionWord GetFirmwareVersion(DeviceLink& link) {
  VersionWord version = 0;
  return QueryVersion(link, kRequestGetFirmwareVersion, version) ? version : 0;
}

VersionWord GetBootLoaderVersion(DeviceLink& link) {
  VersionWord version = 0;
  const SentRequest asked = QueryVersion(link, kRequestGetBootLoaderVersion, version);
  if (asked) {
    return version;
  }
  // A boot loader that answers with less than its version is one that could
  // not be identified: taken as 1.0, a boot loader of unknown age would go
  // down the flash path.
  if (asked.status == LinkStatus::ShortReply) {
    return 0;
  }
  // Firmware that answers but whose boot loader does not: that boot loader is 1.0.
  return GetFirmwareVersion(link) != 0 ? kBootLoaderAssumedWithFirmware : VersionWord{0};
}

SerialNumber ReadSerialNumber(DeviceLink& link, VersionWord firmwareVersion) {
  SerialNumber serial;
  if (firmwareVersion != 0) {
    serial.answered =
        static_cast<bool>(SendRequest(link, kRequestGetSerialNumber, 0, serial.asRead));
  } else {
    RequestData<kRequestReadFlash> flash{};
    serial.answered = static_cast<bool>(SendRequest(link, kRequestReadFlash, kFlashSerialNumberAddress, flash));
    // All 21 bytes: a number an earlier update marked may use every one, and
    // must go back whole if it is sent back.
    std::copy_n(flash.begin(), kSerialNumberSize, serial.asRead.begin());
  }
  if (!serial.answered) {
    // Whatever a failed or cut reply left is no serial number: shown empty.
    serial.asRead.fill(0);
  }
  serial.text = serial.asRead;
  serial.text[kSerialNumberSize - 1] = 0;
  return serial;
}

void RestartRecorder(DeviceLink& link) {
  SendRequest(link, kRequestRestart, 0);
}

}  // namespace k24
