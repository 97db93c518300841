// A capture's transfers in words, and how two transfers or two captures
// differ: for k24trace and for the replay of a capture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "trace/capture.h"

namespace k24 {

// At most `shown` bytes in hex, with how many there were when more:
// "02 01", "ff ff ff ... (64 bytes)".
std::string ShortBytes(std::span<const std::uint8_t> bytes, std::size_t shown = 16);

// "1.52": bus and device address, as Wireshark writes them.
std::string DescribeAddress(const UsbAddress& address);

// What was asked: "in  0xC6 GetFirmwareVersion value 0x0000 index 0x0000 length 2",
// "bulk out ep 0x02 length 16384"; with the data sent, in short, for OUT.
std::string DescribeRequest(const CapturedTransfer& transfer);
// How it ended: "ok, 2 bytes: 02 01", "stall", "cancelled (status -2)",
// "no completion in the capture".
std::string DescribeOutcome(const CapturedTransfer& transfer);

// What the two sides of a difference are called in its words.
struct DifferenceNames {
  const char* expected;
  const char* other;
};

// The first way in which `other` differs from `expected`, in words
// ("the data sent differs at byte 5: capture 0x9B, program 0xC1"); none when
// they are alike. Compared: control or bulk, direction, the setup packet, the
// length asked (where both captures give it) and the data sent; with
// `outcomes`, also how each ended, the bytes moved and the data received.
// Bulk endpoint numbers are not compared: the recorder has one bulk pipe each
// way, and a trace made through a driver that numbers pipes gives the pipe.
std::optional<std::string> TransferDifference(const CapturedTransfer& expected, const CapturedTransfer& other,
                                              bool outcomes, const DifferenceNames& names);

struct CaptureComparison {
  bool match = true;
  std::string text;  // the first difference with its position, or that they match
};

// Compares two captures' recorder transfers and restarts, event by event;
// timing, addresses and the host's enumeration of the recorder are not compared.
CaptureComparison CompareCaptures(const RecorderCapture& a, const RecorderCapture& b);

}  // namespace k24
