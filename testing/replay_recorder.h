// A recorder that answers from a capture instead of the model: the recorder
// of a real capture (or of an earlier trace), played back to the program.
//
// Each transfer the program makes must be the capture's next one: the same
// setup packet (or bulk direction and length) and the same data sent. It then
// gets what the capture holds: the data received, the count of bytes moved,
// success or failure. Where the capture shows the recorder leaving the bus
// and coming back (its next transfer at another address), the recorder
// restarts: it leaves the bus once the transfer before is answered and comes
// back as the model's recorder does after a restart.
//
// The first transfer that differs (or that goes beyond the capture) is
// refused, the recorder leaves the bus for good, and the difference is kept
// for the report: where (the program's transfer number, the capture's frame),
// what the capture holds, what came.
//
// A transfer the capture shows cancelled (a time-out's end) gets no answer:
// the program's driver ends it at its own time limit, as it did in the run.
#pragma once

#include <cstddef>
#include <string>

#include "testing/recorder_model.h"
#include "trace/capture.h"

namespace k24::emulator {

class ReplayRecorder final : public StandInRecorder {
 public:
  explicit ReplayRecorder(RecorderCapture capture);

  Outcome Control(RecorderModel& model, std::uint8_t direction, std::uint8_t request, std::uint16_t value,
                  std::uint16_t index, std::span<std::uint8_t> data, std::uint32_t& moved) override;
  Outcome BulkOut(RecorderModel& model, std::span<const std::uint8_t> data, std::uint32_t& moved) override;
  Outcome BulkIn(RecorderModel& model, std::span<std::uint8_t> data, std::uint32_t& moved) override;

  bool Differed() const { return differed_; }
  std::size_t Played() const { return played_; }
  std::size_t Transfers() const { return capture_.transfers; }
  // How the replay went, in words: the first difference, or how much of the
  // capture was played.
  std::string Report() const;

 private:
  Outcome Play(RecorderModel& model, const CapturedTransfer& sent, std::span<std::uint8_t> received,
               std::uint32_t& moved);
  Outcome Differ(RecorderModel& model, const std::string& why, const CapturedTransfer* expected,
              const CapturedTransfer& sent, std::uint32_t& moved);

  RecorderCapture capture_;
  std::size_t next_ = 0;    // the next event of the capture to play
  std::size_t played_ = 0;  // transfers played
  bool differed_ = false;
  std::string difference_;
};

}  // namespace k24::emulator
