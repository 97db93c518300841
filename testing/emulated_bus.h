// The in-process front door to the recorder model: a UsbDriver with the EZ-USB
// driver's naming ("ezusb-0" to "ezusb-8", and a tenth slot the probe never
// tries), where the recorder can sit under any name among other devices.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

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
  bool GetDeviceDescriptor(DriverHandle handle, std::span<std::uint8_t, 18> descriptor) override;
  bool VendorRequest(DriverHandle handle, std::span<const std::uint8_t, 10> record,
                     std::span<std::uint8_t> data, std::uint32_t& transferred) override;
  bool BulkRead(DriverHandle handle, std::span<const std::uint8_t, 4> pipe, std::span<std::uint8_t> data,
                std::uint32_t& transferred) override;
  bool BulkWrite(DriverHandle handle, std::span<const std::uint8_t, 4> pipe, std::span<const std::uint8_t> data,
                 std::uint32_t& transferred) override;

  std::array<BusSlot, kSlots> slots;
  std::vector<std::string> events;  // "open ezusb-0", "close ezusb-0", in order
  int openHandles = 0;              // handles opened and not yet closed
  int probes = 0;                   // DeviceNames() calls
  bool recordEvents = true;

 private:
  bool IsRecorderHandle(DriverHandle handle) const;
  RecorderModel& model_;
};

}  // namespace k24::emulator
