// Fuzz target: loading the carried images from arbitrary stored bytes.
// The input changes the sample's stored firmware or replacer (bytes XORed in
// at an offset the input gives), may shorten it, and decides whether the
// digest recorded is the changed image's own. Then: the image loads exactly
// when it is whole and matches its digest; descrambling is its own inverse;
// the versions are the bytes at their offsets; the replacer is spliced.
//
// Input: flags, offset (16 bits, big-endian), then the bytes to XOR in.
//   flags bit 0: the digest recorded is the unchanged image's
//   flags bit 1: the image is cut short (by the next byte, times 256, plus 1)
//   flags bit 2: the change goes to the replacer ("BRC" or "BRC20") instead
//   flags bit 3: the recorder's boot loader is 1.0 or later ("BRC20")
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/sha256.h"
#include "images/descrambler.h"
#include "images/image_layout.h"
#include "images/image_source.h"
#include "images/image_store.h"
#include "testing/memory_image_source.h"
#include "tools/sample_images.h"

namespace {

void Check(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "image_store: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace k24;
  static const emulator::MemoryImageSource samples = emulator::SampleImageSource();
  static const ImageDigests sampleDigests = emulator::DigestsOf(samples);
  if (size < 3) return 0;
  const std::uint8_t flags = data[0];
  const std::size_t offset = static_cast<std::size_t>(data[1]) << 8 | data[2];
  std::size_t patch = 3;
  std::size_t cut = 0;
  if ((flags & 2) != 0 && size > patch) cut = std::size_t{data[patch++]} * 256 + 1;

  const bool flashBootLoader = (flags & 8) != 0;
  const std::string replacerName = flashBootLoader ? kFlashReplacerImageName : kNandReplacerImageName;
  const std::string changedName = (flags & 4) != 0 ? replacerName : std::string(kFirmwareImageName);

  emulator::MemoryImageSource source = samples;
  std::vector<std::uint8_t>& changed = source.images.at(changedName);
  for (std::size_t i = patch; i < size && offset + (i - patch) < changed.size(); ++i) {
    changed[offset + (i - patch)] ^= data[i];
  }
  const std::vector<std::uint8_t>& unchanged = samples.images.at(changedName);
  // Recorded: the unchanged image's digest, or the changed image's own.
  ImageDigests digests = sampleDigests;
  if ((flags & 1) == 0) {
    Sha256Digest& recorded = changedName == kFirmwareImageName ? digests.firmware
                             : flashBootLoader                 ? digests.flashReplacer
                                                               : digests.nandReplacer;
    recorded = Sha256(changed);
  }
  const bool changedMatches = (flags & 1) == 0 || changed == unchanged;
  if (cut != 0 && cut < changed.size()) changed.resize(changed.size() - cut);
  const bool changedWhole = changed.size() >= kStoredImageSize;

  FlashImage firmware{};
  VersionWord offered = 0;
  VersionWord carried = 0;
  const bool firmwareLoaded = LoadFirmwareImage(source, digests, firmware, offered, carried);
  const bool firmwareChanged = changedName == kFirmwareImageName;
  Check(firmwareLoaded == (!firmwareChanged || (changedWhole && changedMatches)),
        "the firmware loaded when it should not, or not when it should");
  if (!firmwareLoaded) return 0;

  // Descrambling is its own inverse, and the stored bytes are what it undid.
  const std::vector<std::uint8_t>& stored = source.images.at(kFirmwareImageName);
  FlashImage again = firmware;
  ScrambleBytes(again);
  Check(std::equal(again.begin(), again.end(), stored.begin()), "descrambling is not undone by scrambling");
  Check(offered == GetLe16(firmware, kFirmwareVersionOffset), "the offered version is not at its offset");
  Check(carried == GetLe16(firmware, kCarriedBootLoaderVersionOffset), "the carried version is not at its offset");

  const VersionWord bootLoader = flashBootLoader ? kFlashReplacedBootLoaderVersion : VersionWord{0x00FF};
  FlashImage replacer{};
  const bool replacerLoaded = LoadReplacerImage(source, digests, bootLoader, firmware, replacer);
  Check(replacerLoaded == (firmwareChanged || (changedWhole && changedMatches)),
        "the replacer loaded when it should not, or not when it should");
  if (!replacerLoaded) return 0;
  FlashImage plain{};
  const std::vector<std::uint8_t>& storedReplacer = source.images.at(replacerName);
  std::copy_n(storedReplacer.begin(), plain.size(), plain.begin());
  ScrambleBytes(plain);
  for (std::size_t i = 0; i < replacer.size(); ++i) {
    std::uint8_t expected = plain[i];
    if (i >= kReplacerPayloadOffset && i < kReplacerPayloadOffset + kBootLoaderPayloadSize) {
      expected = firmware[kBootLoaderPayloadOffset + (i - kReplacerPayloadOffset)];
    }
    for (std::size_t s = 0; s < kFirmwareSpliceSources.size(); ++s) {
      if (i == kReplacerSpliceOffset + s) expected = firmware[kFirmwareSpliceSources[s]];
    }
    Check(replacer[i] == expected, "a replacer byte is neither its own nor the firmware's spliced in");
  }
  return 0;
}
