// The port beneath the device link: the services of the vendor USB driver that
// the updater needs, and nothing more. One backend per platform implements it
// (libusb on Linux); the tests put the recorder emulator behind it.
//
// The calls mirror the driver's own interface: the link hands over the driver's
// records as bytes (a 10-byte vendor request record, a 4-byte pipe record) and
// each backend reads them with the parsers in link_records.h.
//
// Bus events are optional. A backend that hears of arrivals and departures
// from the system (libusb's hotplug on Linux) keeps its device table from
// them and counts them; one that cannot (the EZ-USB driver) lists its devices
// on every probe and leaves the event calls at their defaults, and the link
// and the dialogue then poll as before.
//
// Places are optional too. A backend that knows where a device is plugged in
// (libusb: the bus number and the port chain) tells it, and counts its events
// by place; one whose names say nothing of it (the EZ-USB driver's ezusb-N,
// which may change when the device re-enumerates) tells none, and the link
// then works only with a recorder that is alone on the bus.
//
// Devices that the system lists but no driver of the backend serves are
// optional as well: a backend that can see them (WinUSB, through SetupAPI)
// says so, and the dialogue tells the operator how to bind a driver.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace k24 {

using DriverHandle = std::uint32_t;

// Where a device sits on the bus: its bus number and the address the bus gave
// it (a device that restarts comes back under a new address).
struct UsbAddress {
  std::uint16_t bus = 0;
  std::uint8_t device = 0;
};

// How a transfer the driver was asked to carry ended. A time-out (the
// recorder gave no answer at all within the driver's time limit) is told
// apart from the other failures: a recorder that stops answering would
// otherwise cost that limit on every request that follows.
enum class DriverStatus : std::uint8_t {
  Ok,        // the driver reports success
  Failed,    // refused, stalled, gone, or any other failure the driver reports
  TimedOut,  // no answer within the driver's time limit
};

// Arrivals and departures of devices of one identity seen so far.
struct PresenceCounts {
  std::uint64_t arrivals = 0;
  std::uint64_t departures = 0;
};

class UsbDriver {
 public:
  virtual ~UsbDriver() = default;

  // The device names to probe, in the order the probe tries them.
  virtual std::vector<std::string> DeviceNames() = 0;
  // Opens a device by name for writing; none when nothing answers to the name.
  virtual std::optional<DriverHandle> Open(const std::string& name) = 0;
  virtual void Close(DriverHandle handle) = 0;
  // Whether this user may use the device behind the handle for transfers. A
  // backend whose Open already says so (the EZ-USB driver opens for writing)
  // keeps the default; one that checks it apart is asked only for the device
  // the probe chose, so no other device costs a system call.
  virtual bool MayUse(DriverHandle /*handle*/) { return true; }

  // Whether this backend tells where its devices are plugged in.
  virtual bool TellsPlaces() { return false; }
  // Where the device behind the handle is plugged in, which stays the same
  // when it re-enumerates on the same port: the bus number, a dash and the
  // port chain from the root hub, dot-separated, as the kernel and dfu-util
  // write it ("3-1.4"; the device address is no part of it), or on Windows
  // the device's location path ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)").
  // None when the backend cannot tell.
  virtual std::optional<std::string> PlaceOf(DriverHandle /*handle*/) { return std::nullopt; }
  // The device's product string descriptor (English), in ASCII; none when the
  // device has none, the query failed, or the backend cannot ask.
  virtual std::optional<std::string> ProductString(DriverHandle /*handle*/) { return std::nullopt; }

  // Whether the last DeviceNames met a device of this identity at `place`
  // (anywhere when it is empty) that the system lists but this backend
  // cannot reach, because no driver is bound to it or one this backend does
  // not use (Windows: neither WinUSB nor the EZ-USB driver). Such a device
  // has no name here and is never opened; the operator can only be told how
  // to bind a driver to it. A backend that reaches every device keeps the
  // default.
  virtual bool SawUnservedDevice(std::uint16_t /*vendorId*/, std::uint16_t /*productId*/,
                                 const std::string& /*place*/) {
    return false;
  }

  // Fills the 18-byte standard device descriptor; false when the query failed.
  virtual bool GetDeviceDescriptor(DriverHandle handle, std::span<std::uint8_t, 18> descriptor) = 0;
  // Issues the vendor request described by a VendorRequestRecord; `data` is the
  // data stage (sent or filled according to the record's direction), possibly
  // empty. `transferred` receives the driver's count of data-stage bytes moved.
  virtual DriverStatus VendorRequest(DriverHandle handle, std::span<const std::uint8_t, 10> record,
                                     std::span<std::uint8_t> data, std::uint32_t& transferred) = 0;
  // Bulk transfers on the pipe named by a BulkPipeRecord. `transferred` receives
  // the driver's count of bytes moved (a time-out may have moved some).
  virtual DriverStatus BulkRead(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                                std::span<std::uint8_t> data, std::uint32_t& transferred) = 0;
  virtual DriverStatus BulkWrite(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                                 std::span<const std::uint8_t> data, std::uint32_t& transferred) = 0;

  // The device's bus and address, for a trace of its transfers; none when the
  // backend cannot tell (the EZ-USB driver knows its devices by name only).
  virtual std::optional<UsbAddress> AddressOf(DriverHandle /*handle*/) { return std::nullopt; }
  // The endpoint address (bit 7 set for IN) that the device's bulk pipe of the
  // driver's numbering (1 out, 2 in) is, for a trace; none when the backend
  // cannot tell.
  virtual std::optional<std::uint8_t> PipeEndpoint(DriverHandle /*handle*/, std::uint32_t /*pipe*/) {
    return std::nullopt;
  }

  // Counts of arrivals and departures of devices with this identity at
  // `place` (anywhere when it is empty), taken from bus events; none when the
  // backend has no events.
  virtual std::optional<PresenceCounts> PresenceEvents(std::uint16_t /*vendorId*/, std::uint16_t /*productId*/,
                                                       const std::string& /*place*/) {
    return std::nullopt;
  }
  // Sleeps until a device arrives or leaves or `timeoutMs` pass, and takes in
  // what came. False at once when the backend has no events.
  virtual bool WaitForBusEvent(std::uint32_t /*timeoutMs*/) { return false; }
  // POSIX descriptors that turn readable when bus events wait to be taken in
  // (the next port call takes them), for a wait that watches other things
  // too (the console's keys); empty when the backend has no events.
  virtual std::vector<int> EventDescriptors() { return {}; }
};

}  // namespace k24
