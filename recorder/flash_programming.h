// Writing a flash image's image region (0x0000-0x29FF) into the recorder's
// program flash, page by page, after bringing the recorder into programming
// state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "link/device_link.h"
#include "recorder/requests.h"
#include "recorder/step_result.h"

namespace k24 {

inline constexpr std::size_t kImageRegionSize = 0x2A00;  // 10,752 bytes: 21 pages
inline constexpr std::size_t kImageRegionPages = kImageRegionSize / kFlashPageSize;
inline constexpr std::size_t kChunksPerPage = kFlashPageSize / kFlashChunkSize;

// ErasePage 0x0200, Restart, and the wait for the recorder to come back in
// programming state. Nothing here is examined (the wait's end is returned
// so that a recorder that never comes back is not programmed blind): fails
// only as RecorderDidNotLeave, RecorderDidNotReturn or RecorderNotAlone.
StepResult PrepareForProgramming(DeviceLink& link);

// Erases and writes the 21 pages of the image region; every one of the 189
// requests is sent even after a refused or failed one, but none after one
// that got no answer at all (the driver's time-out). Succeeds only when all
// succeeded; else RequestFailed with the first that failed, and the count of
// failures.
// `image` must hold at least the image region; bytes beyond it are never sent.
StepResult ProgramFlashImage(DeviceLink& link, std::span<const std::uint8_t> image);

}  // namespace k24
