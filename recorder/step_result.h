// How one of the recorder's procedures ended, and for a failure why: the
// request that failed and what came back, a NAND page not written whole, a
// read-back that differed, a commit refused, a recorder that did not leave or
// come back after a restart. Converts to bool (true: the step succeeded), so
// callers that need only that read as before; the update history keeps the
// rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "link/device_link.h"
#include "recorder/requests.h"

namespace k24 {

enum class StepFailure : std::uint8_t {
  None,
  RequestFailed,         // a request the step relies on failed: `request` says which, and how
  RecorderDidNotLeave,   // after a restart the recorder stayed on the bus past the wait's bound
  RecorderDidNotReturn,  // it left the bus and did not come back within the bound
  RecorderNotAlone,      // during the wait another recorder was seen, and the driver cannot tell them apart
  ImageTooShort,         // the host's image is shorter than what the step writes (the host's mistake)
  BlockReadShort,        // NAND block 0 read: `bytesMoved` of `bytesExpected`, so it was left alone
  PageNotWritten,        // NAND page `page` did not go out whole (its request failed, or its bytes)
  ReadBackMismatch,      // the NAND read-back differs from the image at `mismatchOffset`
  ReadBackNoAnswer,      // NAND page `page` got no answer as it was read back (its `request`,
                         // or its bulk read: `bytesMoved` of `bytesExpected`); the read-back stopped
  CommitRefused,         // CommitBootArea was answered with 0
  EraseNotConfirmed,     // NandStatus after NandEraseBlock was `nandEraseStatus`, not 0
};

struct StepResult {
  StepFailure failure = StepFailure::None;
  // The first request of the step that failed (for RequestFailed, and for
  // PageNotWritten, ReadBackNoAnswer and CommitRefused the request concerned).
  std::optional<SentRequest> request = std::nullopt;
  // Of a step that sends every request even after one failed (flash
  // programming): how many failed.
  int failedRequests = 0;
  std::uint32_t bytesMoved = 0;     // BlockReadShort, PageNotWritten: the bulk bytes that went
  std::uint32_t bytesExpected = 0;  // ... of these
  std::uint32_t page = 0;           // PageNotWritten, ReadBackNoAnswer
  std::size_t mismatchOffset = 0;   // ReadBackMismatch: the first image byte that differs
  // The NandStatus byte after the block erase, when it was not 0 (the NAND
  // rewrite does not stop for it: a block not erased shows in the read-back).
  std::optional<std::uint8_t> nandEraseStatus = std::nullopt;

  explicit operator bool() const { return failure == StepFailure::None; }
};

// Notes one request of a step: the step fails with the first request that
// failed, and every failed request is counted.
inline void NoteRequest(StepResult& result, const SentRequest& sent) {
  if (sent) {
    return;
  }
  ++result.failedRequests;
  if (result.failure == StepFailure::None) {
    result.failure = StepFailure::RequestFailed;
    result.request = sent;
  }
}

// A request the recorder gave no answer to at all. A step that would send
// more requests whatever the results (flash programming, the NAND read-back)
// stops there: each would wait out the driver's time limit in turn.
inline bool GotNoAnswer(const SentRequest& sent) { return sent.status == LinkStatus::TimedOut; }

inline StepResult RequestStep(const SentRequest& sent) {
  StepResult result;
  NoteRequest(result, sent);
  return result;
}

// The end of a wait for the recorder to leave the bus and come back, as a step.
inline StepResult ReenumerationStep(Reenumeration wait) {
  StepResult result;
  if (wait == Reenumeration::DidNotLeave) {
    result.failure = StepFailure::RecorderDidNotLeave;
  } else if (wait == Reenumeration::DidNotReturn) {
    result.failure = StepFailure::RecorderDidNotReturn;
  } else if (wait == Reenumeration::NotAlone) {
    result.failure = StepFailure::RecorderNotAlone;
  }
  return result;
}

}  // namespace k24
