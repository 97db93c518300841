#include "recorder/flash_programming.h"

#include <algorithm>
#include <array>

#include "recorder/recorder_queries.h"
#include "recorder/requests.h"

namespace k24 {

StepResult PrepareForProgramming(DeviceLink& link) {
  // Erasing the page at 0x0200 makes the boot loader stay in programming state
  // on the next start; the reply and the result are of no interest.
  RequestData<kRequestErasePage> reply{};
  SendRequest(link, kRequestErasePage, kProgrammingStatePage, reply);
  RestartRecorder(link);
  return ReenumerationStep(AwaitReenumeration(link));
}

StepResult ProgramFlashImage(DeviceLink& link, std::span<const std::uint8_t> image) {
  StepResult result;
  if (image.size() < kImageRegionSize) {
    result.failure = StepFailure::ImageTooShort;
    return result;
  }
  for (std::size_t page = 0; page < kImageRegionPages; ++page) {
    const auto pageAddress = static_cast<std::uint16_t>(page * kFlashPageSize);
    RequestData<kRequestErasePage> reply{};
    const SentRequest erased = SendRequest(link, kRequestErasePage, pageAddress, reply);
    NoteRequest(result, erased);
    if (GotNoAnswer(erased)) {
      return result;
    }
    for (std::size_t chunk = 0; chunk < kChunksPerPage; ++chunk) {
      const auto address = static_cast<std::uint16_t>(pageAddress + chunk * kFlashChunkSize);
      RequestData<kRequestWriteFlash> data{};
      std::copy_n(image.begin() + address, data.size(), data.begin());
      // Sent even after an earlier refusal: the recorder gets the whole
      // sequence. A recorder that gave no answer at all gets no more.
      const SentRequest written = SendRequest(link, kRequestWriteFlash, address, data);
      NoteRequest(result, written);
      if (GotNoAnswer(written)) {
        return result;
      }
    }
  }
  return result;
}

}  // namespace k24
