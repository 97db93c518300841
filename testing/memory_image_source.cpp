#include "testing/memory_image_source.h"

#include <algorithm>

#include "images/image_layout.h"
#include "tools/sample_images.h"

namespace k24::emulator {

bool MemoryImageSource::Read(std::string_view name, StoredImage& stored) {
  ++reads;
  const auto found = images.find(name);
  if (found == images.end() || found->second.size() < stored.size()) {
    return false;
  }
  std::copy_n(found->second.begin(), stored.size(), stored.begin());
  return true;
}

MemoryImageSource SampleImageSource() {
  MemoryImageSource source;
  source.images[kFirmwareImageName] = StoreImage(BuildSampleFirmwareImage());
  source.images[kNandReplacerImageName] = StoreImage(BuildSampleNandReplacerImage());
  source.images[kFlashReplacerImageName] = StoreImage(BuildSampleFlashReplacerImage());
  return source;
}

ImageDigests DigestsOf(const MemoryImageSource& source) {
  const auto digestOf = [&source](std::string_view name) {
    const auto found = source.images.find(name);
    return found == source.images.end() ? Sha256Digest{} : Sha256(found->second);
  };
  ImageDigests digests;
  digests.firmware = digestOf(kFirmwareImageName);
  digests.nandReplacer = digestOf(kNandReplacerImageName);
  digests.flashReplacer = digestOf(kFlashReplacerImageName);
  return digests;
}

void FlipBit(MemoryImageSource& source, const std::string& name, std::size_t offset, int bit) {
  std::uint8_t& byte = source.images.at(name).at(offset);
  byte = static_cast<std::uint8_t>(byte ^ (1u << bit));
}

}  // namespace k24::emulator
