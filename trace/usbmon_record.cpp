#include "trace/usbmon_record.h"

#include <algorithm>

#include "common/byte_order.h"

namespace k24 {

std::vector<std::uint8_t> BuildUsbmonRecord(const UsbmonRecord& record) {
  std::vector<std::uint8_t> bytes(kUsbmonHeaderSize + record.data.size(), 0);
  PutLe64(bytes, 0, record.id);
  bytes[8] = record.type;
  bytes[9] = record.transferType;
  bytes[10] = record.endpoint;
  bytes[11] = record.device;
  PutLe16(bytes, 12, record.bus);
  bytes[14] = record.setupFlag;
  bytes[15] = record.dataFlag;
  PutLe64(bytes, 16, static_cast<std::uint64_t>(record.seconds));
  PutLe32(bytes, 24, static_cast<std::uint32_t>(record.microseconds));
  PutLe32(bytes, 28, static_cast<std::uint32_t>(record.status));
  PutLe32(bytes, 32, record.length);
  PutLe32(bytes, 36, static_cast<std::uint32_t>(record.data.size()));
  std::copy(record.setup.begin(), record.setup.end(), bytes.begin() + 40);
  PutLe32(bytes, 48, static_cast<std::uint32_t>(record.interval));
  PutLe32(bytes, 52, static_cast<std::uint32_t>(record.startFrame));
  PutLe32(bytes, 56, record.transferFlags);
  PutLe32(bytes, 60, record.isoDescriptors);
  std::copy(record.data.begin(), record.data.end(), bytes.begin() + kUsbmonHeaderSize);
  return bytes;
}

std::optional<UsbmonRecord> ParseUsbmonRecord(std::span<const std::uint8_t> packet) {
  if (packet.size() < kUsbmonHeaderSize) {
    return std::nullopt;
  }
  UsbmonRecord record;
  record.id = GetLe64(packet, 0);
  record.type = packet[8];
  record.transferType = packet[9];
  record.endpoint = packet[10];
  record.device = packet[11];
  record.bus = GetLe16(packet, 12);
  record.setupFlag = packet[14];
  record.dataFlag = packet[15];
  record.seconds = static_cast<std::int64_t>(GetLe64(packet, 16));
  record.microseconds = static_cast<std::int32_t>(GetLe32(packet, 24));
  record.status = static_cast<std::int32_t>(GetLe32(packet, 28));
  record.length = GetLe32(packet, 32);
  record.capturedLength = GetLe32(packet, 36);
  std::copy_n(packet.begin() + 40, record.setup.size(), record.setup.begin());
  record.interval = static_cast<std::int32_t>(GetLe32(packet, 48));
  record.startFrame = static_cast<std::int32_t>(GetLe32(packet, 52));
  record.transferFlags = GetLe32(packet, 56);
  record.isoDescriptors = GetLe32(packet, 60);
  const std::size_t held = std::min<std::size_t>(packet.size() - kUsbmonHeaderSize, record.capturedLength);
  record.data.assign(packet.begin() + kUsbmonHeaderSize,
                     packet.begin() + static_cast<std::ptrdiff_t>(kUsbmonHeaderSize + held));
  return record;
}

}  // namespace k24
