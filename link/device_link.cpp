#include "link/device_link.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "common/byte_order.h"

namespace k24 {

void SetTargetDevice(DeviceLink& link, std::uint16_t vendorId, std::uint16_t productId) {
  link.targetVendorId = vendorId;
  link.targetProductId = productId;
}

namespace {

// Whether the device behind `handle` carries the target identity.
bool IsTarget(DeviceLink& link, DriverHandle handle) {
  std::array<std::uint8_t, kDeviceDescriptorSize> descriptor{};
  // Cleared before the query, so a query that returns nothing never matches.
  PutLe16(descriptor, kDescriptorVendorOffset, 0);
  PutLe16(descriptor, kDescriptorProductOffset, 0);
  return link.driver->GetDeviceDescriptor(handle, descriptor) &&
         GetLe16(descriptor, kDescriptorVendorOffset) == link.targetVendorId &&
         GetLe16(descriptor, kDescriptorProductOffset) == link.targetProductId;
}

// The place whose events the waits count: the chosen one, or anywhere.
std::string EventPlace(const DeviceLink& link) {
  return link.choice.kind == RecorderChoice::Kind::Place ? link.choice.where : std::string();
}

// The driver's counts of the target's arrivals and departures at that place,
// where it has bus events.
std::optional<PresenceCounts> PresenceCountsAt(DeviceLink& link) {
  return link.driver->PresenceEvents(link.targetVendorId, link.targetProductId, EventPlace(link));
}

// Why a probe gave no recorder to work with: none, or more than one that
// cannot be told apart.
LinkStatus NoRecorderStatus(const DeviceLink& link) {
  return link.lastProbePlaces.size() > 1 ? LinkStatus::NotAlone : LinkStatus::NoRecorder;
}

}  // namespace

void ChooseRecorderAt(DeviceLink& link, std::string place) {
  link.choice = RecorderChoice{RecorderChoice::Kind::Place, std::move(place)};
  link.countsBeforeRequest.reset();
}

std::optional<DriverHandle> OpenRecorder(DeviceLink& link) {
  // Every name is looked at, not only up to the first recorder: a second one
  // must be seen to be told apart, or refused where it cannot be.
  link.lastProbePlaces.clear();
  link.lastProbeRefused = false;
  std::optional<DriverHandle> found;
  for (const std::string& name : link.driver->DeviceNames()) {
    if (link.choice.kind == RecorderChoice::Kind::Name && name != link.choice.where) {
      continue;
    }
    const std::optional<DriverHandle> handle = link.driver->Open(name);
    if (!handle) {
      continue;
    }
    // The place first: a device elsewhere is not even asked for its
    // descriptor (WinUSB would have to open it for that).
    const std::optional<std::string> place = link.driver->PlaceOf(*handle);
    if (link.choice.kind == RecorderChoice::Kind::Place && place != link.choice.where) {
      link.driver->Close(*handle);  // another device: not seen at all
      continue;
    }
    if (!IsTarget(link, *handle)) {
      link.driver->Close(*handle);
      continue;
    }
    link.lastProbePlaces.push_back(place.value_or(""));
    if (found) {
      link.driver->Close(*handle);
    } else {
      found = handle;
    }
  }
  if (!found) {
    // None to open: one the system lists without a driver this link can use
    // counts as refused, as one this user may not open does.
    link.lastProbeRefused =
        link.driver->SawUnservedDevice(link.targetVendorId, link.targetProductId, EventPlace(link));
    return std::nullopt;
  }
  if (link.lastProbePlaces.size() > 1) {
    // Not one that can be told from the others: none.
    link.driver->Close(*found);
    return std::nullopt;
  }
  // Asked of the one recorder only: the libusb backend pays a system call.
  if (!link.driver->MayUse(*found)) {
    link.lastProbeRefused = true;
    link.driver->Close(*found);
    return std::nullopt;
  }
  return found;
}

bool IsRecorderPresent(DeviceLink& link) {
  const std::optional<DriverHandle> handle = OpenRecorder(link);
  if (!handle) {
    return false;
  }
  link.driver->Close(*handle);
  return true;
}

bool KeepToTheRecorderFound(DeviceLink& link) {
  const std::optional<DriverHandle> handle = OpenRecorder(link);
  if (!handle) {
    return false;
  }
  const std::optional<std::string> place = link.driver->PlaceOf(*handle);
  link.driver->Close(*handle);
  if (place) {
    ChooseRecorderAt(link, *place);
  }
  return true;
}

std::vector<RecorderOnBus> FindRecorders(DeviceLink& link) {
  std::vector<RecorderOnBus> found;
  const std::vector<std::string> names = link.driver->DeviceNames();
  link.lastProbeRefused = link.driver->SawUnservedDevice(link.targetVendorId, link.targetProductId, std::string());
  for (const std::string& name : names) {
    const std::optional<DriverHandle> handle = link.driver->Open(name);
    if (!handle) {
      continue;
    }
    if (IsTarget(link, *handle)) {
      found.push_back({name, link.driver->PlaceOf(*handle), link.driver->MayUse(*handle)});
    }
    link.driver->Close(*handle);
  }
  return found;
}

void ChooseFoundRecorder(DeviceLink& link, const RecorderOnBus& recorder) {
  if (recorder.place) {
    ChooseRecorderAt(link, *recorder.place);
  } else {
    link.choice = RecorderChoice{RecorderChoice::Kind::Name, recorder.name};
    link.countsBeforeRequest.reset();
  }
}

std::optional<std::string> ReadProductString(DeviceLink& link) {
  const std::optional<DriverHandle> handle = OpenRecorder(link);
  if (!handle) {
    return std::nullopt;
  }
  std::optional<std::string> product = link.driver->ProductString(*handle);
  link.driver->Close(*handle);
  return product;
}

namespace {

LinkStatus StatusOf(DriverStatus status) {
  switch (status) {
    case DriverStatus::Ok: return LinkStatus::Ok;
    case DriverStatus::TimedOut: return LinkStatus::TimedOut;
    case DriverStatus::Failed: break;
  }
  return LinkStatus::Failed;
}

}  // namespace

LinkResult SendVendorRequest(DeviceLink& link, std::uint8_t direction, std::uint8_t request,
                             std::uint16_t value, std::uint16_t index, std::span<std::uint8_t> data) {
  if (data.size() > 0xFFFF) {
    return {LinkStatus::Failed};  // a control transfer's length is 16 bits
  }
  const std::optional<DriverHandle> handle = OpenRecorder(link);
  if (!handle) {
    return {NoRecorderStatus(link)};
  }
  VendorRequest fields;
  fields.direction = direction;
  fields.request = request;
  fields.value = value;
  fields.index = index;
  const VendorRequestRecord record = BuildVendorRequestRecord(fields);
  link.countsBeforeRequest = PresenceCountsAt(link);
  std::uint32_t transferred = 0;
  const DriverStatus status = link.driver->VendorRequest(*handle, record, data, transferred);
  link.driver->Close(*handle);
  if (status != DriverStatus::Ok) {
    return {StatusOf(status), transferred};
  }
  // More than the buffer holds is a count no reply can have.
  if (transferred > data.size()) {
    return {LinkStatus::Failed, transferred};
  }
  return {LinkStatus::Ok, transferred};
}

LinkResult BulkTransfer(DeviceLink& link, std::uint8_t direction, std::uint8_t pipe, std::span<std::uint8_t> data) {
  if (direction != kDirectionOut && direction != kDirectionIn) {
    return {LinkStatus::Failed};
  }
  const std::optional<DriverHandle> handle = OpenRecorder(link);
  if (!handle) {
    return {NoRecorderStatus(link)};
  }
  const std::size_t length = std::min<std::size_t>(data.size(), kBulkChunkLimit);
  const BulkPipeRecord record = BuildBulkPipeRecord(pipe);
  std::uint32_t transferred = 0;
  const DriverStatus status = direction == kDirectionOut
                                  ? link.driver->BulkWrite(*handle, record, data.first(length), transferred)
                                  : link.driver->BulkRead(*handle, record, data.first(length), transferred);
  link.driver->Close(*handle);
  return {StatusOf(status), transferred};
}

namespace {

LinkResult BulkAll(DeviceLink& link, std::uint8_t direction, std::uint8_t pipe, std::span<std::uint8_t> data) {
  std::size_t offset = 0;
  while (offset < data.size()) {
    const std::size_t remaining = data.size() - offset;
    const LinkResult transfer = BulkTransfer(link, direction, pipe, data.subspan(offset));
    if (!transfer) {
      return {transfer.status, static_cast<std::uint32_t>(offset)};
    }
    // A transfer that moved nothing would loop for ever, and one that claims
    // more than was asked would run the remainder below zero: both end the loop.
    if (transfer.transferred == 0 || transfer.transferred > std::min<std::size_t>(remaining, kBulkChunkLimit)) {
      return {LinkStatus::Failed, static_cast<std::uint32_t>(offset)};
    }
    offset += transfer.transferred;
  }
  return {LinkStatus::Ok, static_cast<std::uint32_t>(offset)};
}

// What a presence test sees of the recorder the link works with.
enum class Presence : std::uint8_t { Absent, Present, NotAlone };

Presence LookForRecorder(DeviceLink& link) {
  if (IsRecorderPresent(link)) {
    return Presence::Present;
  }
  return NoRecorderStatus(link) == LinkStatus::NotAlone ? Presence::NotAlone : Presence::Absent;
}

// How a phase of the wait ended.
enum class Phase : std::uint8_t { Done, TimedOut, NotAlone };

// Polls until presence equals `wanted`; ends at once when recorders that
// cannot be told apart are seen.
Phase PollForPresence(DeviceLink& link, Presence wanted) {
  const std::uint64_t start = link.clock->NowMs();
  for (;;) {
    const Presence seen = LookForRecorder(link);
    if (seen == wanted) {
      return Phase::Done;
    }
    if (seen == Presence::NotAlone) {
      return Phase::NotAlone;
    }
    if (link.clock->NowMs() - start >= kReenumerationPhaseLimitMs) {
      return Phase::TimedOut;
    }
    link.clock->SleepMs(kPresencePollIntervalMs);
  }
}

// Sleeps on bus events until `done` holds; false when the phase limit passes
// first. Presence is re-tested after every event and every tick.
template <typename Done>
bool SleepForEvents(DeviceLink& link, Done done) {
  const std::uint64_t start = link.clock->NowMs();
  while (!done()) {
    const std::uint64_t waited = link.clock->NowMs() - start;
    if (waited >= kReenumerationPhaseLimitMs) {
      return false;
    }
    const std::uint64_t left = kReenumerationPhaseLimitMs - waited;
    link.driver->WaitForBusEvent(static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kBusEventTickMs)));
  }
  return true;
}

std::uint64_t Departures(DeviceLink& link) {
  const std::optional<PresenceCounts> counts = PresenceCountsAt(link);
  return counts ? counts->departures : 0;
}

}  // namespace

LinkResult BulkReadAll(DeviceLink& link, std::span<std::uint8_t> data) {
  return BulkAll(link, kDirectionIn, kPipeBulkIn, data);
}

LinkResult BulkWriteAll(DeviceLink& link, std::span<std::uint8_t> data) {
  return BulkAll(link, kDirectionOut, kPipeBulkOut, data);
}

Reenumeration AwaitReenumeration(DeviceLink& link) {
  // Bounded, unlike a bare poll: a recorder that never leaves or never comes
  // back must not keep the program waiting for ever, nor pass as restarted.
  const std::optional<PresenceCounts> now = PresenceCountsAt(link);
  if (!now) {
    const Phase left = PollForPresence(link, Presence::Absent);
    if (left != Phase::Done) {
      return left == Phase::NotAlone ? Reenumeration::NotAlone : Reenumeration::DidNotLeave;
    }
    const Phase back = PollForPresence(link, Presence::Present);
    if (back != Phase::Done) {
      return back == Phase::NotAlone ? Reenumeration::NotAlone : Reenumeration::DidNotReturn;
    }
    return Reenumeration::Returned;
  }
  // The departure is counted from the moment before the last request (the
  // restart), so one that came and went before this wait began still counts.
  // The mark is used once: a later wait without a request in between starts
  // from now. Departures are counted at the recorder's place: another
  // recorder leaving elsewhere is none of its.
  const std::uint64_t departuresBefore =
      link.countsBeforeRequest ? link.countsBeforeRequest->departures : now->departures;
  link.countsBeforeRequest.reset();
  // The probe first: it takes in the events that came, which the count then
  // includes.
  Presence seen = Presence::Present;
  if (!SleepForEvents(link, [&] {
        seen = LookForRecorder(link);
        return seen != Presence::Present || Departures(link) > departuresBefore;
      })) {
    return Reenumeration::DidNotLeave;
  }
  if (seen == Presence::NotAlone) {
    return Reenumeration::NotAlone;
  }
  if (!SleepForEvents(link, [&] {
        seen = LookForRecorder(link);
        return seen != Presence::Absent;
      })) {
    return Reenumeration::DidNotReturn;
  }
  return seen == Presence::Present ? Reenumeration::Returned : Reenumeration::NotAlone;
}

bool WaitForReenumeration(DeviceLink& link) { return AwaitReenumeration(link) == Reenumeration::Returned; }

std::uint32_t PresenceWaitTickMs(DeviceLink& link) {
  return PresenceCountsAt(link) ? kBusEventTickMs : kPresencePollIntervalMs;
}

}  // namespace k24
