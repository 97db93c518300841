#include "tests/e2e/usbpcap_writer.h"

#include <algorithm>
#include <array>
#include <span>

#include "common/byte_order.h"
#include "trace/pcap_file.h"

namespace k24::test {
namespace {

constexpr std::uint16_t kFunctionVendorDevice = 0x0017;  // URB_FUNCTION_VENDOR_DEVICE
constexpr std::uint16_t kFunctionBulk = 0x0009;          // URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
constexpr std::uint8_t kInfoFromDevice = 0x01;           // PDO to FDO: on the way back
constexpr std::uint8_t kStageSetup = 0;
constexpr std::uint8_t kStageData = 1;
constexpr std::uint8_t kStageStatus = 2;

std::uint32_t UsbdStatus(CapturedEnd end) {
  switch (end) {
    case CapturedEnd::Ok: return 0;
    case CapturedEnd::Stall: return 0xC0000004;      // USBD_STATUS_STALL_PID
    case CapturedEnd::Cancelled: return 0xC0010000;  // USBD_STATUS_CANCELED
    default: return 0xC0000001;                      // USBD_STATUS_CRC
  }
}

// The data a transfer brought back, as much as the capture kept of it.
std::span<const std::uint8_t> Received(const CapturedTransfer& transfer) {
  return std::span<const std::uint8_t>(transfer.received)
      .first(std::min<std::size_t>(transfer.moved, transfer.received.size()));
}

struct Packet {
  std::uint64_t irp = 0;
  std::uint32_t status = 0;
  std::uint16_t function = 0;
  std::uint8_t info = 0;
  UsbAddress address;
  std::uint8_t endpoint = 0;
  std::uint8_t transfer = 0;
  bool control = false;
  std::uint8_t stage = 0;
};

void Put(std::vector<std::uint8_t>& file, const Packet& packet, std::span<const std::uint8_t> data,
         std::uint32_t& second) {
  const std::size_t headerLength = packet.control ? 28 : 27;
  std::array<std::uint8_t, 28> header{};
  PutLe16(header, 0, static_cast<std::uint16_t>(headerLength));
  PutLe64(header, 2, packet.irp);
  PutLe32(header, 10, packet.status);
  PutLe16(header, 14, packet.function);
  header[16] = packet.info;
  PutLe16(header, 17, packet.address.bus);
  PutLe16(header, 19, packet.address.device);
  header[21] = packet.endpoint;
  header[22] = packet.transfer;
  PutLe32(header, 23, static_cast<std::uint32_t>(data.size()));
  header[27] = packet.stage;
  std::vector<std::uint8_t> bytes(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(headerLength));
  bytes.insert(bytes.end(), data.begin(), data.end());
  const auto length = static_cast<std::uint32_t>(bytes.size());
  const auto record = PcapRecordHeader(1'800'000'000 + second / 1000, (second % 1000) * 1000, length, length);
  ++second;
  file.insert(file.end(), record.begin(), record.end());
  file.insert(file.end(), bytes.begin(), bytes.end());
}

}  // namespace

std::vector<std::uint8_t> WriteUsbPcapCapture(const RecorderCapture& capture) {
  const auto fileHeader = PcapFileHeader(kLinkTypeUsbPcap, 0x40000);
  std::vector<std::uint8_t> file(fileHeader.begin(), fileHeader.end());
  std::uint64_t irp = 0xFFFF800000001000;
  std::uint32_t tick = 0;
  for (const CaptureEvent& event : capture.events) {
    if (event.kind != CaptureEvent::Kind::Transfer) continue;
    const CapturedTransfer& transfer = event.transfer;
    Packet packet;
    packet.irp = irp;
    irp += 0x40;
    packet.address = transfer.address;
    if (transfer.control) {
      packet.control = true;
      packet.function = kFunctionVendorDevice;
      packet.transfer = 2;
      packet.endpoint = transfer.in ? 0x80 : 0x00;
      packet.stage = kStageSetup;
      Put(file, packet, transfer.setup, tick);
      if (!transfer.in && !transfer.sent.empty()) {
        packet.stage = kStageData;
        Put(file, packet, transfer.sent, tick);
      }
      if (transfer.end == CapturedEnd::NoCompletion) continue;
      packet.info = kInfoFromDevice;
      packet.status = UsbdStatus(transfer.end);
      if (transfer.in && transfer.moved > 0) {
        packet.stage = kStageData;
        Put(file, packet, Received(transfer), tick);
      }
      packet.stage = kStageStatus;
      Put(file, packet, {}, tick);
      continue;
    }
    packet.function = kFunctionBulk;
    packet.transfer = 3;
    packet.endpoint = transfer.endpoint;
    Put(file, packet, transfer.in ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(transfer.sent),
        tick);
    if (transfer.end == CapturedEnd::NoCompletion) continue;
    packet.info = kInfoFromDevice;
    packet.status = UsbdStatus(transfer.end);
    Put(file, packet,
        transfer.in ? Received(transfer) : std::span<const std::uint8_t>(),
        tick);
  }
  return file;
}

}  // namespace k24::test
