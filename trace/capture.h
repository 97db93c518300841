// What a capture shows of the recorder: the vendor requests and bulk
// transfers to and from it, in the order they were submitted, with the
// recorder's restarts between them. Read from the packets of a capture of
// either kind Wireshark writes for USB:
//  - Linux usbmon (link type 220): one record for a transfer's submission,
//    one for its completion, with the same id (usbmon_record.h);
//  - Windows USBPcap (link type 249): a 27-byte header (little-endian: header
//    length, IRP id (64 bits), USBD status, URB function, info (bit 0: on the
//    way back from the device), bus, device address, endpoint, transfer type,
//    data length), a control transfer's stage byte after it, then the data.
//    A control transfer is a SETUP packet (the 8-byte setup packet) and, for
//    OUT data, a DATA packet on the way down; on the way back a DATA packet
//    with IN data and a STATUS (or COMPLETE) packet with the status.
//
// Which device is the recorder: one whose device descriptor the capture
// shows with 10c4:4512 (as it does after every restart, when the host reads
// it), and a device whose descriptor the capture does not show (it was
// plugged in before the capture started) that receives vendor requests. A
// restart is the recorder's transfers moving to another bus address: a USB
// device that leaves the bus and comes back gets a new one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/usb_driver.h"

namespace k24 {

inline constexpr std::uint32_t kLinkTypeUsbPcap = 249;

// How a transfer ended, as far as both kinds of capture can say it alike.
enum class CapturedEnd : std::uint8_t {
  Ok,
  Stall,         // the device stalled (usbmon -EPIPE; USBPcap STALL_PID, ENDPOINT_HALTED)
  Cancelled,     // cancelled, as a time-out is (usbmon -ENOENT, -ECONNRESET, -ETIMEDOUT; USBPcap CANCELED, TIMEOUT)
  OtherError,    // any other failure (the status says which)
  NoCompletion,  // the capture ends before the transfer came back
};

struct CapturedTransfer {
  bool control = true;  // else bulk
  bool in = false;      // direction: recorder to host
  std::array<std::uint8_t, 8> setup{};  // control only
  std::uint8_t endpoint = 0;            // bulk: its address (bit 7: in)
  // Bytes asked for: the setup packet's length, or a bulk transfer's as
  // submitted; none where the capture does not say (USBPcap's bulk IN).
  std::optional<std::uint32_t> asked;
  std::vector<std::uint8_t> sent;    // OUT data as far as the capture kept it
  std::uint32_t sentLength = 0;      // OUT bytes submitted (more than `sent` when cut)
  std::vector<std::uint8_t> received;  // IN data as far as the capture kept it
  std::uint32_t moved = 0;             // bytes the completion says moved
  CapturedEnd end = CapturedEnd::NoCompletion;
  std::int64_t status = 0;  // the capture's own status: usbmon's errno (-32), USBPcap's USBD status (0xC0000004)
  UsbAddress address;
  std::uint64_t frame = 0;  // the submission's packet, numbered from 1 as Wireshark does
};

// A control transfer's fields, from its setup packet.
std::uint8_t SetupRequestType(const CapturedTransfer& transfer);
std::uint8_t SetupRequest(const CapturedTransfer& transfer);
std::uint16_t SetupValue(const CapturedTransfer& transfer);
std::uint16_t SetupIndex(const CapturedTransfer& transfer);
std::uint16_t SetupLength(const CapturedTransfer& transfer);

struct CaptureEvent {
  enum class Kind : std::uint8_t { Transfer, Restart };
  Kind kind = Kind::Transfer;
  CapturedTransfer transfer;  // a transfer
  UsbAddress from;            // a restart: the address left
  UsbAddress to;              // and the one it came back under
};

struct CapturePacket {
  std::vector<std::uint8_t> bytes;  // as kept in the file
  std::uint32_t wireLength = 0;     // as it was (more when the capture cut it)
};

struct RecorderCapture {
  std::uint32_t linkType = 0;
  std::size_t packets = 0;
  std::vector<CaptureEvent> events;
  std::size_t transfers = 0;  // events that are transfers
  // Addresses taken for the recorder without its descriptor in the capture.
  std::vector<UsbAddress> assumed;
};

// Decodes the packets of a capture of link type 220 or 249; false, with why,
// for any other link type. Packets of other devices, other transfer types and
// what cannot be read as a record are passed over.
bool DecodeCapture(std::uint32_t linkType, const std::vector<CapturePacket>& packets, RecorderCapture& capture,
                   std::string& error);

}  // namespace k24
