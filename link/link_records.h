// The driver's records, built and read byte by byte (little-endian).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace k24 {

// Direction codes, for vendor requests and bulk transfers alike.
inline constexpr std::uint8_t kDirectionOut = 0;  // host to recorder
inline constexpr std::uint8_t kDirectionIn = 1;   // recorder to host

// Bulk pipes as the driver numbers them.
inline constexpr std::uint8_t kPipeBulkOut = 1;
inline constexpr std::uint8_t kPipeBulkIn = 2;

inline constexpr std::size_t kVendorRequestRecordSize = 10;
inline constexpr std::size_t kBulkPipeRecordSize = 4;
inline constexpr std::size_t kDeviceDescriptorSize = 18;
inline constexpr std::size_t kDescriptorVendorOffset = 8;
inline constexpr std::size_t kDescriptorProductOffset = 10;
inline constexpr std::size_t kDescriptorProductStringOffset = 15;  // iProduct

// String descriptors: the language asked for (English, United States), and
// the type byte that begins each one.
inline constexpr std::uint16_t kLanguageEnglishUs = 0x0409;
inline constexpr std::uint8_t kStringDescriptorType = 3;

// The driver's VENDOR_OR_CLASS_REQUEST_CONTROL.
struct VendorRequest {
  std::uint8_t direction = kDirectionIn;
  std::uint8_t requestType = 2;  // vendor
  std::uint8_t recipient = 0;    // device
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
};

using VendorRequestRecord = std::array<std::uint8_t, kVendorRequestRecordSize>;
using BulkPipeRecord = std::array<std::uint8_t, kBulkPipeRecordSize>;

VendorRequestRecord BuildVendorRequestRecord(const VendorRequest& request);
VendorRequest ParseVendorRequestRecord(std::span<const std::uint8_t, kVendorRequestRecordSize> record);

BulkPipeRecord BuildBulkPipeRecord(std::uint32_t pipe);
std::uint32_t ParseBulkPipeRecord(std::span<const std::uint8_t, kBulkPipeRecordSize> record);

// The driver's GET_STRING_DESCRIPTOR_IN: the string's index, one byte of
// alignment, the language ID (little-endian).
inline constexpr std::size_t kStringDescriptorRecordSize = 4;
using StringDescriptorRecord = std::array<std::uint8_t, kStringDescriptorRecordSize>;
StringDescriptorRecord BuildStringDescriptorRecord(std::uint8_t index, std::uint16_t languageId);

// The text of a string descriptor as a device sends it (bLength, type 3,
// UTF-16LE), in ASCII ('?' for any other character); none when it is no
// string descriptor or longer than what came.
std::optional<std::string> StringDescriptorText(std::span<const std::uint8_t> descriptor);

// bmRequestType of the setup packet the driver puts on the bus for a vendor
// request to the device: 0xC0 for direction in, 0x40 for direction out.
std::uint8_t SetupRequestType(std::uint8_t direction);

}  // namespace k24
