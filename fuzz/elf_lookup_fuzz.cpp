// Fuzz target: the image lookup in an executable file of arbitrary bytes.
// FindElfSection must never read outside the file and only ever return an
// extent inside it; the image source built on it must hand out exactly the
// section's first bytes, or fail.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "images/elf_sections.h"
#include "images/image_source_elf.h"

namespace {

void Check(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "elf_lookup: %s\n", what);
    std::abort();
  }
}

const char* const kNames[] = {"FWC", "BRC", "BRC20"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);

  // Every read the reader makes lies within the file; some fail (the file
  // shrank, a disk error), chosen by the file's own last byte.
  const unsigned failEvery = size == 0 ? 0 : data[size - 1] % 5;  // 0: none fails
  unsigned reads = 0;
  const k24::ReadAtFunction readAt = [&](std::uint64_t offset, std::span<std::uint8_t> into) {
    Check(offset <= size && into.size() <= size - offset, "a read outside the file");
    ++reads;
    if (failEvery != 0 && reads % failEvery == 0) return false;
    std::memcpy(into.data(), data + offset, into.size());
    return true;
  };

  for (const char* name : kNames) {
    const std::string section = std::string(k24::kImageSectionPrefix) + name;
    const std::optional<k24::FileExtent> found = k24::FindElfSection(file, section);
    if (found) {
      Check(found->offset <= size && found->size <= size - found->offset, "an extent outside the file");
    }
    // Through the read seam, with failing reads: it may only find less.
    const std::optional<k24::FileExtent> seamed = k24::FindElfSection(readAt, size, section);
    if (seamed) {
      Check(found && seamed->offset == found->offset && seamed->size == found->size,
            "the read seam found another extent than the bytes in memory");
    }

    // The image source: the first kStoredImageSize bytes of the section, or failure.
    reads = 0;
    const auto source = k24::MakeElfImageSource(readAt, size);
    k24::StoredImage stored{};
    if (source->Read(name, stored)) {
      Check(found.has_value() && found->size >= stored.size(), "an image from a section too short or not there");
      Check(std::memcmp(stored.data(), data + found->offset, stored.size()) == 0,
            "an image with other bytes than its section's");
    }
  }
  return 0;
}
