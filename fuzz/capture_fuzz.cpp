// Fuzz target: the reading of a capture of arbitrary packets, as k24trace
// and the replay door read the files people send. The first byte chooses the
// link type (even: Linux usbmon, odd: USBPcap); then each packet is a 16-bit
// little-endian length and its bytes. The decoder must read only inside the
// packets and give a sound sequence (a restart only between two transfers,
// from one address to another; frames in order); a capture must match
// itself; and played back to a program that makes exactly its transfers, the
// replay recorder must answer within the program's buffers and never play
// more than the capture holds.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "testing/recorder_model.h"
#include "testing/replay_recorder.h"
#include "trace/capture.h"
#include "trace/capture_text.h"
#include "trace/usbmon_record.h"

namespace {

void Check(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "capture: %s\n", what);
    std::abort();
  }
}

// The program's side of one captured transfer, handed to the model's front
// door entry points with buffers of the sizes the program would use.
void PlayBack(k24::emulator::RecorderModel& model, const k24::CapturedTransfer& transfer) {
  std::uint32_t moved = 0;
  if (transfer.control) {
    std::vector<std::uint8_t> data(k24::SetupLength(transfer), 0);
    for (std::size_t i = 0; i < data.size() && i < transfer.sent.size(); ++i) data[i] = transfer.sent[i];
    k24::emulator::HandleControl(model, transfer.in ? 1 : 0, k24::SetupRequest(transfer), k24::SetupValue(transfer),
                                 k24::SetupIndex(transfer), data, moved);
    Check(moved <= data.size(), "a control reply longer than the program's buffer");
    return;
  }
  if (transfer.in) {
    std::vector<std::uint8_t> data(transfer.asked.value_or(transfer.moved) & 0xFFFF, 0);
    k24::emulator::HandleBulkIn(model, data, moved);
    Check(moved <= data.size(), "a bulk reply longer than the program's buffer");
    return;
  }
  k24::emulator::HandleBulkOut(model, transfer.sent, moved);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint32_t linkType = (data[0] & 1) == 0 ? k24::kLinkTypeUsbLinuxMmapped : k24::kLinkTypeUsbPcap;
  std::vector<k24::CapturePacket> packets;
  for (std::size_t at = 1; at + 2 <= size;) {
    const std::size_t length =
        std::min<std::size_t>(static_cast<std::size_t>(data[at] | (data[at + 1] << 8)), size - at - 2);
    k24::CapturePacket packet;
    packet.bytes.assign(data + at + 2, data + at + 2 + length);
    packet.wireLength = static_cast<std::uint32_t>(length);
    packets.push_back(std::move(packet));
    at += 2 + length;
  }

  k24::RecorderCapture capture;
  std::string error;
  Check(k24::DecodeCapture(linkType, packets, capture, error), "a USB link type refused");
  std::size_t transfers = 0;
  std::uint64_t lastFrame = 0;
  for (std::size_t i = 0; i < capture.events.size(); ++i) {
    const k24::CaptureEvent& event = capture.events[i];
    if (event.kind == k24::CaptureEvent::Kind::Restart) {
      Check(i > 0 && i + 1 < capture.events.size(), "a restart at an end of the capture");
      Check(capture.events[i - 1].kind == k24::CaptureEvent::Kind::Transfer &&
                capture.events[i + 1].kind == k24::CaptureEvent::Kind::Transfer,
            "a restart not between two transfers");
      Check(event.from.bus != event.to.bus || event.from.device != event.to.device, "a restart to the same address");
      continue;
    }
    ++transfers;
    Check(event.transfer.frame > lastFrame && event.transfer.frame <= packets.size(), "frames out of order");
    lastFrame = event.transfer.frame;
    (void)k24::DescribeRequest(event.transfer);
    (void)k24::DescribeOutcome(event.transfer);
  }
  Check(transfers == capture.transfers, "the count of transfers");
  Check(k24::CompareCaptures(capture, capture).match, "a capture that does not match itself");

  k24::emulator::ReplayRecorder replay(capture);
  k24::emulator::RecorderModel model;
  model.standIn = &replay;
  for (const k24::CaptureEvent& event : capture.events) {
    if (event.kind == k24::CaptureEvent::Kind::Transfer) PlayBack(model, event.transfer);
  }
  Check(replay.Played() <= capture.transfers, "more played than the capture holds");
  (void)replay.Report();
  return 0;
}
