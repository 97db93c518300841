// A trace of every transfer: a driver that stands in front of the platform's
// driver, hands every call on to it unchanged, and writes each vendor request
// and bulk transfer into a capture that Wireshark opens (pcap, link type 220:
// Linux usbmon's records), as it happens.
//
// Each transfer is two records: its submission, written before the transfer
// is handed on, and its completion, written once it is back; each is handed to
// the sink whole as it is made, so a program that ends however it ends leaves
// every transfer before that point in the capture.
//
// What is recorded: the vendor requests (setup packet, the data sent or
// received, how many bytes moved, whether the driver reported success) and
// the bulk transfers (endpoint, data, bytes moved, success). Left out: the
// probes (device lists, opens) and the device descriptor reads, which the
// link makes before every transfer and which libusb answers from its cache
// without a transfer on the bus, and the product string that a build with
// sample images reads before it writes (a standard request, which is no
// request of the recorder's). Places are handed on as the backend tells them.
//
// A transfer the driver reports as timed out is written as usbmon shows the
// transfer libusb cancels at its time limit: unlinked (status -ECONNRESET);
// every other failure as a stall (-EPIPE), the port telling no other cause.
// A backend that cannot tell
// the device's bus and address (the EZ-USB driver) is traced on bus 1, with
// device numbers counting the recorder's appearances (1, then 2 after it was
// seen to leave the bus and come back, ...), so a restart shows as a new
// address as it does on the bus; one that cannot tell the endpoint of a pipe
// is traced with the pipe's number as the endpoint number (1 out, 0x82 in).
//
// A capture that cannot be written (the file cannot be made, a write fails)
// is reported once, through `onFailure`, and the run goes on untraced: the
// driver's answers never depend on the trace.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "link/usb_driver.h"
#include "trace/pcap_file.h"
#include "trace/usbmon_record.h"

namespace k24 {

// Microseconds since 1970 (UTC), for the records' timestamps.
using TraceClock = std::function<std::uint64_t()>;
std::uint64_t SystemTraceMicroseconds();

class TracingDriver final : public UsbDriver {
 public:
  TracingDriver(UsbDriver& inner, CaptureSink& sink, std::function<void(const std::string& reason)> onFailure,
                TraceClock clock = SystemTraceMicroseconds);

  std::vector<std::string> DeviceNames() override;
  std::optional<DriverHandle> Open(const std::string& name) override;
  void Close(DriverHandle handle) override;
  bool MayUse(DriverHandle handle) override;
  bool GetDeviceDescriptor(DriverHandle handle, std::span<std::uint8_t, 18> descriptor) override;
  DriverStatus VendorRequest(DriverHandle handle, std::span<const std::uint8_t, 10> record,
                             std::span<std::uint8_t> data, std::uint32_t& transferred) override;
  DriverStatus BulkRead(DriverHandle handle, std::span<const std::uint8_t, 4> pipe, std::span<std::uint8_t> data,
                        std::uint32_t& transferred) override;
  DriverStatus BulkWrite(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                         std::span<const std::uint8_t> data, std::uint32_t& transferred) override;
  std::optional<UsbAddress> AddressOf(DriverHandle handle) override;
  std::optional<std::uint8_t> PipeEndpoint(DriverHandle handle, std::uint32_t pipe) override;
  bool TellsPlaces() override;
  std::optional<std::string> PlaceOf(DriverHandle handle) override;
  std::optional<std::string> ProductString(DriverHandle handle) override;
  bool SawUnservedDevice(std::uint16_t vendorId, std::uint16_t productId, const std::string& place) override;
  std::optional<PresenceCounts> PresenceEvents(std::uint16_t vendorId, std::uint16_t productId,
                                               const std::string& place) override;
  bool WaitForBusEvent(std::uint32_t timeoutMs) override;
  std::vector<int> EventDescriptors() override;

  // Whether records still go to the sink (false once it failed).
  bool Tracing() const { return tracing_; }

 private:
  struct Identity {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    bool operator==(const Identity&) const = default;
  };

  // The bus and address the records of a transfer on `handle` carry.
  UsbAddress TracedAddress(DriverHandle handle);
  std::uint8_t BulkEndpoint(DriverHandle handle, std::uint32_t pipe, bool in);
  // Stamps and writes one record; false (tracing off) when the sink failed.
  void Put(UsbmonRecord& record);

  UsbDriver& inner_;
  CaptureSink& sink_;
  std::function<void(const std::string&)> onFailure_;
  TraceClock clock_;
  bool tracing_ = true;
  bool headerWritten_ = false;
  std::uint64_t nextId_ = 1;

  // For backends that cannot tell addresses: the identity of the device
  // traced, whether a whole probe went by without it, and how many times it
  // has appeared.
  std::map<DriverHandle, Identity> identities_;
  std::optional<Identity> traced_;
  bool probing_ = false;
  bool probeSawTraced_ = false;
  bool absentSinceLastTransfer_ = false;
  std::uint8_t appearance_ = 0;
};

}  // namespace k24
