// The port through which the image store reads the stored images the program
// carries. The program makes one at start from its own executable file
// (image_source_elf.cpp on Linux) and hands it to the dialogue; tests hand an
// in-memory one (testing/memory_image_source.h).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "images/image_store.h"

namespace k24 {

// A whole stored image, still scrambled: the digest the build records covers
// all of it, though only the first kFlashImageSize bytes are used.
using StoredImage = std::array<std::uint8_t, kStoredImageSize>;

class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // Copies the stored image `name` ("FWC", "BRC" or "BRC20") into `stored`.
  // False when it is missing, shorter than kStoredImageSize or cannot be read;
  // `stored` is then left with unspecified contents.
  virtual bool Read(std::string_view name, StoredImage& stored) = 0;
};

// The images carried in the executable file at `path`, opened now, once: every
// later Read reads that same file, whatever is renamed over the path in the
// meantime. When the file cannot be opened, every Read fails.
std::unique_ptr<ImageSource> OpenExecutableImageSource(const std::string& path);

}  // namespace k24
