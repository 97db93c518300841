// The image source over the executable's ELF file: opened once, it keeps
// reading the file it opened; and a read that fails part-way through an image
// gives no image.
#include "images/image_source_elf.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/images/elf_file_builder.h"

namespace k24::test {
namespace {

std::vector<std::uint8_t> Pattern(std::uint8_t salt) {
  std::vector<std::uint8_t> bytes(kStoredImageSize);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 13) ^ (i >> 8) ^ salt);
  }
  return bytes;
}

ElfFile FileWithImages(std::uint8_t salt) {
  return BuildElfFile({{".k24image.FWC", Pattern(salt)}, {".k24image.BRC20", Pattern(salt ^ 0x5A)}});
}

// The program reads its images from the file it was started from, even when
// another file is renamed over that path while it waits (an update of the
// package, or someone swapping the file): the source opened at start keeps
// the original.
TEST(ExecutableImageSource, AFileRenamedOverThePathAfterOpeningIsNotRead) {
  const std::string path = WriteTempFile("program.elf", FileWithImages(0x11).bytes);
  const std::unique_ptr<ImageSource> source = OpenExecutableImageSource(path);

  const std::string other = WriteTempFile("other.elf", FileWithImages(0x77).bytes);
  ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);

  for (const char* name : {"FWC", "BRC20"}) {
    const auto stored = std::make_unique<StoredImage>();
    ASSERT_TRUE(source->Read(name, *stored)) << name;
    const std::vector<std::uint8_t> original = Pattern(name == std::string("FWC") ? 0x11 : 0x11 ^ 0x5A);
    EXPECT_TRUE(std::equal(stored->begin(), stored->end(), original.begin())) << name << " is not the original's";
  }
  // A source opened now reads the new file: the rename did happen.
  const auto stored = std::make_unique<StoredImage>();
  ASSERT_TRUE(OpenExecutableImageSource(path)->Read("FWC", *stored));
  EXPECT_EQ((*stored)[1], Pattern(0x77)[1]);
}

TEST(ExecutableImageSource, AFileThatCannotBeOpenedReadsNothing) {
  const auto stored = std::make_unique<StoredImage>();
  for (const std::string& path : {std::string("/nonexistent/k24update"), ::testing::TempDir(), std::string()}) {
    EXPECT_FALSE(OpenExecutableImageSource(path)->Read("FWC", *stored)) << "'" << path << "'";
  }
}

// A read that fails somewhere inside an image's bytes (an I/O error, a file
// cut short under the program) fails that image's Read, even when the reader
// has already filled part of the destination: no partial image is used. The
// headers and the other image still read.
TEST(ElfImageSource, AReadFailingInsideAnImageFailsItsRead) {
  const ElfFile file = FileWithImages(0x22);
  const std::optional<FileExtent> firmware = FindElfSection(file.bytes, ".k24image.FWC");
  ASSERT_TRUE(firmware);
  struct Case {
    const char* what;
    std::uint64_t failingByte;  // within the file
  };
  const Case cases[] = {
      {"first byte", firmware->offset},
      {"middle", firmware->offset + kStoredImageSize / 2},
      {"first unused byte", firmware->offset + kFlashImageSize},
      {"last byte", firmware->offset + kStoredImageSize - 1},
  };
  for (const Case& c : cases) {
    int failures = 0;
    // Copies what lies before the failing byte, as a short read would, then fails.
    const ReadAtFunction readAt = [&](std::uint64_t offset, std::span<std::uint8_t> into) {
      for (std::size_t i = 0; i < into.size(); ++i) {
        if (offset + i == c.failingByte) {
          ++failures;
          return false;
        }
        into[i] = file.bytes[static_cast<std::size_t>(offset + i)];
      }
      return true;
    };
    const std::unique_ptr<ImageSource> source = MakeElfImageSource(readAt, file.bytes.size());
    const auto stored = std::make_unique<StoredImage>();
    EXPECT_FALSE(source->Read("FWC", *stored)) << c.what;
    EXPECT_EQ(failures, 1) << c.what;
    EXPECT_TRUE(source->Read("BRC20", *stored)) << c.what;
  }
}

}  // namespace
}  // namespace k24::test
