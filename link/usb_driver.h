// The port beneath the device link: the services of the vendor USB driver that
// the updater needs, and nothing more. One backend per platform implements it
// (libusb on Linux); the tests put the recorder emulator behind it.
//
// The calls mirror the driver's own interface: the link hands over the driver's
// records as bytes (a 10-byte vendor request record, a 4-byte pipe record) and
// each backend reads them with the parsers in link_records.h.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace k24 {

using DriverHandle = std::uint32_t;

class UsbDriver {
 public:
  virtual ~UsbDriver() = default;

  // The device names to probe, in the order the probe tries them.
  virtual std::vector<std::string> DeviceNames() = 0;
  // Opens a device by name for writing; none when nothing answers to the name.
  virtual std::optional<DriverHandle> Open(const std::string& name) = 0;
  virtual void Close(DriverHandle handle) = 0;

  // Fills the 18-byte standard device descriptor; false when the query failed.
  virtual bool GetDeviceDescriptor(DriverHandle handle, std::span<std::uint8_t, 18> descriptor) = 0;
  // Issues the vendor request described by a VendorRequestRecord; `data` is the
  // data stage (sent or filled according to the record's direction), possibly
  // empty. `transferred` receives the driver's count of data-stage bytes moved.
  // True when the driver reports success.
  virtual bool VendorRequest(DriverHandle handle, std::span<const std::uint8_t, 10> record,
                             std::span<std::uint8_t> data, std::uint32_t& transferred) = 0;
  // Bulk transfers on the pipe named by a BulkPipeRecord. `transferred` receives
  // the driver's count of bytes moved. True when the driver reports success.
  virtual bool BulkRead(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                        std::span<std::uint8_t> data, std::uint32_t& transferred) = 0;
  virtual bool BulkWrite(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                         std::span<const std::uint8_t> data, std::uint32_t& transferred) = 0;
};

}  // namespace k24
