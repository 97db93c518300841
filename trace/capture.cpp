#include "trace/capture.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "common/byte_order.h"
#include "recorder/requests.h"
#include "trace/usbmon_record.h"

namespace k24 {
namespace {

// USBPcap's header and its values.
constexpr std::size_t kUsbPcapHeaderSize = 27;
constexpr std::size_t kUsbPcapControlHeaderSize = 28;  // and the stage byte
constexpr std::uint8_t kUsbPcapControl = 2;
constexpr std::uint8_t kUsbPcapBulk = 3;
constexpr std::uint8_t kUsbPcapFromDevice = 0x01;  // info bit 0: on the way back
constexpr std::uint8_t kStageSetup = 0;
constexpr std::uint8_t kStageData = 1;
constexpr std::uint8_t kStageStatus = 2;
constexpr std::uint8_t kStageComplete = 3;

// USBD status values (Windows' usb.h).
constexpr std::uint32_t kUsbdStallPid = 0xC0000004;
constexpr std::uint32_t kUsbdEndpointHalted = 0xC0000030;
constexpr std::uint32_t kUsbdCanceled = 0xC0010000;
constexpr std::uint32_t kUsbdTimeout = 0xC0006000;

// Linux errno values in usbmon's status.
constexpr std::int32_t kLinuxNoEntry = -2;
constexpr std::int32_t kLinuxConnectionReset = -104;
constexpr std::int32_t kLinuxTimedOut = -110;

constexpr std::size_t kSetupSize = 8;

// A transfer as its packets are put together.
struct Urb {
  std::uint8_t transferType = 0;
  CapturedTransfer transfer;
  bool movedGiven = false;  // the completion said how many bytes moved
};

CapturedEnd UsbmonEnd(std::int32_t status) {
  if (status == 0) return CapturedEnd::Ok;
  if (status == kUsbmonStall) return CapturedEnd::Stall;
  if (status == kLinuxNoEntry || status == kLinuxConnectionReset || status == kLinuxTimedOut) {
    return CapturedEnd::Cancelled;
  }
  return CapturedEnd::OtherError;
}

CapturedEnd UsbPcapEnd(std::uint32_t status) {
  if (status == 0) return CapturedEnd::Ok;
  if (status == kUsbdStallPid || status == kUsbdEndpointHalted) return CapturedEnd::Stall;
  if (status == kUsbdCanceled || status == kUsbdTimeout) return CapturedEnd::Cancelled;
  return CapturedEnd::OtherError;
}

struct Assembler {
  std::vector<Urb> urbs;
  std::map<std::uint64_t, std::size_t> pending;  // transfers on their way, by id

  Urb* Begin(std::uint64_t id, std::uint8_t transferType, std::uint64_t frame, UsbAddress address) {
    pending[id] = urbs.size();
    Urb urb;
    urb.transferType = transferType;
    urb.transfer.control = transferType == kUsbmonControl;
    urb.transfer.frame = frame;
    urb.transfer.address = address;
    urbs.push_back(std::move(urb));
    return &urbs.back();
  }

  // The transfer of this id still on its way; none when its submission is
  // not in the capture.
  Urb* Pending(std::uint64_t id) {
    const auto it = pending.find(id);
    return it == pending.end() ? nullptr : &urbs[it->second];
  }

  void Finish(std::uint64_t id) { pending.erase(id); }
};

void TakeUsbmon(const CapturePacket& packet, std::uint64_t frame, Assembler& assembler) {
  const std::optional<UsbmonRecord> record = ParseUsbmonRecord(packet.bytes);
  if (!record || (record->transferType != kUsbmonControl && record->transferType != kUsbmonBulk)) {
    return;
  }
  const bool in = (record->endpoint & kEndpointIn) != 0;
  if (record->type == 'S') {
    if (record->transferType == kUsbmonControl && record->setupFlag != kUsbmonPresent) {
      return;  // a control submission without its setup packet says nothing of the request
    }
    Urb* urb = assembler.Begin(record->id, record->transferType, frame, UsbAddress{record->bus, record->device});
    CapturedTransfer& transfer = urb->transfer;
    transfer.in = in;
    transfer.endpoint = record->endpoint;
    if (transfer.control) {
      transfer.setup = record->setup;
      transfer.asked = GetLe16(record->setup, 6);
    } else {
      transfer.asked = record->length;
    }
    if (!in) {
      transfer.sentLength = record->length;
      if (record->dataFlag == kUsbmonPresent) transfer.sent = record->data;
    }
    return;
  }
  if (record->type != 'C' && record->type != 'E') return;
  Urb* urb = assembler.Pending(record->id);
  if (urb == nullptr) return;
  CapturedTransfer& transfer = urb->transfer;
  transfer.status = record->status;
  transfer.end = UsbmonEnd(record->status);
  transfer.moved = record->type == 'C' ? record->length : 0;
  urb->movedGiven = true;
  if (in && record->dataFlag == kUsbmonPresent) transfer.received = record->data;
  assembler.Finish(record->id);
}

void FinishUsbPcap(Urb& urb, std::uint32_t status) {
  CapturedTransfer& transfer = urb.transfer;
  transfer.status = status;
  transfer.end = UsbPcapEnd(status);
  if (!urb.movedGiven) {
    // USBPcap gives no count for the way down: an OUT transfer that ended
    // well moved what was sent.
    transfer.moved = !transfer.in && transfer.end == CapturedEnd::Ok ? transfer.sentLength : 0;
    urb.movedGiven = true;
  }
}

void TakeUsbPcap(const CapturePacket& packet, std::uint64_t frame, Assembler& assembler) {
  const std::vector<std::uint8_t>& bytes = packet.bytes;
  if (bytes.size() < kUsbPcapHeaderSize) return;
  const std::uint16_t headerLength = GetLe16(bytes, 0);
  if (headerLength < kUsbPcapHeaderSize || headerLength > bytes.size()) return;
  const std::uint64_t id = GetLe64(bytes, 2);
  const std::uint32_t status = GetLe32(bytes, 10);
  const bool fromDevice = (bytes[16] & kUsbPcapFromDevice) != 0;
  const UsbAddress address{GetLe16(bytes, 17), static_cast<std::uint8_t>(GetLe16(bytes, 19))};
  const std::uint8_t endpoint = bytes[21];
  const std::uint8_t transferType = bytes[22];
  const std::uint32_t dataLength = GetLe32(bytes, 23);
  const std::size_t held = std::min<std::size_t>(bytes.size() - headerLength, dataLength);
  const std::vector<std::uint8_t> data(bytes.begin() + headerLength,
                                       bytes.begin() + static_cast<std::ptrdiff_t>(headerLength + held));

  if (transferType == kUsbPcapBulk) {
    if (!fromDevice) {
      Urb* urb = assembler.Begin(id, kUsbmonBulk, frame, address);
      urb->transfer.endpoint = endpoint;
      urb->transfer.in = (endpoint & kEndpointIn) != 0;
      if (!urb->transfer.in) {
        urb->transfer.sent = data;
        urb->transfer.sentLength = dataLength;
        urb->transfer.asked = dataLength;
      }
      return;
    }
    Urb* urb = assembler.Pending(id);
    if (urb == nullptr) return;
    if (urb->transfer.in) {
      urb->transfer.received = data;
      urb->transfer.moved = dataLength;
      urb->movedGiven = true;
    }
    FinishUsbPcap(*urb, status);
    assembler.Finish(id);
    return;
  }
  if (transferType != kUsbPcapControl || headerLength < kUsbPcapControlHeaderSize) return;
  const std::uint8_t stage = bytes[27];
  if (!fromDevice) {
    if (stage == kStageSetup) {
      if (data.size() < kSetupSize) return;
      Urb* urb = assembler.Begin(id, kUsbmonControl, frame, address);
      CapturedTransfer& transfer = urb->transfer;
      std::copy_n(data.begin(), kSetupSize, transfer.setup.begin());
      transfer.in = (transfer.setup[0] & kEndpointIn) != 0;
      transfer.endpoint = transfer.in ? kEndpointIn : 0;
      transfer.asked = SetupLength(transfer);
      if (!transfer.in) {
        transfer.sentLength = SetupLength(transfer);
        transfer.sent.assign(data.begin() + kSetupSize, data.end());  // data carried with the setup packet
      }
    } else if (stage == kStageData) {
      Urb* urb = assembler.Pending(id);
      if (urb != nullptr && !urb->transfer.in) {
        urb->transfer.sent.insert(urb->transfer.sent.end(), data.begin(), data.end());
      }
    }
    return;
  }
  Urb* urb = assembler.Pending(id);
  if (urb == nullptr) return;
  if ((stage == kStageData || stage == kStageComplete) && urb->transfer.in && dataLength > 0) {
    urb->transfer.received = data;
    urb->transfer.moved = dataLength;
    urb->movedGiven = true;
  }
  if (stage == kStageStatus || stage == kStageComplete) {
    if (urb->transfer.in && !urb->movedGiven) {
      urb->transfer.moved = 0;
      urb->movedGiven = true;
    }
    FinishUsbPcap(*urb, status);
    assembler.Finish(id);
  }
}

bool SameAddress(const UsbAddress& a, const UsbAddress& b) { return a.bus == b.bus && a.device == b.device; }

using AddressKey = std::pair<std::uint16_t, std::uint8_t>;

AddressKey KeyOf(const UsbAddress& address) { return {address.bus, address.device}; }

// A device descriptor read (GET_DESCRIPTOR, DEVICE) that came back whole
// enough to name the device.
std::optional<std::pair<std::uint16_t, std::uint16_t>> DescribedIdentity(const CapturedTransfer& transfer) {
  if (!transfer.control || SetupRequestType(transfer) != 0x80 || SetupRequest(transfer) != 6 ||
      (SetupValue(transfer) >> 8) != 1 || transfer.end != CapturedEnd::Ok || transfer.received.size() < 12 ||
      transfer.received[1] != 1) {
    return std::nullopt;
  }
  return std::make_pair(GetLe16(transfer.received, 8), GetLe16(transfer.received, 10));
}

bool IsVendorRequest(const CapturedTransfer& transfer) {
  return transfer.control && ((SetupRequestType(transfer) >> 5) & 0x03) == 2;
}

}  // namespace

std::uint8_t SetupRequestType(const CapturedTransfer& transfer) { return transfer.setup[0]; }
std::uint8_t SetupRequest(const CapturedTransfer& transfer) { return transfer.setup[1]; }
std::uint16_t SetupValue(const CapturedTransfer& transfer) { return GetLe16(transfer.setup, 2); }
std::uint16_t SetupIndex(const CapturedTransfer& transfer) { return GetLe16(transfer.setup, 4); }
std::uint16_t SetupLength(const CapturedTransfer& transfer) { return GetLe16(transfer.setup, 6); }

bool DecodeCapture(std::uint32_t linkType, const std::vector<CapturePacket>& packets, RecorderCapture& capture,
                   std::string& error) {
  if (linkType != kLinkTypeUsbLinuxMmapped && linkType != kLinkTypeUsbPcap) {
    error = "link type " + std::to_string(linkType) +
            " is not a USB capture this program reads (220, Linux usbmon; 249, USBPcap)";
    return false;
  }
  capture = RecorderCapture{};
  capture.linkType = linkType;
  capture.packets = packets.size();
  Assembler assembler;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    if (linkType == kLinkTypeUsbLinuxMmapped) {
      TakeUsbmon(packets[i], i + 1, assembler);
    } else {
      TakeUsbPcap(packets[i], i + 1, assembler);
    }
  }

  // Whose transfers: each device's identity as its descriptor reads, as the
  // capture goes; transfers to a device not (yet) described are decided
  // after, by whether it took vendor requests while undescribed.
  enum class Owner : std::uint8_t { Other, Recorder, Undecided };
  std::map<AddressKey, std::pair<std::uint16_t, std::uint16_t>> identities;
  std::set<AddressKey> vendorWhileUndescribed;
  std::vector<Owner> owners(assembler.urbs.size(), Owner::Other);
  for (std::size_t i = 0; i < assembler.urbs.size(); ++i) {
    const CapturedTransfer& transfer = assembler.urbs[i].transfer;
    if (const auto identity = DescribedIdentity(transfer)) {
      if (transfer.address.device != 0) identities[KeyOf(transfer.address)] = *identity;
      continue;
    }
    if (transfer.control && !IsVendorRequest(transfer)) continue;
    const auto known = identities.find(KeyOf(transfer.address));
    if (known != identities.end()) {
      owners[i] = known->second == std::make_pair(kRecorderVendorId, kRecorderProductId) ? Owner::Recorder : Owner::Other;
      continue;
    }
    owners[i] = Owner::Undecided;
    if (IsVendorRequest(transfer)) vendorWhileUndescribed.insert(KeyOf(transfer.address));
  }

  std::optional<UsbAddress> last;
  for (std::size_t i = 0; i < assembler.urbs.size(); ++i) {
    const CapturedTransfer& transfer = assembler.urbs[i].transfer;
    bool recorder = owners[i] == Owner::Recorder;
    if (owners[i] == Owner::Undecided && vendorWhileUndescribed.count(KeyOf(transfer.address)) != 0) {
      recorder = true;
      const bool listed = std::any_of(capture.assumed.begin(), capture.assumed.end(),
                                      [&](const UsbAddress& each) { return SameAddress(each, transfer.address); });
      if (!listed) capture.assumed.push_back(transfer.address);
    }
    if (!recorder) continue;
    if (last && !SameAddress(*last, transfer.address)) {
      CaptureEvent restart;
      restart.kind = CaptureEvent::Kind::Restart;
      restart.from = *last;
      restart.to = transfer.address;
      capture.events.push_back(restart);
    }
    last = transfer.address;
    CaptureEvent event;
    event.transfer = transfer;
    capture.events.push_back(std::move(event));
    ++capture.transfers;
  }
  return true;
}

}  // namespace k24
