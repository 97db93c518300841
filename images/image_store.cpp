// Loading the carried images: read the stored bytes by name, descramble them,
// read the version words, and build the replacer by splicing in the boot
// loader payload that the firmware image brings.
#include "images/image_store.h"

#include <algorithm>

#include "common/byte_order.h"
#include "images/descrambler.h"
#include "images/image_layout.h"
#include "images/image_resources.h"

namespace k24 {
namespace {

bool LoadImage(const std::string& executablePath, std::string_view name, FlashImage& image) {
  if (!ReadStoredImage(executablePath, name, image)) {
    return false;
  }
  ScrambleBytes(image);
  return true;
}

}  // namespace

bool LoadFirmwareImage(const std::string& executablePath, FlashImage& firmware,
                       VersionWord& firmwareVersion, VersionWord& carriedBootLoaderVersion) {
  if (!LoadImage(executablePath, kFirmwareImageName, firmware)) {
    return false;
  }
  firmwareVersion = GetLe16(firmware, kFirmwareVersionOffset);
  carriedBootLoaderVersion = GetLe16(firmware, kCarriedBootLoaderVersionOffset);
  return true;
}

bool LoadReplacerImage(const std::string& executablePath, VersionWord currentBootLoaderVersion,
                       const FlashImage& firmware, FlashImage& replacer) {
  const char* name = currentBootLoaderVersion >= kFlashReplacedBootLoaderVersion
                         ? kFlashReplacerImageName
                         : kNandReplacerImageName;
  if (!LoadImage(executablePath, name, replacer)) {
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
