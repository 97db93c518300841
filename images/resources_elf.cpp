// Linux: the stored images are named sections of the executable's ELF file,
// read with plain file reads (the sections are never loaded into memory).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "images/elf_sections.h"
#include "images/image_resources.h"

namespace k24 {
namespace {

// Closes the descriptor on every way out.
struct OpenFile {
  int descriptor = -1;
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  explicit OpenFile(const std::string& path) : descriptor(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~OpenFile() {
    if (descriptor >= 0) {
      close(descriptor);
    }
  }
};

// Reads exactly `into.size()` bytes at `offset`, retrying short reads.
bool ReadFully(int descriptor, std::uint64_t offset, std::span<std::uint8_t> into) {
  std::size_t done = 0;
  while (done < into.size()) {
    const ssize_t got = pread(descriptor, into.data() + done, into.size() - done,
                              static_cast<off_t>(offset + done));
    if (got <= 0) {
      return false;  // an error, or the file shrank under us
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

bool ReadStoredImage(const std::string& executablePath, std::string_view imageName, FlashImage& image) {
  const OpenFile file(executablePath);
  if (file.descriptor < 0) {
    return false;
  }
  struct stat status {};
  if (fstat(file.descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) {
    return false;
  }
  const std::uint64_t fileSize = static_cast<std::uint64_t>(status.st_size);
  const ReadAtFunction readAt = [&file](std::uint64_t offset, std::span<std::uint8_t> into) {
    return ReadFully(file.descriptor, offset, into);
  };

  std::string sectionName(kImageSectionPrefix);
  sectionName += imageName;
  const std::optional<FileExtent> section = FindElfSection(readAt, fileSize, sectionName);
  // The extent lies within the file, so reading its first image's worth is safe.
  if (!section || section->size < image.size()) {
    return false;
  }
  return ReadFully(file.descriptor, section->offset, image);
}

}  // namespace k24
