// One record of a Linux usbmon capture (LINKTYPE_USB_LINUX_MMAPPED, link type
// 220): usbmon's 64-byte header and the data that follows it, built and read
// byte by byte, little-endian (the byte order of the traces this program
// writes; libpcap hands a capture from a big-endian machine over swapped).
//
// Each transfer is two records with the same id: the submission ('S'), and
// the completion ('C') with its status. Header layout (offsets in bytes):
//   0 id (64 bits)          8 type 'S'/'C'/'E'     9 transfer type (2 control, 3 bulk)
//  10 endpoint (bit 7: in) 11 device address      12 bus number (16 bits)
//  14 setup flag (0: the setup packet is there)   15 data flag (0: data follows)
//  16 seconds (64 bits)    24 microseconds        28 status (0, -EPIPE, ...)
//  32 length (asked on submission, moved on completion)
//  36 captured length (bytes of data after the header)
//  40 setup packet (8 bytes) 48 interval          52 start frame
//  56 transfer flags       60 isochronous descriptors; 64 the data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace k24 {

inline constexpr std::uint32_t kLinkTypeUsbLinuxMmapped = 220;
inline constexpr std::size_t kUsbmonHeaderSize = 64;

inline constexpr std::uint8_t kUsbmonControl = 2;
inline constexpr std::uint8_t kUsbmonBulk = 3;
inline constexpr std::uint8_t kEndpointIn = 0x80;

// The flags usbmon writes: the setup packet is "not relevant" on every record
// but a control submission; data "not present" because it goes the other way.
inline constexpr std::uint8_t kUsbmonPresent = 0;
inline constexpr std::uint8_t kUsbmonSetupNotRelevant = '-';
inline constexpr std::uint8_t kUsbmonDataIncoming = '<';  // an IN submission: the data comes later
inline constexpr std::uint8_t kUsbmonDataOutgoing = '>';  // an OUT completion: the data went before

// Statuses as Linux writes them (negative errno values).
inline constexpr std::int32_t kUsbmonInProgress = -115;  // -EINPROGRESS, every submission
inline constexpr std::int32_t kUsbmonStall = -32;        // -EPIPE, the device stalled the endpoint
// -ECONNRESET: the URB was unlinked before it completed, as usbfs does with a
// transfer that libusb cancels when its time limit has passed.
inline constexpr std::int32_t kUsbmonUnlinked = -104;

// Linux's URB_DIR_IN among the transfer flags.
inline constexpr std::uint32_t kUsbmonFlagDirectionIn = 0x200;

struct UsbmonRecord {
  std::uint64_t id = 0;
  std::uint8_t type = 'S';
  std::uint8_t transferType = kUsbmonControl;
  std::uint8_t endpoint = 0;
  std::uint8_t device = 0;
  std::uint16_t bus = 0;
  std::uint8_t setupFlag = kUsbmonSetupNotRelevant;
  std::uint8_t dataFlag = kUsbmonPresent;
  std::int64_t seconds = 0;
  std::int32_t microseconds = 0;
  std::int32_t status = 0;
  std::uint32_t length = 0;
  std::array<std::uint8_t, 8> setup{};
  std::int32_t interval = 0;
  std::int32_t startFrame = 0;
  std::uint32_t transferFlags = 0;
  std::uint32_t isoDescriptors = 0;
  // The bytes after the header; the captured length is their count.
  std::vector<std::uint8_t> data;
  // Set when reading: the captured length the header gives, which a record
  // cut short by the capture's snapshot length exceeds `data`.
  std::uint32_t capturedLength = 0;
};

// The record's bytes: the header, then the data.
std::vector<std::uint8_t> BuildUsbmonRecord(const UsbmonRecord& record);

// Reads a record; none when the packet is shorter than the header. The data
// is what the packet holds after the header, at most the captured length.
std::optional<UsbmonRecord> ParseUsbmonRecord(std::span<const std::uint8_t> packet);

}  // namespace k24
