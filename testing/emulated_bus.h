// The in-process front door to the recorder model: a UsbDriver with the EZ-USB
// driver's naming ("ezusb-0" to "ezusb-8", and a tenth slot the probe never
// tries), where recorders can sit under any names among other devices.
//
// One recorder is on the bus from the start (the model it is made with); more
// can be added, each its own model at its own place (RecorderBus: plugged in
// and unplugged at chosen moments). The bus tells places, as libusb does,
// only when `tellsPlaces` is on; otherwise, like the EZ-USB driver, it says
// nothing of where a device is.
//
// With `busEvents` on it also raises the recorders' arrivals and departures as
// events, as libusb's hotplug does: every change of a model's presence seen
// at a driver call is counted, at its place, and a wait for an event lets the
// recorders' absences run on (one presence probe's worth) and advances
// `eventClock` by the wait's time-out when nothing came.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/usb_driver.h"
#include "testing/recorder_model.h"

namespace k24::emulator {

// The USB identity the recorder shows on this bus, written out here on its
// own rather than taken from the host's constants.
inline constexpr std::uint16_t kModelVendorId = 0x10C4;
inline constexpr std::uint16_t kModelProductId = 0x4512;

// How long the driver waits for an answer before it reports a time-out, as
// the host's own driver does. A transfer the recorder does not answer costs
// this much of the recorder model's clock, when it has one.
inline constexpr std::uint32_t kModelDriverTimeLimitMs = 5000;

struct BusSlot {
  enum class Kind { Empty, OtherDevice, Recorder };
  Kind kind = Kind::Empty;
  std::uint16_t vendorId = 0;   // for OtherDevice
  std::uint16_t productId = 0;  // for OtherDevice
  bool descriptorFails = false;
  bool mayNotUse = false;  // this user may not use it (no write access to its node)
  std::size_t recorder = 0;  // for Recorder: its index on the RecorderBus
};

class EmulatedBus final : public UsbDriver {
 public:
  static constexpr std::size_t kSlots = 10;
  static constexpr const char* kFirstPlace = "1-1";

  // `model` is the first recorder, at place kFirstPlace under ezusb-0.
  explicit EmulatedBus(RecorderModel& model);

  // Puts the first recorder under ezusb-N (the default is ezusb-0).
  void PlaceRecorder(std::size_t slot);
  void PlaceOtherDevice(std::size_t slot, std::uint16_t vendorId, std::uint16_t productId);
  // Puts another recorder under ezusb-N at `place`; returns its index on the
  // RecorderBus (to give it moments).
  std::size_t AddRecorder(std::size_t slot, RecorderModel& model, std::string place);
  RecorderBus& Recorders() { return recorders_; }

  std::vector<std::string> DeviceNames() override;
  std::optional<DriverHandle> Open(const std::string& name) override;
  void Close(DriverHandle handle) override;
  bool MayUse(DriverHandle handle) override;
  bool TellsPlaces() override { return tellsPlaces; }
  std::optional<std::string> PlaceOf(DriverHandle handle) override;
  std::optional<std::string> ProductString(DriverHandle handle) override;
  bool SawUnservedDevice(std::uint16_t vendorId, std::uint16_t productId, const std::string& place) override;
  bool GetDeviceDescriptor(DriverHandle handle, std::span<std::uint8_t, 18> descriptor) override;
  DriverStatus VendorRequest(DriverHandle handle, std::span<const std::uint8_t, 10> record,
                             std::span<std::uint8_t> data, std::uint32_t& transferred) override;
  DriverStatus BulkRead(DriverHandle handle, std::span<const std::uint8_t, 4> pipe, std::span<std::uint8_t> data,
                        std::uint32_t& transferred) override;
  DriverStatus BulkWrite(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                         std::span<const std::uint8_t> data, std::uint32_t& transferred) override;
  std::optional<PresenceCounts> PresenceEvents(std::uint16_t vendorId, std::uint16_t productId,
                                               const std::string& place) override;
  bool WaitForBusEvent(std::uint32_t timeoutMs) override;
  std::vector<int> EventDescriptors() override;

  // The model of the recorder behind a handle, or none (another device).
  RecorderModel* ModelBehind(DriverHandle handle);

  std::array<BusSlot, kSlots> slots;
  std::vector<std::string> events;  // "open ezusb-0", "close ezusb-0", in order
  int openHandles = 0;              // handles opened and not yet closed
  int probes = 0;                   // DeviceNames() calls
  std::vector<std::string> mayUseAsked;  // names MayUse was asked about, in order
  // From this probe on (DeviceNames call, 1-based) a slot's mayNotUse no
  // longer holds, as when udev gives the access late; 0: never.
  int mayUseFromProbe = 0;
  bool recordEvents = true;
  bool tellsPlaces = false;
  // Recorders the system lists but no driver of this bus serves (as Windows
  // lists one without WinUSB), at these places ("" where none is told):
  // never named, never opened, only told of.
  std::vector<std::string> unservedPlaces;

  bool busEvents = false;
  Clock* eventClock = nullptr;
  PresenceCounts recorderEvents;  // counted while busEvents is on, at every place
  std::map<std::string, PresenceCounts> recorderEventsAt;  // ... and by place
  int eventWaits = 0;
  std::vector<int> eventDescriptors;  // what EventDescriptors hands out

 private:
  bool IsRecorderHandle(DriverHandle handle) const;
  // A recorder's outcome as the driver reports it; a transfer without an
  // answer waits out the driver's time limit on that recorder's clock.
  static DriverStatus Reported(const RecorderModel& model, Outcome outcome);
  // Counts each change of a model's presence since the last look; true when there was one.
  bool NoteChange();
  RecorderBus recorders_;
  std::vector<bool> lastSeenOnBus_;
};

}  // namespace k24::emulator
