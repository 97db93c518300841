#include "recorder/requests.h"

namespace k24 {

LinkResult SendRequest(DeviceLink& link, const RecorderRequest& request, std::uint16_t value,
                       std::span<std::uint8_t> data) {
  if (data.size() != request.length) {
    return {LinkStatus::Failed};
  }
  return SendVendorRequest(link, request.direction, request.code, value, 0, data);
}

LinkResult SendRequest(DeviceLink& link, const RecorderRequest& request, std::uint16_t value) {
  return SendRequest(link, request, value, std::span<std::uint8_t>{});
}

}  // namespace k24
