// The device link: finds the recorder among the driver's devices by its USB
// identifiers and carries vendor requests and bulk transfers to it.
//
// Every operation finds and opens the recorder afresh and closes it before it
// returns: the recorder restarts several times during one update and may come
// back under another name, so no handle or probe result is kept.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "link/clock.h"
#include "link/link_records.h"
#include "link/usb_driver.h"

namespace k24 {

inline constexpr std::uint32_t kBulkChunkLimit = 0x4000;  // 16,384 bytes per bulk transfer

// How long WaitForReenumeration waits for each of its two phases (the
// recorder leaving the bus, then coming back), and its pause between probes
// when the driver has no bus events and presence must be polled.
inline constexpr std::uint64_t kReenumerationPhaseLimitMs = 30'000;
inline constexpr std::uint32_t kPresencePollIntervalMs = 1;
// With bus events a wait sleeps until a device arrives or leaves; this tick
// only bounds each sleep, so a wait also re-tests presence now and then.
inline constexpr std::uint32_t kBusEventTickMs = 100;

// How a request ended. Callers mostly need only whether it succeeded (the
// result converts to bool); a few tell "no recorder found" from a request the
// recorder did not carry out.
enum class LinkStatus : std::uint8_t {
  Ok,
  NoRecorder,  // nothing answered to the recorder's identity: nothing was sent
  Failed,      // the driver reported failure
  ShortReply,  // the recorder answered with fewer bytes than asked
};

struct LinkResult {
  LinkStatus status = LinkStatus::Failed;
  // Bytes of the data stage the driver reports moved (a short reply's count).
  std::uint32_t transferred = 0;
  explicit operator bool() const { return status == LinkStatus::Ok; }
};

struct DeviceLink {
  UsbDriver* driver = nullptr;
  Clock* clock = nullptr;
  std::uint16_t targetVendorId = 0;
  std::uint16_t targetProductId = 0;
  // The recorder's arrivals and departures as they stood just before the
  // last request was sent (with bus events): a restart the recorder carries
  // out may take it off the bus and back before the wait for it begins.
  std::optional<PresenceCounts> countsBeforeRequest;
  // Whether the last probe found a device of the target identity that this
  // user may not use (and so found no recorder). The link only records it;
  // the dialogue tells the operator.
  bool lastProbeRefused = false;
};

void SetTargetDevice(DeviceLink& link, std::uint16_t vendorId, std::uint16_t productId);

// The probe. The caller owns the handle and closes it with the link's driver.
// Each probe sets link.lastProbeRefused.
std::optional<DriverHandle> OpenRecorder(DeviceLink& link);
bool IsRecorderPresent(DeviceLink& link);

// One vendor request; `data` is the data stage (its size is the request's
// length, at most 65,535). Without a recorder, NoRecorder and `data`
// untouched. A reply (direction in) shorter than `data` fails as ShortReply:
// the bytes it did not fill are no answer of the recorder's.
LinkResult SendVendorRequest(DeviceLink& link, std::uint8_t direction, std::uint8_t request,
                       std::uint16_t value, std::uint16_t index, std::span<std::uint8_t> data);

// One bulk transfer of at most kBulkChunkLimit bytes (a longer `data` is cut).
// Direction out uses the bulk write on `pipe`, direction in the bulk read.
bool BulkTransfer(DeviceLink& link, std::uint8_t direction, std::uint8_t pipe,
                  std::span<std::uint8_t> data, std::uint32_t& transferred);

// Whole-buffer loops on pipe 2 (read) and pipe 1 (write); they return the
// count of bytes moved and end early on a failed, empty or over-long transfer.
std::uint32_t BulkReadAll(DeviceLink& link, std::span<std::uint8_t> data);
std::uint32_t BulkWriteAll(DeviceLink& link, std::span<std::uint8_t> data);

// How a wait for the recorder to leave the bus and come back ended.
enum class Reenumeration : std::uint8_t {
  Returned,
  DidNotLeave,   // still on the bus when the first phase's bound passed
  DidNotReturn,  // gone, and not back when the second phase's bound passed
};

// Waits for the recorder to leave the bus and come back; each phase is
// bounded by kReenumerationPhaseLimitMs. With bus events a departure counts
// however short the absence was; without, presence is polled.
Reenumeration AwaitReenumeration(DeviceLink& link);
// The same, as a bool: true when the recorder came back.
bool WaitForReenumeration(DeviceLink& link);

// How long a wait for the recorder may sleep at a time: kBusEventTickMs when
// the driver wakes it on bus events, else the polling pause.
std::uint32_t PresenceWaitTickMs(DeviceLink& link);

}  // namespace k24
