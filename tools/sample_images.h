// Sample images for the default build, the tests and the recorder testbed.
// They are NOT real recorder firmware: apart from the few fields the updater
// reads (versions and model identity), their bytes are a deterministic
// pseudo-random pattern, different for each image. Never load them into a
// real recorder.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/version_word.h"
#include "images/image_store.h"

namespace k24 {

inline constexpr VersionWord kSampleFirmwareVersion = 0x0200;           // 2.0
inline constexpr VersionWord kSampleCarriedBootLoaderVersion = 0x0102;  // 1.2
inline constexpr std::array<std::uint8_t, 5> kSampleModelIdentity = {'K', '2', '4', 'A', '1'};

// The fields a sample firmware image carries; the defaults make the sample.
struct SampleFirmwareFields {
  VersionWord firmwareVersion = kSampleFirmwareVersion;
  VersionWord carriedBootLoaderVersion = kSampleCarriedBootLoaderVersion;
  std::array<std::uint8_t, 5> modelIdentity = kSampleModelIdentity;
};

// The descrambled images, as LoadFirmwareImage and LoadReplacerImage read them
// (the replacers before splicing).
FlashImage BuildSampleFirmwareImage(const SampleFirmwareFields& fields = {});
FlashImage BuildSampleNandReplacerImage();   // "BRC"
FlashImage BuildSampleFlashReplacerImage();  // "BRC20"

// The stored form of `image`: kStoredImageSize bytes, the first kFlashImageSize
// scrambled, the unused rest 0xFF.
std::vector<std::uint8_t> StoreImage(const FlashImage& image);

}  // namespace k24
