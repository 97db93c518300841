// The device link: finds the recorder among the driver's devices by its USB
// identifiers and carries vendor requests and bulk transfers to it.
//
// Every operation finds and opens the recorder afresh and closes it before it
// returns: the recorder restarts several times during one update and may come
// back under another name, so no handle or probe result is kept.
//
// What is kept is which recorder the link works with (its choice). Until the
// dialogue has found the recorder, only a recorder that is alone on the bus
// answers: with two or more connected, none does, and nothing is sent. Once
// found, the link keeps to its place (where it is plugged in, which a restart
// does not change): every later operation, and both waits for it to restart,
// see only a recorder at that place, and a recorder elsewhere that arrives or
// leaves counts for nothing. A recorder back at that place is the same one.
// Where the driver tells no places (EZ-USB), the link keeps to the recorder
// alone on the bus, and an operation that finds more than one fails.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

// How a request or a bulk transfer ended. Callers mostly need only whether it
// succeeded (the result converts to bool); some tell "no recorder found" or
// "no answer at all" from a request the recorder did not carry out.
enum class LinkStatus : std::uint8_t {
  Ok,
  NoRecorder,  // nothing answered to the recorder's identity: nothing was sent
  Failed,      // the driver reported failure (refused, stalled, gone)
  TimedOut,    // the recorder gave no answer within the driver's time limit
  // A reply shorter than the caller reads. The link never says so itself: it
  // reports the count, and the request catalogue (recorder/requests.h) judges
  // it where the reply's bytes are read.
  ShortReply,
  NotAlone,    // more than one recorder, none of them known by its place: nothing was sent
};

// Which recorder the link works with.
struct RecorderChoice {
  enum class Kind : std::uint8_t {
    Alone,  // the recorder that is alone on the bus; with others there, none
    Place,  // the recorder at `where`, a place; recorders elsewhere are not seen
    Name,   // the device named `where`: for a listing, where the driver tells no places
  };
  Kind kind = Kind::Alone;
  std::string where;
};

struct LinkResult {
  LinkStatus status = LinkStatus::Failed;
  // Bytes the driver reports moved: of a request's data stage, or of a bulk
  // transfer (for the whole-buffer loops, of the whole buffer).
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
  // user may not use, or found none but the driver saw one that no driver it
  // uses serves (and so found no recorder). The link only records it; the
  // dialogue tells the operator.
  bool lastProbeRefused = false;
  RecorderChoice choice;
  // The recorders of the target identity the last probe saw (those the
  // choice lets it see), by place in the order found; "" where the driver
  // tells none.
  std::vector<std::string> lastProbePlaces;
};

// A recorder on the bus, as a listing finds it.
struct RecorderOnBus {
  std::string name;                  // the driver's name for it now
  std::optional<std::string> place;  // none where the driver tells none
  bool mayUse = false;               // this user may open it
};

void SetTargetDevice(DeviceLink& link, std::uint16_t vendorId, std::uint16_t productId);

// From now on the link works with the recorder at `place` alone.
void ChooseRecorderAt(DeviceLink& link, std::string place);
// The connection's last look: true when exactly one recorder the link may
// see is there and may be used. The link then keeps to it: to its place, or,
// where the driver tells none, to the recorder alone on the bus.
bool KeepToTheRecorderFound(DeviceLink& link);
// Every recorder of the target identity on the bus, whatever the link's
// choice, in the driver's order; the choice is left as it was. Sets
// link.lastProbeRefused when the driver saw one that no driver it uses serves
// (and that is therefore not among them).
std::vector<RecorderOnBus> FindRecorders(DeviceLink& link);
// Makes the link work with a recorder FindRecorders found: by its place, or
// by its name where it has none (only for as long as nothing re-enumerates).
void ChooseFoundRecorder(DeviceLink& link, const RecorderOnBus& recorder);

// The chosen recorder's product string descriptor; none when there is no
// recorder, it has none, or the driver cannot read it.
std::optional<std::string> ReadProductString(DeviceLink& link);

// The probe. The caller owns the handle and closes it with the link's driver.
// Each probe sets link.lastProbeRefused.
std::optional<DriverHandle> OpenRecorder(DeviceLink& link);
bool IsRecorderPresent(DeviceLink& link);

// One vendor request; `data` is the data stage (its size is the request's
// length, at most 65,535). Without a recorder, NoRecorder and `data`
// untouched; NotAlone, likewise, where recorders cannot be told apart. A
// reply (direction in) shorter than `data` succeeds here with its count in
// `transferred`, the rest of `data` as the caller set it: whether that is an
// answer depends on the request (recorder/requests.h). A count beyond `data`
// is no reply at all and fails.
LinkResult SendVendorRequest(DeviceLink& link, std::uint8_t direction, std::uint8_t request,
                             std::uint16_t value, std::uint16_t index, std::span<std::uint8_t> data);

// One bulk transfer of at most kBulkChunkLimit bytes (a longer `data` is cut).
// Direction out uses the bulk write on `pipe`, direction in the bulk read.
// `transferred` is the driver's count, also of a failed transfer. Without a
// recorder, NoRecorder (NotAlone where recorders cannot be told apart).
LinkResult BulkTransfer(DeviceLink& link, std::uint8_t direction, std::uint8_t pipe, std::span<std::uint8_t> data);

// Whole-buffer loops on pipe 2 (read) and pipe 1 (write). `transferred` is
// the count of bytes moved; Ok when that is the whole buffer, else the end of
// the transfer that stopped the loop: its failure (TimedOut when the
// recorder gave no answer), or Failed for an empty or over-long transfer.
LinkResult BulkReadAll(DeviceLink& link, std::span<std::uint8_t> data);
LinkResult BulkWriteAll(DeviceLink& link, std::span<std::uint8_t> data);

// How a wait for the recorder to leave the bus and come back ended.
enum class Reenumeration : std::uint8_t {
  Returned,
  DidNotLeave,   // still on the bus when the first phase's bound passed
  DidNotReturn,  // gone, and not back when the second phase's bound passed
  NotAlone,      // more than one recorder seen, none known by its place: the wait ends there
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
