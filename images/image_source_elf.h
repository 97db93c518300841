// Linux: the stored images are ELF sections of the executable file, each named
// kImageSectionPrefix followed by the image name: ".k24image.FWC",
// ".k24image.BRC", ".k24image.BRC20". The build adds them
// (cmake/EmbedImages.cmake) as non-allocated sections, so they are never
// loaded into memory when the program runs; they are read from the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "images/elf_sections.h"
#include "images/image_source.h"

namespace k24 {

// Must match the section names that cmake/EmbedImages.cmake gives objcopy.
inline constexpr std::string_view kImageSectionPrefix = ".k24image.";

// The images in an ELF file of `fileSize` bytes that `readAt` reads. A section
// shorter than kStoredImageSize, or a read that fails anywhere in it, fails
// that Read.
std::unique_ptr<ImageSource> MakeElfImageSource(ReadAtFunction readAt, std::uint64_t fileSize);

}  // namespace k24
