// The images the updater carries in its own executable file: the firmware
// ("FWC") and two boot-loader replacers ("BRC" for boot loaders older than
// 1.0, "BRC20" for 1.0 and later), stored scrambled.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/version_word.h"

namespace k24 {

inline constexpr std::size_t kFlashImageSize = 0xFC00;  // 64,512 bytes used of each stored image
inline constexpr std::size_t kStoredImageSize = 0x10000;  // as stored: 65,536 bytes

using FlashImage = std::array<std::uint8_t, kFlashImageSize>;

class ImageSource;
struct ImageDigests;

// Reads "FWC" from `source`, checks it against its digest in `digests`,
// descrambles it and reads its two versions. False when the image is missing,
// short, unreadable or not the one whose digest was recorded.
bool LoadFirmwareImage(ImageSource& source, const ImageDigests& digests, FlashImage& firmware,
                       VersionWord& firmwareVersion, VersionWord& carriedBootLoaderVersion);

// Reads the replacer for `currentBootLoaderVersion` ("BRC20" from 1.0 on, else
// "BRC") and checks it in the same way, descrambles it and splices the boot
// loader payload of `firmware` into it. False as for LoadFirmwareImage.
bool LoadReplacerImage(ImageSource& source, const ImageDigests& digests, VersionWord currentBootLoaderVersion,
                       const FlashImage& firmware, FlashImage& replacer);

}  // namespace k24
