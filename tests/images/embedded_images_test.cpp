// Images embedded by the build (objcopy on real executables): the fixtures of
// tests/images/CMakeLists.txt, the shared sample fixture, and k24update itself.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/sha256.h"
#include "images/descrambler.h"
#include "images/elf_sections.h"
#include "images/image_digests.h"
#include "images/image_layout.h"
#include "images/image_source.h"
#include "images/image_store.h"
#include "tests/images/elf_file_builder.h"
#include "tests/images/test_images.h"
#include "tools/sample_images.h"

namespace k24::test {
namespace {

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
  std::vector<std::uint8_t> bytes = ReadWholeFile(path);
  EXPECT_FALSE(bytes.empty()) << "cannot read " << path;
  return bytes;
}

// True when `stored` holds the whole stored file.
bool HoldsStoredFile(const StoredImage& stored, const std::string& storedPath) {
  const std::vector<std::uint8_t> file = ReadFileBytes(storedPath);
  return std::ranges::equal(stored, file);
}

// The digests the build records for these stored files.
ImageDigests DigestsOfFiles(const std::string& firmware, const std::string& nandReplacer,
                            const std::string& flashReplacer) {
  ImageDigests digests;
  digests.firmware = Sha256(ReadFileBytes(firmware));
  digests.nandReplacer = Sha256(ReadFileBytes(nandReplacer));
  digests.flashReplacer = Sha256(ReadFileBytes(flashReplacer));
  return digests;
}

const std::string kSampleFwc = std::string(K24_SAMPLE_IMAGE_DIR) + "/FWC.bin";
const std::string kSampleBrc = std::string(K24_SAMPLE_IMAGE_DIR) + "/BRC.bin";
const std::string kSampleBrc20 = std::string(K24_SAMPLE_IMAGE_DIR) + "/BRC20.bin";

struct Loaded {
  bool ok = false;
  FlashImage image{};
  VersionWord firmwareVersion = 0;
  VersionWord bootLoaderVersion = 0;
};

Loaded LoadFirmware(ImageSource& source, const ImageDigests& digests) {
  Loaded loaded;
  loaded.ok = LoadFirmwareImage(source, digests, loaded.image, loaded.firmwareVersion, loaded.bootLoaderVersion);
  return loaded;
}

TEST(EmbeddedImages, GivenFilesAreFoundByName) {
  struct Case {
    const char* name;
    std::string storedFile;
  };
  // The fixture carries the two sample replacers under each other's names.
  const std::string givenFwc = std::string(K24_TEST_IMAGE_DIR) + "/FWC-3.4.bin";
  const Case cases[] = {
      {"FWC", givenFwc},
      {"BRC", kSampleBrc20},
      {"BRC20", kSampleBrc},
  };
  const std::unique_ptr<ImageSource> source = OpenExecutableImageSource(K24_FIXTURE_GIVEN);
  for (const Case& c : cases) {
    const auto stored = std::make_unique<StoredImage>();
    ASSERT_TRUE(source->Read(c.name, *stored)) << c.name;
    EXPECT_TRUE(HoldsStoredFile(*stored, c.storedFile)) << c.name << " should hold " << c.storedFile;
  }

  const ImageDigests digests = DigestsOfFiles(givenFwc, kSampleBrc20, kSampleBrc);
  const Loaded firmware = LoadFirmware(*source, digests);
  ASSERT_TRUE(firmware.ok);
  EXPECT_EQ(firmware.firmwareVersion, 0x0304);  // offers 3.4
  EXPECT_EQ(firmware.bootLoaderVersion, kGivenFirmwareFields.carriedBootLoaderVersion);
  EXPECT_TRUE(firmware.image == BuildSampleFirmwareImage(kGivenFirmwareFields));

  FlashImage replacer{};
  ASSERT_TRUE(LoadReplacerImage(*source, digests, 0x0100, firmware.image, replacer));
  const FlashImage underBrc20 = BuildSampleNandReplacerImage();
  EXPECT_TRUE(std::equal(replacer.begin() + 0x2A00, replacer.end(), underBrc20.begin() + 0x2A00));
}

TEST(EmbeddedImages, FixturesWithAMissingOrShortImageFailToLoad) {
  FlashImage image{};
  const ImageDigests samples = DigestsOfFiles(kSampleFwc, kSampleBrc, kSampleBrc20);
  EXPECT_FALSE(LoadFirmware(*OpenExecutableImageSource(K24_FIXTURE_NO_FIRMWARE), samples).ok);
  EXPECT_FALSE(LoadFirmware(*OpenExecutableImageSource(K24_FIXTURE_SHORT_FIRMWARE), samples).ok);

  const std::unique_ptr<ImageSource> noReplacers = OpenExecutableImageSource(K24_FIXTURE_NO_REPLACERS);
  const Loaded firmware = LoadFirmware(*noReplacers, samples);
  ASSERT_TRUE(firmware.ok);
  EXPECT_FALSE(LoadReplacerImage(*noReplacers, samples, 0x00FF, firmware.image, image));
  EXPECT_FALSE(LoadReplacerImage(*noReplacers, samples, 0x0100, firmware.image, image));
}

// The fixture other tests use as "the executable": it must carry the samples.
TEST(EmbeddedImages, SampleFixtureCarriesTheSampleImages) {
  const std::unique_ptr<ImageSource> source = OpenExecutableImageSource(K24_SAMPLE_IMAGE_FIXTURE);
  const ImageDigests samples = DigestsOfFiles(kSampleFwc, kSampleBrc, kSampleBrc20);
  const Loaded firmware = LoadFirmware(*source, samples);
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
    ASSERT_TRUE(LoadReplacerImage(*source, samples, c.currentBootLoader, firmware.image, replacer));
    EXPECT_TRUE(std::equal(replacer.begin() + 0x2A00, replacer.end(), c.replacer.begin() + 0x2A00));
  }
}

// The program the build makes carries the images the build was given (the
// samples unless K24_IMAGE_* named others), byte for byte, and the digests it
// recorded are theirs.
TEST(EmbeddedImages, K24updateCarriesTheEmbeddedImages) {
  struct Case {
    const char* name;
    const char* storedFile;
  };
  const Case cases[] = {
      {"FWC", K24_EMBEDDED_IMAGE_FWC}, {"BRC", K24_EMBEDDED_IMAGE_BRC}, {"BRC20", K24_EMBEDDED_IMAGE_BRC20}};
  const std::unique_ptr<ImageSource> source = OpenExecutableImageSource(K24UPDATE_PATH);
  for (const Case& c : cases) {
    const auto stored = std::make_unique<StoredImage>();
    ASSERT_TRUE(source->Read(c.name, *stored)) << c.name;
    EXPECT_TRUE(HoldsStoredFile(*stored, c.storedFile)) << c.name << " should hold " << c.storedFile;
    const Sha256Digest* recorded = RecordedDigest(EmbeddedImageDigests(), c.name);
    ASSERT_NE(recorded, nullptr) << c.name;
    EXPECT_EQ(Sha256Hex(*recorded), Sha256Hex(Sha256(ReadFileBytes(c.storedFile)))) << c.name;
  }

  const Loaded firmware = LoadFirmware(*source, EmbeddedImageDigests());
  ASSERT_TRUE(firmware.ok);
  std::vector<std::uint8_t> given = ReadFileBytes(K24_EMBEDDED_IMAGE_FWC);
  ASSERT_EQ(given.size(), kStoredImageSize);
  ScrambleBytes(std::span(given).first(kFlashImageSize));
  EXPECT_EQ(firmware.firmwareVersion, given[0x29F9] | (given[0x29FA] << 8));
  EXPECT_EQ(firmware.bootLoaderVersion, given[0xE000] | (given[0xE001] << 8));
  RecordProperty("k24update_firmware_version", firmware.firmwareVersion);
  // Known as samples by their bytes, also when given through K24_IMAGE_*.
  bool anySample = false;
  for (const char* embedded : {K24_EMBEDDED_IMAGE_FWC, K24_EMBEDDED_IMAGE_BRC, K24_EMBEDDED_IMAGE_BRC20}) {
    for (const std::string& sample : {kSampleFwc, kSampleBrc, kSampleBrc20}) {
      anySample = anySample || ReadFileBytes(embedded) == ReadFileBytes(sample);
    }
  }
  EXPECT_EQ(EmbeddedImagesAreSamples(), anySample);
  if (K24_EMBEDS_SAMPLE_IMAGES) {
    EXPECT_TRUE(EmbeddedImagesAreSamples());
  }
  if (K24_EMBEDS_SAMPLE_IMAGES) {
    EXPECT_EQ(firmware.firmwareVersion, kSampleFirmwareVersion);
    EXPECT_EQ(firmware.bootLoaderVersion, kSampleCarriedBootLoaderVersion);
    EXPECT_TRUE(firmware.image == BuildSampleFirmwareImage());
  }
}

// A copy of k24update with one bit of one embedded image changed, as on a bad
// disk or by tampering: the digests the build recorded in k24update refuse it.
TEST(EmbeddedImages, K24updateWithOneBitChangedInAnImageRefusesIt) {
  const std::vector<std::uint8_t> program = ReadFileBytes(K24UPDATE_PATH);
  ASSERT_FALSE(program.empty());
  const auto copyWithBitFlipped = [&program](const char* section, std::size_t offset) {
    std::vector<std::uint8_t> bytes = program;
    const std::optional<FileExtent> extent = FindElfSection(bytes, section);
    EXPECT_TRUE(extent && extent->size == kStoredImageSize) << section;
    if (extent) {
      bytes[static_cast<std::size_t>(extent->offset) + offset] ^= 0x10;
    }
    return WriteTempFile(std::string("k24update-flipped") + section, bytes);
  };
  const ImageDigests& recorded = EmbeddedImageDigests();

  // The copy as built loads, so what fails below is the changed bit.
  const std::unique_ptr<ImageSource> intact =
      OpenExecutableImageSource(WriteTempFile("k24update-copy", program));
  const Loaded firmware = LoadFirmware(*intact, recorded);
  ASSERT_TRUE(firmware.ok);
  FlashImage replacer{};
  ASSERT_TRUE(LoadReplacerImage(*intact, recorded, 0x0100, firmware.image, replacer));

  EXPECT_FALSE(LoadFirmware(*OpenExecutableImageSource(copyWithBitFlipped(".k24image.FWC", 0x8000)), recorded).ok);
  EXPECT_FALSE(LoadReplacerImage(*OpenExecutableImageSource(copyWithBitFlipped(".k24image.BRC20", 0x1000)),
                                 recorded, 0x0100, firmware.image, replacer));
  EXPECT_FALSE(LoadReplacerImage(*OpenExecutableImageSource(copyWithBitFlipped(".k24image.BRC", 0xFFFF)),
                                 recorded, 0x00FF, firmware.image, replacer));
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
}  // namespace k24::test
