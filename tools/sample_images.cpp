#include "tools/sample_images.h"

#include <algorithm>
#include <span>

#include "common/byte_order.h"
#include "images/descrambler.h"
#include "images/image_layout.h"

namespace k24 {
namespace {

// A different pattern per image, so that an image read under the wrong name
// or spliced from the wrong place shows.
constexpr std::uint32_t kFirmwarePatternSeed = 0x46574331;       // "FWC1"
constexpr std::uint32_t kNandReplacerPatternSeed = 0x42524331;   // "BRC1"
constexpr std::uint32_t kFlashReplacerPatternSeed = 0x42324331;  // "B2C1"
constexpr std::uint8_t kUnusedStoredByte = 0xFF;

// Fills the image from a xorshift generator: deterministic, every byte value
// occurs, and no run of repeats that would hide a misplaced copy.
FlashImage PatternImage(std::uint32_t seed) {
  FlashImage image{};
  std::uint32_t state = seed;
  for (std::uint8_t& byte : image) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return image;
}

}  // namespace

FlashImage BuildSampleFirmwareImage(const SampleFirmwareFields& fields) {
  FlashImage image = PatternImage(kFirmwarePatternSeed);
  PutLe16(image, kFirmwareVersionOffset, fields.firmwareVersion);
  std::ranges::copy(fields.modelIdentity, std::span(image).subspan(kFirmwareIdentityOffset).begin());
  PutLe16(image, kCarriedBootLoaderVersionOffset, fields.carriedBootLoaderVersion);
  return image;
}

FlashImage BuildSampleNandReplacerImage() { return PatternImage(kNandReplacerPatternSeed); }

FlashImage BuildSampleFlashReplacerImage() { return PatternImage(kFlashReplacerPatternSeed); }

std::vector<std::uint8_t> StoreImage(const FlashImage& image) {
  std::vector<std::uint8_t> stored(kStoredImageSize, kUnusedStoredByte);
  std::ranges::copy(image, stored.begin());
  ScrambleBytes(std::span(stored).first(kFlashImageSize));
  return stored;
}

}  // namespace k24
