// Loading the carried images: read the stored bytes by name, check them
// against the digest the build recorded, descramble them, read the version
// words, and build the replacer by splicing in the boot loader payload that
// the firmware image brings.
#include "images/image_store.h"

#include <algorithm>
#include <memory>

#include "common/byte_order.h"
#include "common/sha256.h"
#include "images/descrambler.h"
#include "images/image_digests.h"
#include "images/image_layout.h"
#include "images/image_source.h"

namespace k24 {

const Sha256Digest* RecordedDigest(const ImageDigests& digests, std::string_view name) {
  if (name == kFirmwareImageName) {
    return &digests.firmware;
  }
  if (name == kNandReplacerImageName) {
    return &digests.nandReplacer;
  }
  if (name == kFlashReplacerImageName) {
    return &digests.flashReplacer;
  }
  return nullptr;
}

namespace {

// The digest is checked before anything of the image is used: an image that
// is not byte for byte the one the build carried is never descrambled.
bool LoadImage(ImageSource& source, const ImageDigests& digests, std::string_view name, FlashImage& image) {
  const Sha256Digest* recorded = RecordedDigest(digests, name);
  if (recorded == nullptr) {
    return false;
  }
  const auto stored = std::make_unique<StoredImage>();  // 64 KiB: not on the stack
  if (!source.Read(name, *stored) || Sha256(*stored) != *recorded) {
    return false;
  }
  std::copy_n(stored->begin(), image.size(), image.begin());
  ScrambleBytes(image);
  return true;
}

}  // namespace

bool LoadFirmwareImage(ImageSource& source, const ImageDigests& digests, FlashImage& firmware,
                       VersionWord& firmwareVersion, VersionWord& carriedBootLoaderVersion) {
  if (!LoadImage(source, digests, kFirmwareImageName, firmware)) {
    return false;
  }
  firmwareVersion = GetLe16(firmware, kFirmwareVersionOffset);
  carriedBootLoaderVersion = GetLe16(firmware, kCarriedBootLoaderVersionOffset);
  return true;
}

bool LoadReplacerImage(ImageSource& source, const ImageDigests& digests, VersionWord currentBootLoaderVersion,
                       const FlashImage& firmware, FlashImage& replacer) {
  const char* name = currentBootLoaderVersion >= kFlashReplacedBootLoaderVersion
                         ? kFlashReplacerImageName
                         : kNandReplacerImageName;
  if (!LoadImage(source, digests, name, replacer)) {
    return false;
  }
  const auto payload = std::span<const std::uint8_t>(firmware).subspan(kBootLoaderPayloadOffset,
                                                                       kBootLoaderPayloadSize);
  std::ranges::copy(payload, std::span(replacer).subspan(kReplacerPayloadOffset).begin());
  for (std::size_t i = 0; i < kFirmwareSpliceSources.size(); ++i) {
    replacer[kReplacerSpliceOffset + i] = firmware[kFirmwareSpliceSources[i]];
  }
  return true;
}

}  // namespace k24
