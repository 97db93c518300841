// The image store over small ELF files built in memory: versions, the splice,
// the replacer choice, and what counts as a missing or short image.
#include "images/image_store.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "images/descrambler.h"
#include "tests/images/elf_file_builder.h"

namespace k24 {
namespace {

using test::BuildElfFile;
using test::ElfSection;
using test::WriteTempFile;

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
    for (test::ElfClass elfClass : {test::ElfClass::k64, test::ElfClass::k32}) {
      const std::string path =
          WriteTempFile("versions.elf", BuildElfFile({Image("FWC", Stored(firmware))}, elfClass).bytes);
      FlashImage loaded{};
      VersionWord firmwareVersion = 0xDEAD;
      VersionWord bootLoaderVersion = 0xDEAD;
      ASSERT_TRUE(LoadFirmwareImage(path, loaded, firmwareVersion, bootLoaderVersion));
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
  const std::string path = WriteTempFile(
      "splice.elf", BuildElfFile({Image("FWC", Stored(firmware)), Image("BRC20", Stored(replacer))}).bytes);

  FlashImage loadedFirmware{};
  VersionWord firmwareVersion = 0;
  VersionWord bootLoaderVersion = 0;
  ASSERT_TRUE(LoadFirmwareImage(path, loadedFirmware, firmwareVersion, bootLoaderVersion));
  FlashImage spliced{};
  ASSERT_TRUE(LoadReplacerImage(path, 0x0100, loadedFirmware, spliced));

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
  const std::string path = WriteTempFile(
      "choice.elf", BuildElfFile({Image("FWC", Stored(firmware)), Image("BRC", Stored(nandReplacer)),
                                  Image("BRC20", Stored(flashReplacer))})
                        .bytes);
  struct Case {
    VersionWord currentBootLoader;
    const FlashImage* expected;
  };
  const Case cases[] = {
      {0x0000, &nandReplacer}, {0x00FF, &nandReplacer}, {0x0100, &flashReplacer}, {0xFFFF, &flashReplacer}};
  for (const Case& c : cases) {
    FlashImage replacer{};
    ASSERT_TRUE(LoadReplacerImage(path, c.currentBootLoader, firmware, replacer));
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
      {"exactly the used size", {Image("FWC", Stored(image, kFlashImageSize)),
                                 Image("BRC20", Stored(image, kFlashImageSize))}, true, true},
      {"empty section", {Image("FWC", {}), Image("BRC20", {})}, false, false},
      {"section without file contents",
       {ElfSection{".k24image.FWC", Stored(image), 8}, ElfSection{".k24image.BRC20", Stored(image), 8}}, false,
       false},
  };
  for (const Case& c : cases) {
    const std::string path = WriteTempFile("missing.elf", BuildElfFile(c.sections).bytes);
    FlashImage firmware{};
    VersionWord firmwareVersion = 0;
    VersionWord bootLoaderVersion = 0;
    EXPECT_EQ(LoadFirmwareImage(path, firmware, firmwareVersion, bootLoaderVersion), c.firmwareLoads) << c.what;
    FlashImage replacer{};
    EXPECT_EQ(LoadReplacerImage(path, 0x0100, image, replacer), c.flashReplacerLoads) << c.what;
  }
}

TEST(ImageStore, UnreadableExecutablesAreLoadFailures) {
  const std::vector<std::uint8_t> notElf = Stored(OffsetEncodedImage(0));
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
    EXPECT_FALSE(LoadFirmwareImage(path, firmware, firmwareVersion, bootLoaderVersion)) << "'" << path << "'";
  }
}

}  // namespace
}  // namespace k24
