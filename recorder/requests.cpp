#include "recorder/requests.h"

#include <algorithm>

namespace k24 {
namespace {

// Whether the `transferred` bytes of a reply at the start of `data` are all
// the request's use of it needs.
bool ReplyIsWhole(const RecorderRequest& request, std::span<const std::uint8_t> data, std::uint32_t transferred) {
  switch (request.reply) {
    case ReplyUse::Whole:
      return transferred == request.length;
    case ReplyUse::Text: {
      // "ABCDE12345" and its terminator is the whole number, in 11 of 21 bytes.
      const auto came = data.first(std::min<std::size_t>(transferred, data.size()));
      return transferred == request.length || std::find(came.begin(), came.end(), std::uint8_t{0}) != came.end();
    }
    case ReplyUse::None:
    case ReplyUse::Ignored:
    case ReplyUse::Preset:
      break;
  }
  return true;
}

}  // namespace

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
  if (result && request.direction == kDirectionIn && !ReplyIsWhole(request, data, result.transferred)) {
    // The bytes it did not fill are no answer of the recorder's: a version
    // 0.2 from a one-byte answer to 1.2, flash that was never read.
    sent.status = LinkStatus::ShortReply;
  }
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
