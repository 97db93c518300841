// Linux: the images are named sections of the executable's ELF file, read with
// plain file reads through one descriptor opened at start.
#include "images/image_source_elf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>

namespace k24 {
namespace {

class ElfImageSource : public ImageSource {
 public:
  ElfImageSource(ReadAtFunction readAt, std::uint64_t fileSize) : readAt_(std::move(readAt)), fileSize_(fileSize) {}

  bool Read(std::string_view name, StoredImage& stored) override {
    std::string sectionName(kImageSectionPrefix);
    sectionName += name;
    const std::optional<FileExtent> section = FindElfSection(readAt_, fileSize_, sectionName);
    // The extent lies within the file, so reading its first image's worth is safe.
    if (!section || section->size < stored.size()) {
      return false;
    }
    return readAt_(section->offset, stored);
  }

 private:
  ReadAtFunction readAt_;
  std::uint64_t fileSize_;
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

// The executable file, held open for the whole run: the descriptor keeps the
// file it was opened on, so a file renamed over the path later is never read.
class ExecutableImageSource : public ImageSource {
 public:
  explicit ExecutableImageSource(const std::string& path)
      : descriptor_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat status {};
    if (descriptor_ < 0 || fstat(descriptor_, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) {
      return;
    }
    const int descriptor = descriptor_;
    elf_ = MakeElfImageSource(
        [descriptor](std::uint64_t offset, std::span<std::uint8_t> into) {
          return ReadFully(descriptor, offset, into);
        },
        static_cast<std::uint64_t>(status.st_size));
  }
  ExecutableImageSource(const ExecutableImageSource&) = delete;
  ExecutableImageSource& operator=(const ExecutableImageSource&) = delete;
  ~ExecutableImageSource() override {
    if (descriptor_ >= 0) {
      close(descriptor_);
    }
  }

  bool Read(std::string_view name, StoredImage& stored) override {
    return elf_ != nullptr && elf_->Read(name, stored);
  }

 private:
  int descriptor_;
  std::unique_ptr<ImageSource> elf_;  // none when the file could not be opened as a regular file
};

}  // namespace

std::unique_ptr<ImageSource> MakeElfImageSource(ReadAtFunction readAt, std::uint64_t fileSize) {
  return std::make_unique<ElfImageSource>(std::move(readAt), fileSize);
}

std::unique_ptr<ImageSource> OpenExecutableImageSource(const std::string& path) {
  return std::make_unique<ExecutableImageSource>(path);
}

}  // namespace k24
