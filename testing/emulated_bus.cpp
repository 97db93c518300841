#include "testing/emulated_bus.h"

#include "common/byte_order.h"
#include "link/link_records.h"

namespace k24::testing {
namespace {

constexpr std::uint16_t kModelVendorId = 0x10C4;
constexpr std::uint16_t kModelProductId = 0x4512;

std::string SlotName(std::size_t slot) { return "ezusb-" + std::to_string(slot); }

}  // namespace

EmulatedBus::EmulatedBus(RecorderModel& model) : model_(model) { PlaceRecorder(0); }

void EmulatedBus::PlaceRecorder(std::size_t slot) {
  for (BusSlot& each : slots) {
    if (each.kind == BusSlot::Kind::Recorder) each = BusSlot{};
  }
  slots.at(slot) = BusSlot{BusSlot::Kind::Recorder, 0, 0, false};
}

void EmulatedBus::PlaceOtherDevice(std::size_t slot, std::uint16_t vendorId, std::uint16_t productId) {
  slots.at(slot) = BusSlot{BusSlot::Kind::OtherDevice, vendorId, productId, false};
}

std::vector<std::string> EmulatedBus::DeviceNames() {
  ++probes;
  NoteProbe(model_);
  return EzusbDeviceNames();
}

std::optional<DriverHandle> EmulatedBus::Open(const std::string& name) {
  for (std::size_t slot = 0; slot < kSlots; ++slot) {
    if (SlotName(slot) != name) continue;
    const BusSlot& entry = slots[slot];
    if (entry.kind == BusSlot::Kind::Empty) return std::nullopt;
    if (entry.kind == BusSlot::Kind::Recorder && !model_.onBus) return std::nullopt;
    ++openHandles;
    if (recordEvents) events.push_back("open " + name);
    return static_cast<DriverHandle>(slot + 1);
  }
  return std::nullopt;
}

void EmulatedBus::Close(DriverHandle handle) {
  --openHandles;
  if (recordEvents) events.push_back("close " + SlotName(handle - 1));
}

bool EmulatedBus::IsRecorderHandle(DriverHandle handle) const {
  return handle >= 1 && handle <= kSlots && slots[handle - 1].kind == BusSlot::Kind::Recorder;
}

bool EmulatedBus::GetDeviceDescriptor(DriverHandle handle, std::span<std::uint8_t, 18> descriptor) {
  const BusSlot& entry = slots.at(handle - 1);
  if (entry.descriptorFails) return false;
  if (entry.kind == BusSlot::Kind::Recorder && !model_.onBus) return false;
  descriptor[0] = 18;  // bLength
  descriptor[1] = 1;   // DEVICE
  const bool recorder = entry.kind == BusSlot::Kind::Recorder;
  PutLe16(descriptor, kDescriptorVendorOffset, recorder ? kModelVendorId : entry.vendorId);
  PutLe16(descriptor, kDescriptorProductOffset, recorder ? kModelProductId : entry.productId);
  return true;
}

bool EmulatedBus::VendorRequest(DriverHandle handle, std::span<const std::uint8_t, 10> record,
                                std::span<std::uint8_t> data) {
  if (!IsRecorderHandle(handle)) return false;
  const k24::VendorRequest request = ParseVendorRequestRecord(record);
  if (request.requestType != 2 || request.recipient != 0 || record[3] != 0 || record[5] != 0) return false;
  return HandleControl(model_, request.direction, request.request, request.value, request.index, data);
}

bool EmulatedBus::BulkRead(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                           std::span<std::uint8_t> data, std::uint32_t& transferred) {
  if (!IsRecorderHandle(handle) || ParseBulkPipeRecord(pipe) != kPipeBulkIn) return false;
  return HandleBulkIn(model_, data, transferred);
}

bool EmulatedBus::BulkWrite(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                            std::span<const std::uint8_t> data, std::uint32_t& transferred) {
  if (!IsRecorderHandle(handle) || ParseBulkPipeRecord(pipe) != kPipeBulkOut) return false;
  return HandleBulkOut(model_, data, transferred);
}

}  // namespace k24::testing
