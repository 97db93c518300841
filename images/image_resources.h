// The platform port that reads a named stored image out of the program's own
// executable file. On Linux the images are ELF sections of the executable
// (resources_elf.cpp); each is found by its section name, kImageSectionPrefix
// followed by the image name: ".k24image.FWC", ".k24image.BRC", ".k24image.BRC20".
// The build adds them (cmake/EmbedImages.cmake) as non-allocated sections, so
// they are never loaded into memory when the program runs.
#pragma once

#include <string>
#include <string_view>

#include "images/image_store.h"

namespace k24 {

// Must match the section names that cmake/EmbedImages.cmake gives objcopy.
inline constexpr std::string_view kImageSectionPrefix = ".k24image.";

// Copies the first kFlashImageSize bytes of the stored image `imageName`, still
// scrambled, from the executable file at `executablePath` into `image`. False
// when the file cannot be read, has no such image, or the image is shorter
// than kFlashImageSize; `image` is then left with unspecified contents.
bool ReadStoredImage(const std::string& executablePath, std::string_view imageName, FlashImage& image);

}  // namespace k24
