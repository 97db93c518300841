#include "recorder/requests.h"

namespace k24 {

SentRequest SendRequest(DeviceLink& link, const RecorderRequest& request, std::uint16_t value,
                        std::span<std::uint8_t> data) {
  SentRequest sent;
  sent.code = request.code;
  sent.direction = request.direction;
  sent.value = value;
  sent.index = 0;
  sent.length = request.length;
  if (data.size() != request.length) {
    sent.status = LinkStatus::Failed;
    return sent;
  }
  const LinkResult result = SendVendorRequest(link, request.direction, request.code, value, sent.index, data);
  sent.status = result.status;
  sent.transferred = result.transferred;
  return sent;
}

SentRequest SendRequest(DeviceLink& link, const RecorderRequest& request, std::uint16_t value) {
  return SendRequest(link, request, value, std::span<std::uint8_t>{});
}

const char* RequestName(std::uint8_t code) {
  struct Named {
    const RecorderRequest* request;
    const char* name;
  };
  static constexpr Named kNames[] = {
      {&kRequestReadFlash, "ReadFlash"},
      {&kRequestWriteFlash, "WriteFlash"},
      {&kRequestErasePage, "ErasePage"},
      {&kRequestRestart, "Restart"},
      {&kRequestGetBootLoaderVersion, "GetBootLoaderVersion"},
      {&kRequestFinishFirmware, "FinishFirmware"},
      {&kRequestPostUpdateQuery, "PostUpdateQuery"},
      {&kRequestGetSerialNumber, "GetSerialNumber"},
      {&kRequestSetSerialNumber, "SetSerialNumber"},
      {&kRequestCommitBootArea, "CommitBootArea"},
      {&kRequestGetFirmwareVersion, "GetFirmwareVersion"},
      {&kRequestNandEraseBlock, "NandEraseBlock"},
      {&kRequestNandStatus, "NandStatus"},
      {&kRequestNandReadPages, "NandReadPages"},
      {&kRequestNandWritePages, "NandWritePages"},
  };
  for (const Named& each : kNames) {
    if (each.request->code == code) {
      return each.name;
    }
  }
  return nullptr;
}

}  // namespace k24
