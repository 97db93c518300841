// The image store over small ELF files built in memory: versions, the splice,
// the replacer choice, what counts as a missing or short image, and the
// digest check.
#include "images/image_store.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/sha256.h"
#include "images/descrambler.h"
#include "images/image_digests.h"
#include "images/image_source.h"
#include "tests/images/elf_file_builder.h"

namespace k24::test {
namespace {


// A plain (descrambled) image whose every byte is derived from its own offset,
// so that a byte from the wrong offset, or from the other image, shows.
FlashImage OffsetEncodedImage(std::uint8_t salt) {
  FlashImage image{};
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<std::uint8_t>((i & 0xFFu) ^ (i >> 8) ^ salt);
  }
  return image;
}

// As the build stores it: 65,536 bytes, the first 64,512 scrambled.
std::vector<std::uint8_t> Stored(const FlashImage& image, std::size_t size = kStoredImageSize) {
  std::vector<std::uint8_t> stored(std::max(size, image.size()), 0xFF);
  std::copy(image.begin(), image.end(), stored.begin());
  ScrambleBytes(std::span(stored).first(image.size()));
  stored.resize(size);
  return stored;
}

ElfSection Image(const std::string& name, std::vector<std::uint8_t> stored) {
  return ElfSection{".k24image." + name, std::move(stored)};
}

// An ELF file carrying `sections`, and the digests the build would record for
// the images among them.
struct Carried {
  std::unique_ptr<ImageSource> source;
  ImageDigests digests;
};

Carried Carry(const std::vector<ElfSection>& sections, ElfClass elfClass = ElfClass::k64) {
  Carried carried{ElfSourceOf(BuildElfFile(sections, elfClass).bytes), {}};
  for (const ElfSection& section : sections) {
    if (section.name == ".k24image.FWC") carried.digests.firmware = Sha256(section.contents);
    if (section.name == ".k24image.BRC") carried.digests.nandReplacer = Sha256(section.contents);
    if (section.name == ".k24image.BRC20") carried.digests.flashReplacer = Sha256(section.contents);
  }
  return carried;
}

TEST(ImageStore, FirmwareVersionsAreLittleEndianWordsReadAfterDescrambling) {
  struct Case {
    std::uint8_t versionLow, versionHigh, bootLow, bootHigh;
    VersionWord firmwareVersion, bootLoaderVersion;
  };
  const Case cases[] = {
      {0x07, 0x02, 0x02, 0x01, 0x0207, 0x0102},  // offers 2.7
      {0x00, 0x00, 0x00, 0x00, 0x0000, 0x0000},
      {0xFF, 0x01, 0x10, 0xFE, 0x01FF, 0xFE10},
  };
  for (const Case& c : cases) {
    FlashImage firmware = OffsetEncodedImage(0);
    firmware[0x29F9] = c.versionLow;
    firmware[0x29FA] = c.versionHigh;
    firmware[0xE000] = c.bootLow;
    firmware[0xE001] = c.bootHigh;
    for (ElfClass elfClass : {ElfClass::k64, ElfClass::k32}) {
      const Carried carried = Carry({Image("FWC", Stored(firmware))}, elfClass);
      FlashImage loaded{};
      VersionWord firmwareVersion = 0xDEAD;
      VersionWord bootLoaderVersion = 0xDEAD;
      ASSERT_TRUE(LoadFirmwareImage(*carried.source, carried.digests, loaded, firmwareVersion, bootLoaderVersion));
      EXPECT_EQ(firmwareVersion, c.firmwareVersion);
      EXPECT_EQ(bootLoaderVersion, c.bootLoaderVersion);
      EXPECT_TRUE(loaded == firmware);
    }
  }
}

// Which image each replacer cell comes from, and from where in it.
enum class From { kReplacer, kFirmware };
struct SpliceRange {
  std::size_t first, last;  // replacer offsets, inclusive
  From from;
  std::size_t sourceFirst;
};
constexpr SpliceRange kSpliceTable[] = {
    {0x0000, 0x0EFF, From::kReplacer, 0x0000}, {0x0F00, 0x0F00, From::kFirmware, 0x0001},
    {0x0F01, 0x0F01, From::kFirmware, 0x0002}, {0x0F02, 0x0F02, From::kFirmware, 0x0044},
    {0x0F03, 0x0F03, From::kFirmware, 0x0045}, {0x0F04, 0x0FFF, From::kReplacer, 0x0F04},
    {0x1000, 0x29FF, From::kFirmware, 0xE000}, {0x2A00, 0xFBFF, From::kReplacer, 0x2A00},
};

TEST(ImageStore, ReplacerIsSplicedCellByCell) {
  const FlashImage firmware = OffsetEncodedImage(0x00);
  const FlashImage replacer = OffsetEncodedImage(0x5A);
  const Carried carried = Carry({Image("FWC", Stored(firmware)), Image("BRC20", Stored(replacer))});

  FlashImage loadedFirmware{};
  VersionWord firmwareVersion = 0;
  VersionWord bootLoaderVersion = 0;
  ASSERT_TRUE(
      LoadFirmwareImage(*carried.source, carried.digests, loadedFirmware, firmwareVersion, bootLoaderVersion));
  FlashImage spliced{};
  ASSERT_TRUE(LoadReplacerImage(*carried.source, carried.digests, 0x0100, loadedFirmware, spliced));

  std::size_t checked = 0;
  for (const SpliceRange& range : kSpliceTable) {
    ASSERT_EQ(range.first, checked) << "the table must cover every cell in order";
    for (std::size_t offset = range.first; offset <= range.last; ++offset, ++checked) {
      const std::size_t source = range.sourceFirst + (offset - range.first);
      const std::uint8_t expected = range.from == From::kFirmware ? firmware[source] : replacer[source];
      ASSERT_EQ(spliced[offset], expected) << std::hex << "replacer offset 0x" << offset;
    }
  }
  EXPECT_EQ(checked, kFlashImageSize);
}

TEST(ImageStore, ReplacerIsChosenByTheCurrentBootLoaderVersion) {
  const FlashImage firmware = OffsetEncodedImage(0x00);
  const FlashImage nandReplacer = OffsetEncodedImage(0x11);
  const FlashImage flashReplacer = OffsetEncodedImage(0x22);
  const Carried carried = Carry({Image("FWC", Stored(firmware)), Image("BRC", Stored(nandReplacer)),
                                 Image("BRC20", Stored(flashReplacer))});
  struct Case {
    VersionWord currentBootLoader;
    const FlashImage* expected;
  };
  const Case cases[] = {
      {0x0000, &nandReplacer}, {0x00FF, &nandReplacer}, {0x0100, &flashReplacer}, {0xFFFF, &flashReplacer}};
  for (const Case& c : cases) {
    FlashImage replacer{};
    ASSERT_TRUE(LoadReplacerImage(*carried.source, carried.digests, c.currentBootLoader, firmware, replacer));
    // The cells past the splice are the chosen replacer's own.
    EXPECT_TRUE(std::equal(replacer.begin() + 0x2A00, replacer.end(), c.expected->begin() + 0x2A00))
        << std::hex << "boot loader 0x" << c.currentBootLoader;
  }
}

TEST(ImageStore, MissingOrShortImagesAreLoadFailures) {
  const FlashImage image = OffsetEncodedImage(0x33);
  struct Case {
    const char* what;
    std::vector<ElfSection> sections;
    bool firmwareLoads;
    bool flashReplacerLoads;
  };
  const Case cases[] = {
      {"no images", {}, false, false},
      {"only replacers", {Image("BRC", Stored(image)), Image("BRC20", Stored(image))}, false, true},
      {"no BRC20", {Image("FWC", Stored(image)), Image("BRC", Stored(image))}, true, false},
      {"name differs in case", {Image("fwc", Stored(image)), Image("brc20", Stored(image))}, false, false},
      {"name without the prefix", {ElfSection{"FWC", Stored(image)}, ElfSection{"BRC20", Stored(image)}}, false,
       false},
      {"one byte short", {Image("FWC", Stored(image, kFlashImageSize - 1)),
                          Image("BRC20", Stored(image, kFlashImageSize - 1))}, false, false},
      // The digest covers the whole stored image, so all of it must be there.
      {"only the used size", {Image("FWC", Stored(image, kFlashImageSize)),
                              Image("BRC20", Stored(image, kFlashImageSize))}, false, false},
      {"one byte short of a stored image", {Image("FWC", Stored(image, kStoredImageSize - 1)),
                                            Image("BRC20", Stored(image, kStoredImageSize - 1))}, false, false},
      {"longer than a stored image", {Image("FWC", Stored(image, kStoredImageSize + 1)),
                                      Image("BRC20", Stored(image, kStoredImageSize + 1))}, false, false},
      {"empty section", {Image("FWC", {}), Image("BRC20", {})}, false, false},
      {"section without file contents",
       {ElfSection{".k24image.FWC", Stored(image), 8}, ElfSection{".k24image.BRC20", Stored(image), 8}}, false,
       false},
  };
  for (const Case& c : cases) {
    const Carried carried = Carry(c.sections);
    FlashImage firmware{};
    VersionWord firmwareVersion = 0;
    VersionWord bootLoaderVersion = 0;
    EXPECT_EQ(LoadFirmwareImage(*carried.source, carried.digests, firmware, firmwareVersion, bootLoaderVersion),
              c.firmwareLoads)
        << c.what;
    FlashImage replacer{};
    EXPECT_EQ(LoadReplacerImage(*carried.source, carried.digests, 0x0100, image, replacer), c.flashReplacerLoads)
        << c.what;
  }
}

TEST(ImageStore, UnreadableExecutablesAreLoadFailures) {
  const std::vector<std::uint8_t> notElf = Stored(OffsetEncodedImage(0));
  ImageDigests digests;
  digests.firmware = Sha256(notElf);
  const std::string cases[] = {
      "/nonexistent/k24update",
      ::testing::TempDir(),  // a directory
      WriteTempFile("empty", {}),
      WriteTempFile("not-elf", notElf),
      "",
  };
  for (const std::string& path : cases) {
    FlashImage firmware{};
    VersionWord firmwareVersion = 0;
    VersionWord bootLoaderVersion = 0;
    EXPECT_FALSE(LoadFirmwareImage(*OpenExecutableImageSource(path), digests, firmware, firmwareVersion,
                                   bootLoaderVersion))
        << "'" << path << "'";
  }
}

// The build records the digest of each whole stored image; an image that is
// not, byte for byte, the one recorded is never used, wherever it differs.
TEST(ImageStore, ImagesThatAreNotTheRecordedOnesAreLoadFailures) {
  const FlashImage firmware = OffsetEncodedImage(0x00);
  const FlashImage replacer = OffsetEncodedImage(0x44);
  const std::vector<std::uint8_t> storedFirmware = Stored(firmware);
  const std::vector<std::uint8_t> storedReplacer = Stored(replacer);
  struct Case {
    const char* what;
    std::size_t flippedByte;  // in both images; kStoredImageSize: none
    int flippedBit;
    void (*changeDigests)(ImageDigests&);
    bool loads;
  };
  const Case cases[] = {
      {"as recorded", kStoredImageSize, 0, nullptr, true},
      {"first byte", 0, 0, nullptr, false},
      {"a byte in the flash region", 0x1234, 7, nullptr, false},
      {"the firmware version", 0x29F9, 1, nullptr, false},
      {"the last byte used", kFlashImageSize - 1, 4, nullptr, false},
      {"the unused tail", kFlashImageSize, 0, nullptr, false},
      {"the last stored byte", kStoredImageSize - 1, 7, nullptr, false},
      {"digests recorded under each other's names", kStoredImageSize, 0,
       [](ImageDigests& d) { std::swap(d.firmware, d.flashReplacer); }, false},
      {"no digests recorded", kStoredImageSize, 0, [](ImageDigests& d) { d = ImageDigests{}; }, false},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> damagedFirmware = storedFirmware;
    std::vector<std::uint8_t> damagedReplacer = storedReplacer;
    if (c.flippedByte < kStoredImageSize) {
      damagedFirmware[c.flippedByte] ^= static_cast<std::uint8_t>(1u << c.flippedBit);
      damagedReplacer[c.flippedByte] ^= static_cast<std::uint8_t>(1u << c.flippedBit);
    }
    // Digests as recorded from the images as built.
    Carried carried = Carry({Image("FWC", storedFirmware), Image("BRC20", storedReplacer)});
    carried.source = ElfSourceOf(
        BuildElfFile({Image("FWC", damagedFirmware), Image("BRC20", damagedReplacer)}).bytes);
    if (c.changeDigests != nullptr) {
      c.changeDigests(carried.digests);
    }
    FlashImage loaded{};
    VersionWord firmwareVersion = 0;
    VersionWord bootLoaderVersion = 0;
    EXPECT_EQ(LoadFirmwareImage(*carried.source, carried.digests, loaded, firmwareVersion, bootLoaderVersion),
              c.loads)
        << c.what;
    FlashImage spliced{};
    EXPECT_EQ(LoadReplacerImage(*carried.source, carried.digests, 0x0100, firmware, spliced), c.loads) << c.what;
  }
}

}  // namespace
}  // namespace k24::test
