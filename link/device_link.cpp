#include "link/device_link.h"

#include <algorithm>
#include <array>
#include <string>

#include "common/byte_order.h"

namespace k24 {

void SetTargetDevice(DeviceLink& link, std::uint16_t vendorId, std::uint16_t productId) {
  link.targetVendorId = vendorId;
  link.targetProductId = productId;
}

std::optional<DriverHandle> OpenRecorder(DeviceLink& link) {
  bool refused = false;
  for (const std::string& name : link.driver->DeviceNames()) {
    const std::optional<DriverHandle> handle = link.driver->Open(name);
    if (!handle) {
      continue;
    }
    std::array<std::uint8_t, kDeviceDescriptorSize> descriptor{};
    // Cleared before the query, so a query that returns nothing never matches.
    PutLe16(descriptor, kDescriptorVendorOffset, 0);
    PutLe16(descriptor, kDescriptorProductOffset, 0);
    const bool answered = link.driver->GetDeviceDescriptor(*handle, descriptor);
    if (answered && GetLe16(descriptor, kDescriptorVendorOffset) == link.targetVendorId &&
        GetLe16(descriptor, kDescriptorProductOffset) == link.targetProductId) {
      if (link.driver->MayUse(*handle)) {
        link.lastProbeRefused = false;
        return handle;
      }
      refused = true;  // another device of the identity may still be usable
    }
    link.driver->Close(*handle);
  }
  link.lastProbeRefused = refused;
  return std::nullopt;
}

bool IsRecorderPresent(DeviceLink& link) {
  const std::optional<DriverHandle> handle = OpenRecorder(link);
  if (!handle) {
    return false;
  }
  link.driver->Close(*handle);
  return true;
}

LinkResult SendVendorRequest(DeviceLink& link, std::uint8_t direction, std::uint8_t request,
                             std::uint16_t value, std::uint16_t index, std::span<std::uint8_t> data) {
  if (data.size() > 0xFFFF) {
    return {LinkStatus::Failed};  // a control transfer's length is 16 bits
  }
  const std::optional<DriverHandle> handle = OpenRecorder(link);
  if (!handle) {
    return {LinkStatus::NoRecorder};
  }
  VendorRequest fields;
  fields.direction = direction;
  fields.request = request;
  fields.value = value;
  fields.index = index;
  const VendorRequestRecord record = BuildVendorRequestRecord(fields);
  link.countsBeforeRequest = link.driver->PresenceEvents(link.targetVendorId, link.targetProductId);
  std::uint32_t transferred = 0;
  const bool ok = link.driver->VendorRequest(*handle, record, data, transferred);
  link.driver->Close(*handle);
  if (!ok) {
    return {LinkStatus::Failed, transferred};
  }
  // A reply that fills only part of the buffer leaves the rest as the caller
  // set it (zeros, mostly), which would read as data: a version 0.2 from a
  // one-byte answer to 1.2, a serial number cut to its first character.
  if (direction == kDirectionIn && transferred != data.size()) {
    return {LinkStatus::ShortReply, transferred};
  }
  return {LinkStatus::Ok, transferred};
}

bool BulkTransfer(DeviceLink& link, std::uint8_t direction, std::uint8_t pipe,
                  std::span<std::uint8_t> data, std::uint32_t& transferred) {
  if (direction != kDirectionOut && direction != kDirectionIn) {
    return false;
  }
  const std::optional<DriverHandle> handle = OpenRecorder(link);
  if (!handle) {
    return false;
  }
  const std::size_t length = std::min<std::size_t>(data.size(), kBulkChunkLimit);
  const BulkPipeRecord record = BuildBulkPipeRecord(pipe);
  transferred = 0;
  const bool ok = direction == kDirectionOut
                      ? link.driver->BulkWrite(*handle, record, data.first(length), transferred)
                      : link.driver->BulkRead(*handle, record, data.first(length), transferred);
  link.driver->Close(*handle);
  return ok;
}

namespace {

std::uint32_t BulkAll(DeviceLink& link, std::uint8_t direction, std::uint8_t pipe,
                      std::span<std::uint8_t> data) {
  std::size_t offset = 0;
  while (offset < data.size()) {
    const std::size_t remaining = data.size() - offset;
    std::uint32_t transferred = 0;
    if (!BulkTransfer(link, direction, pipe, data.subspan(offset), transferred)) {
      break;
    }
    // A transfer that moved nothing would loop for ever, and one that claims
    // more than was asked would run the remainder below zero: both end the loop.
    if (transferred == 0 || transferred > std::min<std::size_t>(remaining, kBulkChunkLimit)) {
      break;
    }
    offset += transferred;
  }
  return static_cast<std::uint32_t>(offset);
}

// Polls until presence equals `wanted`; false when the phase limit passes first.
bool PollForPresence(DeviceLink& link, bool wanted) {
  const std::uint64_t start = link.clock->NowMs();
  while (IsRecorderPresent(link) != wanted) {
    if (link.clock->NowMs() - start >= kReenumerationPhaseLimitMs) {
      return false;
    }
    link.clock->SleepMs(kPresencePollIntervalMs);
  }
  return true;
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
  const std::optional<PresenceCounts> counts = link.driver->PresenceEvents(link.targetVendorId, link.targetProductId);
  return counts ? counts->departures : 0;
}

}  // namespace

std::uint32_t BulkReadAll(DeviceLink& link, std::span<std::uint8_t> data) {
  return BulkAll(link, kDirectionIn, kPipeBulkIn, data);
}

std::uint32_t BulkWriteAll(DeviceLink& link, std::span<std::uint8_t> data) {
  return BulkAll(link, kDirectionOut, kPipeBulkOut, data);
}

Reenumeration AwaitReenumeration(DeviceLink& link) {
  // Bounded, unlike a bare poll: a recorder that never leaves or never comes
  // back must not keep the program waiting for ever, nor pass as restarted.
  const std::optional<PresenceCounts> now = link.driver->PresenceEvents(link.targetVendorId, link.targetProductId);
  if (!now) {
    if (!PollForPresence(link, false)) {
      return Reenumeration::DidNotLeave;
    }
    return PollForPresence(link, true) ? Reenumeration::Returned : Reenumeration::DidNotReturn;
  }
  // The departure is counted from the moment before the last request (the
  // restart), so one that came and went before this wait began still counts.
  // The mark is used once: a later wait without a request in between starts
  // from now.
  const std::uint64_t departuresBefore =
      link.countsBeforeRequest ? link.countsBeforeRequest->departures : now->departures;
  link.countsBeforeRequest.reset();
  // The probe first: it takes in the events that came, which the count then
  // includes.
  if (!SleepForEvents(link, [&] { return !IsRecorderPresent(link) || Departures(link) > departuresBefore; })) {
    return Reenumeration::DidNotLeave;
  }
  return SleepForEvents(link, [&] { return IsRecorderPresent(link); }) ? Reenumeration::Returned
                                                                       : Reenumeration::DidNotReturn;
}

bool WaitForReenumeration(DeviceLink& link) { return AwaitReenumeration(link) == Reenumeration::Returned; }

std::uint32_t PresenceWaitTickMs(DeviceLink& link) {
  return link.driver->PresenceEvents(link.targetVendorId, link.targetProductId) ? kBusEventTickMs
                                                                                 : kPresencePollIntervalMs;
}

}  // namespace k24
