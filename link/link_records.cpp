#include "link/link_records.h"

#include "common/byte_order.h"

namespace k24 {

VendorRequestRecord BuildVendorRequestRecord(const VendorRequest& request) {
  VendorRequestRecord record{};
  record[0] = request.direction;
  record[1] = request.requestType;
  record[2] = request.recipient;
  record[3] = 0;  // reserved request-type bits
  record[4] = request.request;
  record[5] = 0;  // alignment
  PutLe16(record, 6, request.value);
  PutLe16(record, 8, request.index);
  return record;
}

VendorRequest ParseVendorRequestRecord(std::span<const std::uint8_t, kVendorRequestRecordSize> record) {
  VendorRequest request;
  request.direction = record[0];
  request.requestType = record[1];
  request.recipient = record[2];
  request.request = record[4];
  request.value = GetLe16(record, 6);
  request.index = GetLe16(record, 8);
  return request;
}

BulkPipeRecord BuildBulkPipeRecord(std::uint32_t pipe) {
  BulkPipeRecord record{};
  PutLe32(record, 0, pipe);
  return record;
}

std::uint32_t ParseBulkPipeRecord(std::span<const std::uint8_t, kBulkPipeRecordSize> record) {
  return GetLe32(record, 0);
}

std::uint8_t SetupRequestType(std::uint8_t direction) {
  return direction == kDirectionIn ? std::uint8_t{0xC0} : std::uint8_t{0x40};
}

}  // namespace k24
