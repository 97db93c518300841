#include "trace/tracing_driver.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "common/byte_order.h"
#include "link/link_records.h"

namespace k24 {
namespace {

// The bus of a backend that cannot tell its devices' addresses.
constexpr std::uint16_t kUnknownBus = 1;
// USB device addresses run from 1 to 127.
constexpr std::uint8_t kHighestAddress = 127;

// A completion's status for how the driver said the transfer ended.
std::int32_t UsbmonStatus(DriverStatus status) {
  switch (status) {
    case DriverStatus::Ok: return 0;
    case DriverStatus::TimedOut: return kUsbmonUnlinked;
    case DriverStatus::Failed: break;
  }
  return kUsbmonStall;
}

}  // namespace

std::uint64_t SystemTraceMicroseconds() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

TracingDriver::TracingDriver(UsbDriver& inner, CaptureSink& sink,
                             std::function<void(const std::string& reason)> onFailure, TraceClock clock)
    : inner_(inner), sink_(sink), onFailure_(std::move(onFailure)), clock_(std::move(clock)) {}

std::vector<std::string> TracingDriver::DeviceNames() {
  // A whole probe that met no device of the traced identity: it was off the bus.
  if (probing_ && !probeSawTraced_) {
    absentSinceLastTransfer_ = true;
  }
  probing_ = true;
  probeSawTraced_ = false;
  return inner_.DeviceNames();
}

std::optional<DriverHandle> TracingDriver::Open(const std::string& name) { return inner_.Open(name); }

void TracingDriver::Close(DriverHandle handle) {
  identities_.erase(handle);
  inner_.Close(handle);
}

bool TracingDriver::MayUse(DriverHandle handle) { return inner_.MayUse(handle); }

bool TracingDriver::GetDeviceDescriptor(DriverHandle handle, std::span<std::uint8_t, 18> descriptor) {
  const bool answered = inner_.GetDeviceDescriptor(handle, descriptor);
  if (answered) {
    const Identity identity{GetLe16(descriptor, kDescriptorVendorOffset), GetLe16(descriptor, kDescriptorProductOffset)};
    identities_[handle] = identity;
    if (!traced_ || *traced_ == identity) {
      probeSawTraced_ = true;
    }
  }
  return answered;
}

UsbAddress TracingDriver::TracedAddress(DriverHandle handle) {
  if (const std::optional<UsbAddress> address = inner_.AddressOf(handle)) {
    return *address;
  }
  const auto known = identities_.find(handle);
  if (!traced_ && known != identities_.end()) {
    traced_ = known->second;
  }
  if (appearance_ == 0) {
    appearance_ = 1;
  } else if (absentSinceLastTransfer_) {
    appearance_ = appearance_ == kHighestAddress ? 1 : static_cast<std::uint8_t>(appearance_ + 1);
  }
  absentSinceLastTransfer_ = false;
  return UsbAddress{kUnknownBus, appearance_};
}

std::uint8_t TracingDriver::BulkEndpoint(DriverHandle handle, std::uint32_t pipe, bool in) {
  if (const std::optional<std::uint8_t> endpoint = inner_.PipeEndpoint(handle, pipe)) {
    return *endpoint;
  }
  const auto number = static_cast<std::uint8_t>(pipe & 0x0F);
  return in ? static_cast<std::uint8_t>(number | kEndpointIn) : number;
}

void TracingDriver::Put(UsbmonRecord& record) {
  if (!tracing_) {
    return;
  }
  const std::uint64_t now = clock_();
  record.seconds = static_cast<std::int64_t>(now / 1'000'000);
  record.microseconds = static_cast<std::int32_t>(now % 1'000'000);
  const std::vector<std::uint8_t> bytes = BuildUsbmonRecord(record);
  std::vector<std::uint8_t> piece;
  piece.reserve(kPcapFileHeaderSize + kPcapRecordHeaderSize + bytes.size());
  if (!headerWritten_) {
    const auto header = PcapFileHeader(kLinkTypeUsbLinuxMmapped, kTraceSnapshotLength);
    piece.insert(piece.end(), header.begin(), header.end());
  }
  const auto length = static_cast<std::uint32_t>(bytes.size());
  const auto recordHeader = PcapRecordHeader(static_cast<std::uint32_t>(record.seconds),
                                             static_cast<std::uint32_t>(record.microseconds), length, length);
  piece.insert(piece.end(), recordHeader.begin(), recordHeader.end());
  piece.insert(piece.end(), bytes.begin(), bytes.end());
  std::string reason;
  if (!sink_.Write(piece, reason)) {
    tracing_ = false;
    if (onFailure_) {
      onFailure_(reason);
    }
    return;
  }
  headerWritten_ = true;
}

DriverStatus TracingDriver::VendorRequest(DriverHandle handle, std::span<const std::uint8_t, 10> record,
                                          std::span<std::uint8_t> data, std::uint32_t& transferred) {
  if (!tracing_) {
    return inner_.VendorRequest(handle, record, data, transferred);
  }
  const k24::VendorRequest fields = ParseVendorRequestRecord(record);
  const bool in = fields.direction == kDirectionIn;
  const UsbAddress address = TracedAddress(handle);
  const auto length = static_cast<std::uint16_t>(std::min<std::size_t>(data.size(), 0xFFFF));

  UsbmonRecord submit;
  submit.id = nextId_++;
  submit.type = 'S';
  submit.transferType = kUsbmonControl;
  submit.endpoint = in ? kEndpointIn : 0;
  submit.device = address.device;
  submit.bus = address.bus;
  submit.setupFlag = kUsbmonPresent;
  // bmRequestType: direction, type (vendor), recipient (device), as the
  // driver puts them on the bus.
  submit.setup[0] = static_cast<std::uint8_t>((in ? 0x80 : 0x00) | (fields.requestType & 0x03) << 5 |
                                              (fields.recipient & 0x1F));
  submit.setup[1] = fields.request;
  PutLe16(submit.setup, 2, fields.value);
  PutLe16(submit.setup, 4, fields.index);
  PutLe16(submit.setup, 6, length);
  submit.status = kUsbmonInProgress;
  submit.length = length;
  submit.transferFlags = in ? kUsbmonFlagDirectionIn : 0;
  if (in) {
    submit.dataFlag = kUsbmonDataIncoming;
  } else {
    submit.data.assign(data.begin(), data.begin() + length);
  }
  Put(submit);

  const DriverStatus status = inner_.VendorRequest(handle, record, data, transferred);

  UsbmonRecord complete = submit;
  complete.type = 'C';
  complete.setupFlag = kUsbmonSetupNotRelevant;
  complete.setup = {};
  complete.status = UsbmonStatus(status);
  complete.length = std::min<std::uint32_t>(transferred, length);
  complete.data.clear();
  if (in) {
    complete.dataFlag = kUsbmonPresent;
    complete.data.assign(data.begin(), data.begin() + complete.length);
  } else {
    complete.dataFlag = kUsbmonDataOutgoing;
  }
  Put(complete);
  return status;
}

DriverStatus TracingDriver::BulkRead(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                                     std::span<std::uint8_t> data, std::uint32_t& transferred) {
  if (!tracing_) {
    return inner_.BulkRead(handle, pipe, data, transferred);
  }
  UsbmonRecord submit;
  submit.id = nextId_++;
  submit.type = 'S';
  submit.transferType = kUsbmonBulk;
  const UsbAddress address = TracedAddress(handle);
  submit.endpoint = BulkEndpoint(handle, ParseBulkPipeRecord(pipe), true);
  submit.device = address.device;
  submit.bus = address.bus;
  submit.dataFlag = kUsbmonDataIncoming;
  submit.status = kUsbmonInProgress;
  submit.length = static_cast<std::uint32_t>(data.size());
  submit.transferFlags = kUsbmonFlagDirectionIn;
  Put(submit);

  const DriverStatus status = inner_.BulkRead(handle, pipe, data, transferred);

  UsbmonRecord complete = submit;
  complete.type = 'C';
  complete.dataFlag = kUsbmonPresent;
  complete.status = UsbmonStatus(status);
  complete.length = static_cast<std::uint32_t>(std::min<std::size_t>(transferred, data.size()));
  complete.data.assign(data.begin(), data.begin() + complete.length);
  Put(complete);
  return status;
}

DriverStatus TracingDriver::BulkWrite(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                                      std::span<const std::uint8_t> data, std::uint32_t& transferred) {
  if (!tracing_) {
    return inner_.BulkWrite(handle, pipe, data, transferred);
  }
  UsbmonRecord submit;
  submit.id = nextId_++;
  submit.type = 'S';
  submit.transferType = kUsbmonBulk;
  const UsbAddress address = TracedAddress(handle);
  submit.endpoint = BulkEndpoint(handle, ParseBulkPipeRecord(pipe), false);
  submit.device = address.device;
  submit.bus = address.bus;
  submit.dataFlag = kUsbmonPresent;
  submit.status = kUsbmonInProgress;
  submit.length = static_cast<std::uint32_t>(data.size());
  submit.data.assign(data.begin(), data.end());
  Put(submit);

  const DriverStatus status = inner_.BulkWrite(handle, pipe, data, transferred);

  UsbmonRecord complete = submit;
  complete.type = 'C';
  complete.dataFlag = kUsbmonDataOutgoing;
  complete.status = UsbmonStatus(status);
  complete.length = static_cast<std::uint32_t>(std::min<std::size_t>(transferred, data.size()));
  complete.data.clear();
  Put(complete);
  return status;
}

std::optional<UsbAddress> TracingDriver::AddressOf(DriverHandle handle) { return inner_.AddressOf(handle); }

std::optional<std::uint8_t> TracingDriver::PipeEndpoint(DriverHandle handle, std::uint32_t pipe) {
  return inner_.PipeEndpoint(handle, pipe);
}

bool TracingDriver::TellsPlaces() { return inner_.TellsPlaces(); }

std::optional<std::string> TracingDriver::PlaceOf(DriverHandle handle) { return inner_.PlaceOf(handle); }

std::optional<std::string> TracingDriver::ProductString(DriverHandle handle) { return inner_.ProductString(handle); }

bool TracingDriver::SawUnservedDevice(std::uint16_t vendorId, std::uint16_t productId, const std::string& place) {
  return inner_.SawUnservedDevice(vendorId, productId, place);
}

std::optional<PresenceCounts> TracingDriver::PresenceEvents(std::uint16_t vendorId, std::uint16_t productId,
                                                            const std::string& place) {
  return inner_.PresenceEvents(vendorId, productId, place);
}

bool TracingDriver::WaitForBusEvent(std::uint32_t timeoutMs) { return inner_.WaitForBusEvent(timeoutMs); }

std::vector<int> TracingDriver::EventDescriptors() { return inner_.EventDescriptors(); }

}  // namespace k24
