// The images as resources of k24update.exe: found by name, equal to the stored
// image files the build was given, descrambled as those files are; a short or
// missing resource, or a file that cannot be loaded, fails the read.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "images/descrambler.h"
#include "images/image_digests.h"
#include "images/image_source.h"
#include "images/image_store.h"

namespace k24 {
namespace {

std::vector<std::uint8_t> ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Named {
  const char* name;
  const char* file;
};

TEST(ImageResources, K24updateCarriesEachStoredImageUnderItsName) {
  std::unique_ptr<ImageSource> source = OpenExecutableImageSource(K24_UPDATER);
  for (const Named& image : {Named{"FWC", K24_EMBEDDED_IMAGE_FWC}, Named{"BRC", K24_EMBEDDED_IMAGE_BRC},
                             Named{"BRC20", K24_EMBEDDED_IMAGE_BRC20}}) {
    SCOPED_TRACE(image.name);
    const std::vector<std::uint8_t> file = ReadFile(image.file);
    ASSERT_EQ(file.size(), kStoredImageSize);
    StoredImage stored{};
    ASSERT_TRUE(source->Read(image.name, stored));
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), file.begin()));
  }
  StoredImage stored{};
  EXPECT_FALSE(source->Read("FWC2", stored));
}

TEST(ImageResources, K24updateLoadsItsFirmwareDescrambledAsTheFileIs) {
  std::unique_ptr<ImageSource> source = OpenExecutableImageSource(K24_UPDATER);
  FlashImage loaded{};
  VersionWord firmwareVersion = 0;
  VersionWord carriedBootLoader = 0;
  ASSERT_TRUE(LoadFirmwareImage(*source, EmbeddedImageDigests(), loaded, firmwareVersion, carriedBootLoader));
  const std::vector<std::uint8_t> file = ReadFile(K24_EMBEDDED_IMAGE_FWC);
  ASSERT_GE(file.size(), kFlashImageSize);
  FlashImage expected{};
  std::copy(file.begin(), file.begin() + kFlashImageSize, expected.begin());
  ScrambleBytes(expected);  // the same operation descrambles
  EXPECT_EQ(loaded, expected);
}

TEST(ImageResources, AShortOrMissingResourceOrNoFileFailsTheRead) {
  std::unique_ptr<ImageSource> fixture = OpenExecutableImageSource(K24_IMAGE_FIXTURE);
  StoredImage stored{};
  EXPECT_FALSE(fixture->Read("FWC", stored));  // present, but short
  EXPECT_TRUE(fixture->Read("BRC", stored));   // a whole one in the same file reads
  std::unique_ptr<ImageSource> missing = OpenExecutableImageSource("Z:/nonexistent/k24update.exe");
  EXPECT_FALSE(missing->Read("FWC", stored));
}

}  // namespace
}  // namespace k24
