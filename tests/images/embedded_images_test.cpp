// Images embedded by the build (objcopy on real executables): the fixtures of
// tests/images/CMakeLists.txt, the shared sample fixture, and k24update itself.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "images/descrambler.h"
#include "images/image_layout.h"
#include "images/image_resources.h"
#include "images/image_store.h"
#include "tests/images/elf_file_builder.h"
#include "tests/images/test_images.h"
#include "tools/sample_images.h"

namespace k24 {
namespace {

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
  std::vector<std::uint8_t> bytes = test::ReadWholeFile(path);
  EXPECT_FALSE(bytes.empty()) << "cannot read " << path;
  return bytes;
}

// True when `image` holds the first kFlashImageSize bytes of the stored file.
bool HoldsStoredFile(const FlashImage& image, const std::string& storedPath) {
  const std::vector<std::uint8_t> stored = ReadFileBytes(storedPath);
  return stored.size() >= image.size() && std::equal(image.begin(), image.end(), stored.begin());
}

struct Loaded {
  bool ok = false;
  FlashImage image{};
  VersionWord firmwareVersion = 0;
  VersionWord bootLoaderVersion = 0;
};

Loaded LoadFirmware(const std::string& path) {
  Loaded loaded;
  loaded.ok = LoadFirmwareImage(path, loaded.image, loaded.firmwareVersion, loaded.bootLoaderVersion);
  return loaded;
}

TEST(EmbeddedImages, GivenFilesAreFoundByName) {
  struct Case {
    const char* name;
    std::string storedFile;
  };
  // The fixture carries the two sample replacers under each other's names.
  const Case cases[] = {
      {"FWC", std::string(K24_TEST_IMAGE_DIR) + "/FWC-3.4.bin"},
      {"BRC", std::string(K24_SAMPLE_IMAGE_DIR) + "/BRC20.bin"},
      {"BRC20", std::string(K24_SAMPLE_IMAGE_DIR) + "/BRC.bin"},
  };
  for (const Case& c : cases) {
    FlashImage image{};
    ASSERT_TRUE(ReadStoredImage(K24_FIXTURE_GIVEN, c.name, image)) << c.name;
    EXPECT_TRUE(HoldsStoredFile(image, c.storedFile)) << c.name << " should hold " << c.storedFile;
  }

  const Loaded firmware = LoadFirmware(K24_FIXTURE_GIVEN);
  ASSERT_TRUE(firmware.ok);
  EXPECT_EQ(firmware.firmwareVersion, 0x0304);  // offers 3.4
  EXPECT_EQ(firmware.bootLoaderVersion, kGivenFirmwareFields.carriedBootLoaderVersion);
  EXPECT_TRUE(firmware.image == BuildSampleFirmwareImage(kGivenFirmwareFields));

  FlashImage replacer{};
  ASSERT_TRUE(LoadReplacerImage(K24_FIXTURE_GIVEN, 0x0100, firmware.image, replacer));
  const FlashImage underBrc20 = BuildSampleNandReplacerImage();
  EXPECT_TRUE(std::equal(replacer.begin() + 0x2A00, replacer.end(), underBrc20.begin() + 0x2A00));
}

TEST(EmbeddedImages, FixturesWithAMissingOrShortImageFailToLoad) {
  FlashImage image{};
  EXPECT_FALSE(LoadFirmware(K24_FIXTURE_NO_FIRMWARE).ok);
  EXPECT_FALSE(LoadFirmware(K24_FIXTURE_SHORT_FIRMWARE).ok);

  const Loaded firmware = LoadFirmware(K24_FIXTURE_NO_REPLACERS);
  ASSERT_TRUE(firmware.ok);
  EXPECT_FALSE(LoadReplacerImage(K24_FIXTURE_NO_REPLACERS, 0x00FF, firmware.image, image));
  EXPECT_FALSE(LoadReplacerImage(K24_FIXTURE_NO_REPLACERS, 0x0100, firmware.image, image));
}

// The fixture other tests use as "the executable": it must carry the samples.
TEST(EmbeddedImages, SampleFixtureCarriesTheSampleImages) {
  const Loaded firmware = LoadFirmware(K24_SAMPLE_IMAGE_FIXTURE);
  ASSERT_TRUE(firmware.ok);
  EXPECT_EQ(firmware.firmwareVersion, kSampleFirmwareVersion);
  EXPECT_EQ(firmware.bootLoaderVersion, kSampleCarriedBootLoaderVersion);
  EXPECT_TRUE(firmware.image == BuildSampleFirmwareImage());

  struct Case {
    VersionWord currentBootLoader;
    FlashImage replacer;
  };
  const Case cases[] = {{0x00FF, BuildSampleNandReplacerImage()}, {0x0100, BuildSampleFlashReplacerImage()}};
  for (const Case& c : cases) {
    FlashImage replacer{};
    ASSERT_TRUE(LoadReplacerImage(K24_SAMPLE_IMAGE_FIXTURE, c.currentBootLoader, firmware.image, replacer));
    EXPECT_TRUE(std::equal(replacer.begin() + 0x2A00, replacer.end(), c.replacer.begin() + 0x2A00));
  }
}

// The program the build makes carries the images the build was given (the
// samples unless K24_IMAGE_* named others), byte for byte.
TEST(EmbeddedImages, K24updateCarriesTheEmbeddedImages) {
  struct Case {
    const char* name;
    const char* storedFile;
  };
  const Case cases[] = {
      {"FWC", K24_EMBEDDED_IMAGE_FWC}, {"BRC", K24_EMBEDDED_IMAGE_BRC}, {"BRC20", K24_EMBEDDED_IMAGE_BRC20}};
  for (const Case& c : cases) {
    FlashImage image{};
    ASSERT_TRUE(ReadStoredImage(K24UPDATE_PATH, c.name, image)) << c.name;
    EXPECT_TRUE(HoldsStoredFile(image, c.storedFile)) << c.name << " should hold " << c.storedFile;
  }

  const Loaded firmware = LoadFirmware(K24UPDATE_PATH);
  ASSERT_TRUE(firmware.ok);
  std::vector<std::uint8_t> given = ReadFileBytes(K24_EMBEDDED_IMAGE_FWC);
  ASSERT_EQ(given.size(), kStoredImageSize);
  ScrambleBytes(std::span(given).first(kFlashImageSize));
  EXPECT_EQ(firmware.firmwareVersion, given[0x29F9] | (given[0x29FA] << 8));
  EXPECT_EQ(firmware.bootLoaderVersion, given[0xE000] | (given[0xE001] << 8));
  RecordProperty("k24update_firmware_version", firmware.firmwareVersion);
  if (K24_EMBEDS_SAMPLE_IMAGES) {
    EXPECT_EQ(firmware.firmwareVersion, kSampleFirmwareVersion);
    EXPECT_EQ(firmware.bootLoaderVersion, kSampleCarriedBootLoaderVersion);
    EXPECT_TRUE(firmware.image == BuildSampleFirmwareImage());
  }
}

TEST(SampleImages, CarryTheDocumentedFieldsAndDistinctPatterns) {
  const FlashImage firmware = BuildSampleFirmwareImage();
  EXPECT_EQ(firmware[0x29F9], 0x00);
  EXPECT_EQ(firmware[0x29FA], 0x02);
  EXPECT_EQ(firmware[0xE000], 0x02);
  EXPECT_EQ(firmware[0xE001], 0x01);
  EXPECT_EQ(std::string(firmware.begin() + 0x29FB, firmware.begin() + 0x2A00), "K24A1");
  // The flash-path replacer puts these bytes at recorder flash 0x29FB, where
  // the compatibility check looks for the model identity.
  EXPECT_NE(std::string(firmware.begin() + 0xF9FB, firmware.begin() + 0xF9FE), "K24");

  const FlashImage images[] = {firmware, BuildSampleNandReplacerImage(), BuildSampleFlashReplacerImage()};
  for (const FlashImage& image : images) {
    const auto distinct = std::count_if(image.begin(), image.end(), [&](std::uint8_t b) { return b != image[0]; });
    EXPECT_GT(distinct, 0) << "not all one byte";
  }
  EXPECT_FALSE(images[0] == images[1]);
  EXPECT_FALSE(images[0] == images[2]);
  EXPECT_FALSE(images[1] == images[2]);

  const std::vector<std::uint8_t> stored = StoreImage(firmware);
  ASSERT_EQ(stored.size(), kStoredImageSize);
  EXPECT_EQ(stored[0], firmware[0] ^ 0xD4);  // scrambled from the first keystream byte
  EXPECT_TRUE(std::all_of(stored.begin() + kFlashImageSize, stored.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

}  // namespace
}  // namespace k24
