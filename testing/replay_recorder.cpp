#include "testing/replay_recorder.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "common/byte_order.h"
#include "trace/capture_text.h"

namespace k24::emulator {
namespace {

// The transfer the program made, in the capture's terms.
CapturedTransfer ControlSent(std::uint8_t direction, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                             std::span<const std::uint8_t> data) {
  CapturedTransfer sent;
  sent.control = true;
  sent.in = direction == 1;
  sent.setup[0] = sent.in ? 0xC0 : 0x40;  // vendor request to the device
  sent.setup[1] = request;
  PutLe16(sent.setup, 2, value);
  PutLe16(sent.setup, 4, index);
  PutLe16(sent.setup, 6, static_cast<std::uint16_t>(data.size()));
  sent.asked = static_cast<std::uint32_t>(data.size());
  if (!sent.in) {
    sent.sent.assign(data.begin(), data.end());
    sent.sentLength = static_cast<std::uint32_t>(data.size());
  }
  return sent;
}

CapturedTransfer BulkSent(bool in, std::span<const std::uint8_t> data) {
  CapturedTransfer sent;
  sent.control = false;
  sent.in = in;
  sent.asked = static_cast<std::uint32_t>(data.size());
  if (!in) {
    sent.sent.assign(data.begin(), data.end());
    sent.sentLength = static_cast<std::uint32_t>(data.size());
  }
  return sent;
}

}  // namespace

ReplayRecorder::ReplayRecorder(RecorderCapture capture) : capture_(std::move(capture)) {}

Outcome ReplayRecorder::Control(RecorderModel& model, std::uint8_t direction, std::uint8_t request, std::uint16_t value,
                             std::uint16_t index, std::span<std::uint8_t> data, std::uint32_t& moved) {
  return Play(model, ControlSent(direction, request, value, index, data), data, moved);
}

Outcome ReplayRecorder::BulkOut(RecorderModel& model, std::span<const std::uint8_t> data, std::uint32_t& moved) {
  return Play(model, BulkSent(false, data), {}, moved);
}

Outcome ReplayRecorder::BulkIn(RecorderModel& model, std::span<std::uint8_t> data, std::uint32_t& moved) {
  return Play(model, BulkSent(true, data), data, moved);
}

Outcome ReplayRecorder::Differ(RecorderModel& model, const std::string& why, const CapturedTransfer* expected,
                            const CapturedTransfer& sent, std::uint32_t& moved) {
  differed_ = true;
  difference_ = "replay: the program's transfer " + std::to_string(played_ + 1);
  if (expected != nullptr) {
    difference_ += " differs from the capture's (frame " + std::to_string(expected->frame) + "): " + why +
                   "\n  capture: " + DescribeRequest(*expected) + " -> " + DescribeOutcome(*expected);
  } else {
    difference_ += " " + why;
  }
  difference_ += "\n  program: " + DescribeRequest(sent) + "\n";
  // Gone for good: nothing more reaches a recorder that is no longer the capture's.
  model.onBus = false;
  model.returnPending = false;
  moved = 0;
  return Outcome::Failed;
}

Outcome ReplayRecorder::Play(RecorderModel& model, const CapturedTransfer& sent, std::span<std::uint8_t> received,
                          std::uint32_t& moved) {
  moved = 0;
  if (differed_) return Outcome::Failed;
  if (next_ >= capture_.events.size()) {
    return Differ(model,
                  "goes beyond the capture, which ends after transfer " + std::to_string(capture_.transfers), nullptr,
                  sent, moved);
  }
  const CapturedTransfer& expected = capture_.events[next_].transfer;
  if (const std::optional<std::string> why = TransferDifference(expected, sent, false, DifferenceNames{"capture", "program"})) {
    return Differ(model, *why, &expected, sent, moved);
  }
  if (expected.end == CapturedEnd::NoCompletion) {
    return Differ(model, "cannot be answered: the capture ends before it came back", &expected, sent, moved);
  }
  // A count beyond what the program's transfer holds is no answer to it.
  const std::size_t room = expected.in ? received.size() : sent.sentLength;
  if (expected.moved > room) {
    return Differ(model,
                  "holds less than the capture says moved (" + std::to_string(expected.moved) + " bytes)",
                  &expected, sent, moved);
  }
  if (expected.in && expected.received.size() < expected.moved) {
    return Differ(model, "cannot be answered: the capture did not keep the data received", &expected, sent,
                  moved);
  }
  if (expected.in) {
    std::copy_n(expected.received.begin(), expected.moved, received.begin());
  }
  moved = expected.moved;
  ++played_;
  ++next_;
  if (next_ < capture_.events.size() && capture_.events[next_].kind == CaptureEvent::Kind::Restart) {
    // The capture's recorder left the bus after this one and came back.
    ++model.restarts;
    model.onBus = false;
    model.returnPending = true;
    model.probesUntilReturn = model.restartAbsentProbes;
    ++next_;
  }
  switch (expected.end) {
    case CapturedEnd::Ok: return Outcome::Ok;
    case CapturedEnd::Cancelled: return Outcome::NoAnswer;
    default: return Outcome::Failed;
  }
}

std::string ReplayRecorder::Report() const {
  if (differed_) return difference_;
  if (played_ == capture_.transfers) {
    return "replay: all " + std::to_string(capture_.transfers) + " transfers of the capture played\n";
  }
  return "replay: " + std::to_string(played_) + " of the capture's " + std::to_string(capture_.transfers) +
         " transfers played; the program made no more\n";
}

}  // namespace k24::emulator
