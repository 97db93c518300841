// An image source in memory, for tests: the stored images by name, which a
// test may remove, shorten or damage before the dialogue reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "images/image_digests.h"
#include "images/image_source.h"

namespace k24::emulator {

class MemoryImageSource : public ImageSource {
 public:
  // Read fails for a name that is not here or whose bytes are fewer than
  // kStoredImageSize; of longer ones the first kStoredImageSize are given.
  bool Read(std::string_view name, StoredImage& stored) override;

  std::map<std::string, std::vector<std::uint8_t>, std::less<>> images;
  int reads = 0;
};

// The three stored sample images of tools/sample_images.h.
MemoryImageSource SampleImageSource();

// The digests of the images in `source` as they are now, as the build records
// them; an image not there gets an all-zero digest.
ImageDigests DigestsOf(const MemoryImageSource& source);

// Inverts bit `bit` (0-7) of byte `offset` of the image `name`.
void FlipBit(MemoryImageSource& source, const std::string& name, std::size_t offset, int bit = 0);

}  // namespace k24::emulator
