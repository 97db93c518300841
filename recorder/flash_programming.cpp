#include "recorder/flash_programming.h"

#include <algorithm>
#include <array>

#include "recorder/recorder_queries.h"
#include "recorder/requests.h"

namespace k24 {

bool PrepareForProgramming(DeviceLink& link) {
  // Erasing the page at 0x0200 makes the boot loader stay in programming state
  // on the next start; the reply and the result are of no interest.
  RequestData<kRequestErasePage> reply{};
  SendRequest(link, kRequestErasePage, kProgrammingStatePage, reply);
  RestartRecorder(link);
  return WaitForReenumeration(link);
}

bool ProgramFlashImage(DeviceLink& link, std::span<const std::uint8_t> image) {
  if (image.size() < kImageRegionSize) {
    return false;
  }
  bool ok = true;
  for (std::size_t page = 0; page < kImageRegionPages; ++page) {
    const auto pageAddress = static_cast<std::uint16_t>(page * kFlashPageSize);
    RequestData<kRequestErasePage> reply{};
    ok = SendRequest(link, kRequestErasePage, pageAddress, reply) && ok;
    for (std::size_t chunk = 0; chunk < kChunksPerPage; ++chunk) {
      const auto address = static_cast<std::uint16_t>(pageAddress + chunk * kFlashChunkSize);
      RequestData<kRequestWriteFlash> data{};
      std::copy_n(image.begin() + address, data.size(), data.begin());
      // Sent even after an earlier failure: the recorder gets the whole sequence.
      ok = SendRequest(link, kRequestWriteFlash, address, data) && ok;
    }
  }
  return ok;
}

}  // namespace k24
