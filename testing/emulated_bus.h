// The in-process front door to the recorder model: a UsbDriver with the EZ-USB
// driver's naming ("ezusb-0" to "ezusb-8", and a tenth slot the probe never
// tries), where the recorder can sit under any name among other devices.
//
// With `busEvents` on it also raises the recorder's arrivals and departures as
// events, as libusb's hotplug does: every change of the model's presence seen
// at a driver call is counted, and a wait for an event lets the recorder's
// absence run on (one presence probe's worth) and advances `eventClock` by the
// wait's time-out when nothing came.
#pragma once

#include <array>
#include <cstdint>
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

struct BusSlot {
  enum class Kind { Empty, OtherDevice, Recorder };
  Kind kind = Kind::Empty;
  std::uint16_t vendorId = 0;   // for OtherDevice
  std::uint16_t productId = 0;  // for OtherDevice
  bool descriptorFails = false;
  bool mayNotUse = false;  // this user may not use it (no write access to its node)
};

class EmulatedBus final : public UsbDriver {
 public:
  static constexpr std::size_t kSlots = 10;

  explicit EmulatedBus(RecorderModel& model);

  // Puts the recorder under ezusb-N (the default is ezusb-0).
  void PlaceRecorder(std::size_t slot);
  void PlaceOtherDevice(std::size_t slot, std::uint16_t vendorId, std::uint16_t productId);

  std::vector<std::string> DeviceNames() override;
  std::optional<DriverHandle> Open(const std::string& name) override;
  void Close(DriverHandle handle) override;
  bool MayUse(DriverHandle handle) override;
  bool GetDeviceDescriptor(DriverHandle handle, std::span<std::uint8_t, 18> descriptor) override;
  bool VendorRequest(DriverHandle handle, std::span<const std::uint8_t, 10> record,
                     std::span<std::uint8_t> data, std::uint32_t& transferred) override;
  bool BulkRead(DriverHandle handle, std::span<const std::uint8_t, 4> pipe, std::span<std::uint8_t> data,
                std::uint32_t& transferred) override;
  bool BulkWrite(DriverHandle handle, std::span<const std::uint8_t, 4> pipe, std::span<const std::uint8_t> data,
                 std::uint32_t& transferred) override;
  std::optional<PresenceCounts> PresenceEvents(std::uint16_t vendorId, std::uint16_t productId) override;
  bool WaitForBusEvent(std::uint32_t timeoutMs) override;
  std::vector<int> EventDescriptors() override;

  std::array<BusSlot, kSlots> slots;
  std::vector<std::string> events;  // "open ezusb-0", "close ezusb-0", in order
  int openHandles = 0;              // handles opened and not yet closed
  int probes = 0;                   // DeviceNames() calls
  std::vector<std::string> mayUseAsked;  // names MayUse was asked about, in order
  // From this probe on (DeviceNames call, 1-based) a slot's mayNotUse no
  // longer holds, as when udev gives the access late; 0: never.
  int mayUseFromProbe = 0;
  bool recordEvents = true;

  bool busEvents = false;
  Clock* eventClock = nullptr;
  PresenceCounts recorderEvents;  // counted while busEvents is on
  int eventWaits = 0;
  std::vector<int> eventDescriptors;  // what EventDescriptors hands out

 private:
  bool IsRecorderHandle(DriverHandle handle) const;
  // Counts a change of the model's presence since the last look; true when there was one.
  bool NoteChange();
  RecorderModel& model_;
  bool lastSeenOnBus_ = true;
};

}  // namespace k24::emulator
