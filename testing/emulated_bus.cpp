#include "testing/emulated_bus.h"

#include <string_view>

namespace k24::emulator {
namespace {

// The driver's side of its records, read here on its own (not with the
// link's parsers), so that a layout mistake on the host side shows.
constexpr std::uint32_t kPipeOut = 1;
constexpr std::uint32_t kPipeIn = 2;
// The driver exposes nine names; the tenth slot exists but is never listed.
constexpr std::size_t kListedNames = 9;

std::string SlotName(std::size_t slot) { return "ezusb-" + std::to_string(slot); }

std::uint16_t Le16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::uint32_t Pipe(std::span<const std::uint8_t, 4> record) {
  return static_cast<std::uint32_t>(record[0]) | static_cast<std::uint32_t>(record[1]) << 8 |
         static_cast<std::uint32_t>(record[2]) << 16 | static_cast<std::uint32_t>(record[3]) << 24;
}

}  // namespace

EmulatedBus::EmulatedBus(RecorderModel& model) {
  emulator::AddRecorder(recorders_, model, kFirstPlace);
  lastSeenOnBus_.push_back(model.onBus);
  PlaceRecorder(0);
}

std::size_t EmulatedBus::AddRecorder(std::size_t slot, RecorderModel& model, std::string place) {
  const std::size_t which = emulator::AddRecorder(recorders_, model, std::move(place));
  lastSeenOnBus_.push_back(model.onBus);
  slots.at(slot) = BusSlot{BusSlot::Kind::Recorder, 0, 0, false, false, which};
  return which;
}

bool EmulatedBus::NoteChange() {
  bool changed = false;
  for (std::size_t i = 0; i < recorders_.recorders.size(); ++i) {
    const BusRecorder& recorder = recorders_.recorders[i];
    const bool onBus = recorder.model->onBus;
    if (onBus == lastSeenOnBus_[i]) continue;
    lastSeenOnBus_[i] = onBus;
    changed = true;
    if (busEvents) {
      ++(onBus ? recorderEvents.arrivals : recorderEvents.departures);
      PresenceCounts& at = recorderEventsAt[recorder.place];
      ++(onBus ? at.arrivals : at.departures);
    }
  }
  return changed;
}

std::optional<PresenceCounts> EmulatedBus::PresenceEvents(std::uint16_t vendorId, std::uint16_t productId,
                                                          const std::string& place) {
  if (!busEvents) return std::nullopt;
  NoteChange();
  if (vendorId != kModelVendorId || productId != kModelProductId) return PresenceCounts{};
  if (place.empty()) return recorderEvents;
  const auto it = recorderEventsAt.find(place);
  return it == recorderEventsAt.end() ? PresenceCounts{} : it->second;
}

bool EmulatedBus::WaitForBusEvent(std::uint32_t timeoutMs) {
  if (!busEvents) return false;
  ++eventWaits;
  bool changed = NoteChange();
  NoteBusProbe(recorders_);
  changed = NoteChange() || changed;
  if (changed) return true;
  if (eventClock != nullptr) eventClock->SleepMs(timeoutMs);
  return false;
}

std::vector<int> EmulatedBus::EventDescriptors() { return busEvents ? eventDescriptors : std::vector<int>{}; }

void EmulatedBus::PlaceRecorder(std::size_t slot) {
  for (BusSlot& each : slots) {
    if (each.kind == BusSlot::Kind::Recorder && each.recorder == 0) each = BusSlot{};
  }
  slots.at(slot) = BusSlot{BusSlot::Kind::Recorder, 0, 0, false, false, 0};
}

void EmulatedBus::PlaceOtherDevice(std::size_t slot, std::uint16_t vendorId, std::uint16_t productId) {
  slots.at(slot) = BusSlot{BusSlot::Kind::OtherDevice, vendorId, productId, false, false, 0};
}

std::vector<std::string> EmulatedBus::DeviceNames() {
  ++probes;
  NoteChange();
  NoteBusProbe(recorders_);
  NoteChange();
  std::vector<std::string> names;
  for (std::size_t slot = 0; slot < kListedNames; ++slot) names.push_back(SlotName(slot));
  return names;
}

std::optional<DriverHandle> EmulatedBus::Open(const std::string& name) {
  // "ezusb-N": one digit after the prefix, as the driver names them.
  const std::string_view prefix = "ezusb-";
  if (name.size() != prefix.size() + 1 || name.compare(0, prefix.size(), prefix) != 0 || name.back() < '0' ||
      name.back() > '9') {
    return std::nullopt;
  }
  const auto slot = static_cast<std::size_t>(name.back() - '0');
  const BusSlot& entry = slots[slot];
  if (entry.kind == BusSlot::Kind::Empty) return std::nullopt;
  if (entry.kind == BusSlot::Kind::Recorder && !recorders_.recorders.at(entry.recorder).model->onBus) {
    return std::nullopt;
  }
  ++openHandles;
  if (recordEvents) events.push_back("open " + name);
  return static_cast<DriverHandle>(slot + 1);
}

void EmulatedBus::Close(DriverHandle handle) {
  --openHandles;
  if (recordEvents) events.push_back("close " + SlotName(handle - 1));
}

bool EmulatedBus::MayUse(DriverHandle handle) {
  mayUseAsked.push_back(SlotName(handle - 1));
  if (mayUseFromProbe > 0 && probes >= mayUseFromProbe) return true;
  return !slots.at(handle - 1).mayNotUse;
}

bool EmulatedBus::IsRecorderHandle(DriverHandle handle) const {
  return handle >= 1 && handle <= kSlots && slots[handle - 1].kind == BusSlot::Kind::Recorder;
}

RecorderModel* EmulatedBus::ModelBehind(DriverHandle handle) {
  if (!IsRecorderHandle(handle)) return nullptr;
  return recorders_.recorders.at(slots[handle - 1].recorder).model;
}

std::optional<std::string> EmulatedBus::PlaceOf(DriverHandle handle) {
  if (!tellsPlaces || !IsRecorderHandle(handle)) return std::nullopt;
  return recorders_.recorders.at(slots[handle - 1].recorder).place;
}

std::optional<std::string> EmulatedBus::ProductString(DriverHandle handle) {
  RecorderModel* model = ModelBehind(handle);
  if (model == nullptr || !model->onBus) return std::nullopt;
  const std::vector<std::uint8_t> descriptor = ReadStringDescriptor(*model, kModelProductStringIndex, kModelLanguageId);
  if (descriptor.size() < 2) return std::nullopt;
  std::string text;
  for (std::size_t at = 2; at + 1 < descriptor.size(); at += 2) text.push_back(static_cast<char>(descriptor[at]));
  return text;
}

bool EmulatedBus::SawUnservedDevice(std::uint16_t vendorId, std::uint16_t productId, const std::string& place) {
  if (vendorId != kModelVendorId || productId != kModelProductId) return false;
  for (const std::string& at : unservedPlaces) {
    if (place.empty() || at == place) return true;
  }
  return false;
}

bool EmulatedBus::GetDeviceDescriptor(DriverHandle handle, std::span<std::uint8_t, 18> descriptor) {
  const BusSlot& entry = slots.at(handle - 1);
  if (entry.descriptorFails) return false;
  const bool recorder = entry.kind == BusSlot::Kind::Recorder;
  if (recorder && !recorders_.recorders.at(entry.recorder).model->onBus) return false;
  descriptor[0] = 18;  // bLength
  descriptor[1] = 1;   // DEVICE
  const std::uint16_t vendorId = recorder ? kModelVendorId : entry.vendorId;
  const std::uint16_t productId = recorder ? kModelProductId : entry.productId;
  descriptor[8] = static_cast<std::uint8_t>(vendorId & 0xFF);  // idVendor, little-endian
  descriptor[9] = static_cast<std::uint8_t>(vendorId >> 8);
  descriptor[10] = static_cast<std::uint8_t>(productId & 0xFF);  // idProduct
  descriptor[11] = static_cast<std::uint8_t>(productId >> 8);
  descriptor[15] = recorder ? kModelProductStringIndex : 0;  // iProduct
  return true;
}

DriverStatus EmulatedBus::Reported(const RecorderModel& model, Outcome outcome) {
  switch (outcome) {
    case Outcome::Ok:
      return DriverStatus::Ok;
    case Outcome::NoAnswer:
      if (model.clock != nullptr) model.clock->SleepMs(kModelDriverTimeLimitMs);
      return DriverStatus::TimedOut;
    case Outcome::Failed:
      break;
  }
  return DriverStatus::Failed;
}

DriverStatus EmulatedBus::VendorRequest(DriverHandle handle, std::span<const std::uint8_t, 10> record,
                                        std::span<std::uint8_t> data, std::uint32_t& transferred) {
  transferred = 0;
  if (!IsRecorderHandle(handle)) return DriverStatus::Failed;
  // direction, type 2 (vendor), recipient 0 (device), 0, request, 0, value, index
  if (record[1] != 2 || record[2] != 0 || record[3] != 0 || record[5] != 0) return DriverStatus::Failed;
  NoteChange();
  const std::size_t which = slots[handle - 1].recorder;
  const Outcome outcome = HandleControlAt(recorders_, which, record[0], record[4], Le16(record, 6),
                                          Le16(record, 8), data, transferred);
  NoteChange();  // a restart leaves the bus as it answers
  return Reported(*recorders_.recorders.at(which).model, outcome);
}

DriverStatus EmulatedBus::BulkRead(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                                   std::span<std::uint8_t> data, std::uint32_t& transferred) {
  transferred = 0;
  if (!IsRecorderHandle(handle) || Pipe(pipe) != kPipeIn) return DriverStatus::Failed;
  const std::size_t which = slots[handle - 1].recorder;
  return Reported(*recorders_.recorders.at(which).model, HandleBulkInAt(recorders_, which, data, transferred));
}

DriverStatus EmulatedBus::BulkWrite(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                                    std::span<const std::uint8_t> data, std::uint32_t& transferred) {
  transferred = 0;
  if (!IsRecorderHandle(handle) || Pipe(pipe) != kPipeOut) return DriverStatus::Failed;
  const std::size_t which = slots[handle - 1].recorder;
  return Reported(*recorders_.recorders.at(which).model, HandleBulkOutAt(recorders_, which, data, transferred));
}

}  // namespace k24::emulator
