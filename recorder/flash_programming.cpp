#include "recorder/flash_programming.h"

#include <algorithm>
#include <array>

#include "recorder/recorder_queries.h"
#include "recorder/requests.h"

namespace k24 {

bool PrepareForProgramming(DeviceLink& link) {
  // Erasing the page at 0x0200 makes the boot loader stay in programming state
  // on the next start; the reply and the result are of no interest.
  std::array<std::uint8_t, kErasePageReplySize> reply{};
  SendVendorRequest(link, kDirectionIn, kRequestErasePage, kProgrammingStatePage, 0, reply);
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
    std::array<std::uint8_t, kErasePageReplySize> reply{};
    ok = SendVendorRequest(link, kDirectionIn, kRequestErasePage, pageAddress, 0, reply) && ok;
    for (std::size_t chunk = 0; chunk < kChunksPerPage; ++chunk) {
      const auto address = static_cast<std::uint16_t>(pageAddress + chunk * kFlashChunkSize);
      std::array<std::uint8_t, kFlashChunkSize> data{};
      std::copy_n(image.begin() + address, kFlashChunkSize, data.begin());
      // Sent even after an earlier failure: the recorder gets the whole sequence.
      ok = SendVendorRequest(link, kDirectionOut, kRequestWriteFlash, address, 0, data) && ok;
    }
  }
  return ok;
}

}  // namespace k24
