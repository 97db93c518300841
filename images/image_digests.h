// The SHA-256 of each stored image as the build made it, so that an image
// damaged since (on disk, in a copy, by tampering) is never used.
#pragma once

#include <string_view>

#include "common/sha256.h"

namespace k24 {

struct ImageDigests {
  Sha256Digest firmware{};       // "FWC"
  Sha256Digest nandReplacer{};   // "BRC"
  Sha256Digest flashReplacer{};  // "BRC20"
};

// The digest recorded for the image `name`, or nullptr for a name that is none
// of the three.
const Sha256Digest* RecordedDigest(const ImageDigests& digests, std::string_view name);

// The digests of the images embedded in k24update, and whether any of those is
// one of the sample images of the same build (tools/sample_images.h), whether
// the build made them or was given them through K24_IMAGE_*. Defined by a source
// file the build generates from the image files (cmake/RecordImageDigests.cmake);
// linked into k24update and the tests of the embedded images only.
const ImageDigests& EmbeddedImageDigests();
bool EmbeddedImagesAreSamples();

}  // namespace k24
