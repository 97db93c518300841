#include "trace/capture_text.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "recorder/requests.h"

namespace k24 {
namespace {

std::string Hex(std::uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string EndWords(CapturedEnd end) {
  switch (end) {
    case CapturedEnd::Ok: return "ok";
    case CapturedEnd::Stall: return "stall";
    case CapturedEnd::Cancelled: return "cancelled";
    case CapturedEnd::OtherError: return "failed";
    case CapturedEnd::NoCompletion: return "no completion in the capture";
  }
  return "?";
}

// The first index at which two byte strings differ over their common part.
std::optional<std::size_t> FirstDifference(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  const std::size_t common = std::min(a.size(), b.size());
  const auto at = std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(common), b.begin());
  if (at.first == a.begin() + static_cast<std::ptrdiff_t>(common)) return std::nullopt;
  return static_cast<std::size_t>(at.first - a.begin());
}

// "the data sent differs at byte 5: capture 0x9B, program 0xC1"
std::string ByteDifference(const char* what, std::size_t at, std::uint8_t expected, std::uint8_t other,
                           const DifferenceNames& names) {
  return std::string(what) + " differs at byte " + std::to_string(at) + ": " + names.expected + " " +
         Hex(expected, 2) + ", " + names.other + " " + Hex(other, 2);
}

std::string Numbered(const char* what, std::uint64_t expected, std::uint64_t other, const DifferenceNames& names) {
  return std::string(what) + " differs: " + names.expected + " " + std::to_string(expected) + ", " + names.other +
         " " + std::to_string(other);
}

std::string EventWords(const CaptureEvent& event) {
  if (event.kind == CaptureEvent::Kind::Restart) {
    return "a restart (" + DescribeAddress(event.from) + " -> " + DescribeAddress(event.to) + ")";
  }
  return "frame " + std::to_string(event.transfer.frame) + ": " + DescribeRequest(event.transfer) + " -> " +
         DescribeOutcome(event.transfer);
}

}  // namespace

std::string ShortBytes(std::span<const std::uint8_t> bytes, std::size_t shown) {
  std::string text;
  char pair[4];
  for (std::size_t i = 0; i < bytes.size() && i < shown; ++i) {
    std::snprintf(pair, sizeof pair, i == 0 ? "%02x" : " %02x", bytes[i]);
    text += pair;
  }
  if (bytes.size() > shown) text += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return text;
}

std::string DescribeAddress(const UsbAddress& address) {
  return std::to_string(address.bus) + "." + std::to_string(address.device);
}

std::string DescribeRequest(const CapturedTransfer& transfer) {
  std::string text;
  if (transfer.control) {
    const std::uint8_t requestType = SetupRequestType(transfer);
    text = (requestType & 0x80) != 0 ? "in  " : "out ";
    const std::uint8_t code = SetupRequest(transfer);
    text += Hex(code, 2);
    const bool vendor = ((requestType >> 5) & 0x03) == 2;
    const char* name = vendor ? RequestName(code) : nullptr;
    text += " ";
    text += name != nullptr ? name : (vendor ? "(not a request of the recorder's)" : "(standard request)");
    if (!vendor) text += " type " + Hex(requestType, 2);
    text += " value " + Hex(SetupValue(transfer), 4) + " index " + Hex(SetupIndex(transfer), 4) + " length " +
            std::to_string(SetupLength(transfer));
  } else {
    text = std::string("bulk ") + (transfer.in ? "in  " : "out ") + "ep " + Hex(transfer.endpoint, 2);
    text += " length " + (transfer.asked ? std::to_string(*transfer.asked) : std::string("(not in the capture)"));
  }
  if (!transfer.in && transfer.sentLength > 0) {
    text += ": " + ShortBytes(transfer.sent);
    if (transfer.sent.size() < transfer.sentLength) {
      text += " (the capture kept " + std::to_string(transfer.sent.size()) + " of " +
              std::to_string(transfer.sentLength) + " bytes)";
    }
  }
  return text;
}

std::string DescribeOutcome(const CapturedTransfer& transfer) {
  std::string text = EndWords(transfer.end);
  if (transfer.end == CapturedEnd::NoCompletion) return text;
  if (transfer.end != CapturedEnd::Ok) {
    // usbmon's statuses are negative errno values; USBPcap's are USBD
    // statuses, which read as hex (0xC0000004).
    text += " (status " +
            (transfer.status > 0xFFFF ? Hex(static_cast<std::uint64_t>(transfer.status), 8)
                                      : std::to_string(transfer.status)) +
            ")";
  }
  text += ", " + std::to_string(transfer.moved) + (transfer.moved == 1 ? " byte" : " bytes");
  if (transfer.in && !transfer.received.empty()) text += ": " + ShortBytes(transfer.received);
  return text;
}

std::optional<std::string> TransferDifference(const CapturedTransfer& expected, const CapturedTransfer& other,
                                              bool outcomes, const DifferenceNames& names) {
  if (expected.control != other.control || expected.in != other.in) {
    return std::string("the kind of transfer differs");
  }
  if (expected.control) {
    if (const auto at = FirstDifference(expected.setup, other.setup)) {
      return ByteDifference("the setup packet", *at, expected.setup[*at], other.setup[*at], names);
    }
  } else if (expected.asked && other.asked && *expected.asked != *other.asked) {
    return Numbered("the length asked", *expected.asked, *other.asked, names);
  }
  if (!expected.in) {
    if (expected.sentLength != other.sentLength) {
      return Numbered("the length of the data sent", expected.sentLength, other.sentLength, names);
    }
    if (const auto at = FirstDifference(expected.sent, other.sent)) {
      return ByteDifference("the data sent", *at, expected.sent[*at], other.sent[*at], names);
    }
  }
  if (!outcomes) return std::nullopt;
  if (expected.end != other.end || (expected.end == CapturedEnd::OtherError && expected.status != other.status)) {
    return "the outcome differs: " + std::string(names.expected) + " " + DescribeOutcome(expected) + "; " +
           names.other + " " + DescribeOutcome(other);
  }
  if (expected.moved != other.moved) {
    return Numbered("the count of bytes moved", expected.moved, other.moved, names);
  }
  if (expected.in) {
    if (const auto at = FirstDifference(expected.received, other.received)) {
      return ByteDifference("the data received", *at, expected.received[*at], other.received[*at], names);
    }
  }
  return std::nullopt;
}

CaptureComparison CompareCaptures(const RecorderCapture& a, const RecorderCapture& b) {
  CaptureComparison result;
  std::size_t transfer = 0;  // transfers passed, to name the position
  const std::size_t both = std::min(a.events.size(), b.events.size());
  for (std::size_t i = 0; i < both; ++i) {
    const CaptureEvent& first = a.events[i];
    const CaptureEvent& second = b.events[i];
    std::optional<std::string> difference;
    if (first.kind != second.kind) {
      difference = "one has a restart where the other has a transfer";
    } else if (first.kind == CaptureEvent::Kind::Transfer) {
      difference = TransferDifference(first.transfer, second.transfer, true, DifferenceNames{"A", "B"});
    }
    if (first.kind == CaptureEvent::Kind::Transfer) ++transfer;
    if (difference) {
      result.match = false;
      result.text = "the captures differ at " +
                    (first.kind == CaptureEvent::Kind::Transfer ? "transfer " + std::to_string(transfer)
                                                               : "the restart after transfer " + std::to_string(transfer)) +
                    ": " + *difference + "\n  A " + EventWords(first) + "\n  B " + EventWords(second) + "\n";
      return result;
    }
  }
  if (a.events.size() != b.events.size()) {
    const bool aLonger = a.events.size() > b.events.size();
    const RecorderCapture& longer = aLonger ? a : b;
    result.match = false;
    result.text = std::string("the captures differ after transfer ") + std::to_string(transfer) + ": " +
                  (aLonger ? "B" : "A") + " ends there, " + (aLonger ? "A" : "B") + " goes on with " +
                  EventWords(longer.events[both]) + "\n";
    return result;
  }
  result.text = "the captures match: " + std::to_string(a.transfers) + " transfers";
  const std::size_t restarts = a.events.size() - a.transfers;
  result.text += " and " + std::to_string(restarts) + (restarts == 1 ? " restart" : " restarts") + "\n";
  return result;
}

}  // namespace k24
