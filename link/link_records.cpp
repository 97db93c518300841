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

StringDescriptorRecord BuildStringDescriptorRecord(std::uint8_t index, std::uint16_t languageId) {
  StringDescriptorRecord record{};
  record[0] = index;
  record[1] = 0;  // alignment
  PutLe16(record, 2, languageId);
  return record;
}

std::optional<std::string> StringDescriptorText(std::span<const std::uint8_t> descriptor) {
  if (descriptor.size() < 2 || descriptor[1] != kStringDescriptorType || descriptor[0] < 2 ||
      descriptor[0] > descriptor.size() || descriptor[0] % 2 != 0) {
    return std::nullopt;
  }
  std::string text;
  for (std::size_t at = 2; at < descriptor[0]; at += 2) {
    const std::uint16_t unit = GetLe16(descriptor, at);
    text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return text;
}

std::uint8_t SetupRequestType(std::uint8_t direction) {
  return direction == kDirectionIn ? std::uint8_t{0xC0} : std::uint8_t{0x40};
}

}  // namespace k24
