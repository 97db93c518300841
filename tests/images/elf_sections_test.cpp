// Damaged executables: every way the section table can lie must end in a
// clean "not found", never a read outside the file (the sanitizer build runs
// these too).
#include "images/elf_sections.h"

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "images/image_source.h"
#include "images/image_store.h"
#include "tests/images/elf_file_builder.h"

namespace k24::test {
namespace {


constexpr std::size_t kFirmwareSection = 1;  // the builder's first given section
constexpr std::uint64_t kAllOnes = std::numeric_limits<std::uint64_t>::max();

ElfFile ImageFile(ElfClass elfClass, std::size_t imageSize = kStoredImageSize) {
  std::vector<std::uint8_t> stored(imageSize);
  for (std::size_t i = 0; i < stored.size(); ++i) {
    stored[i] = static_cast<std::uint8_t>(i * 7);
  }
  return BuildElfFile({{".k24image.FWC", stored}, {".k24image.BRC20", stored}}, elfClass);
}

bool FirmwareLoadsFrom(const std::vector<std::uint8_t>& bytes) {
  const std::string path = WriteTempFile("damaged.elf", bytes);
  const auto stored = std::make_unique<StoredImage>();
  return OpenExecutableImageSource(path)->Read("FWC", *stored);
}

TEST(DamagedExecutable, EveryLyingFieldFailsTheLoadCleanly) {
  struct Case {
    const char* what;
    std::function<void(ElfFile&, const ElfFieldOffsets&)> damage;
  };
  const auto header = [](std::size_t ElfFieldOffsets::*field, std::size_t width, std::uint64_t value) {
    return [field, width, value](ElfFile& file, const ElfFieldOffsets& at) {
      PutLe(file.bytes, at.*field, width == 0 ? at.addressWidth : width, value);
    };
  };
  const auto section = [](std::size_t index, std::size_t ElfFieldOffsets::*field, bool address,
                          std::function<std::uint64_t(const ElfFile&)> value) {
    return [=](ElfFile& file, const ElfFieldOffsets& at) {
      const std::size_t sectionIndex = index == 0 ? file.stringTableIndex : index;
      PutLe(file.bytes, SectionFieldOffset(file, sectionIndex, at.*field), address ? at.addressWidth : 4,
            value(file));
    };
  };
  const auto fileSize = [](const ElfFile& file) { return file.bytes.size(); };
  const std::size_t kStrings = 0;  // the section name table, for `section`
  const Case cases[] = {
      {"not ELF", [](ElfFile& file, const ElfFieldOffsets&) { file.bytes[1] = 'e'; }},
      {"big-endian", header(&ElfFieldOffsets::ident_data, 1, 2)},
      {"unknown class", header(&ElfFieldOffsets::ident_class, 1, 3)},
      {"truncated in the file header", [](ElfFile& file, const ElfFieldOffsets&) { file.bytes.resize(40); }},
      {"truncated in the section table",
       [](ElfFile& file, const ElfFieldOffsets&) { file.bytes.resize(file.bytes.size() - 1); }},
      {"section table starts at the end",
       [](ElfFile& file, const ElfFieldOffsets& at) {
         PutLe(file.bytes, at.shoff, at.addressWidth, file.bytes.size());
       }},
      {"section table runs past the end",
       [](ElfFile& file, const ElfFieldOffsets& at) {
         PutLe(file.bytes, at.shoff, at.addressWidth, file.sectionTableOffset + 1);
       }},
      {"section table offset wraps around", header(&ElfFieldOffsets::shoff, 0, kAllOnes - 0x3F)},
      {"section count runs past the end", header(&ElfFieldOffsets::shnum, 2, 0xFEFF)},
      {"section count in the reserved range", header(&ElfFieldOffsets::shnum, 2, 0xFFFF)},
      {"no section count (extended numbering)", header(&ElfFieldOffsets::shnum, 2, 0)},
      {"entry size zero", header(&ElfFieldOffsets::shentsize, 2, 0)},
      {"entry size smaller than an entry", header(&ElfFieldOffsets::shentsize, 2, 16)},
      {"name table index out of range", header(&ElfFieldOffsets::shstrndx, 2, 4)},
      {"name table index extended", header(&ElfFieldOffsets::shstrndx, 2, 0xFFFF)},
      {"name table beyond the end", section(kStrings, &ElfFieldOffsets::sh_offset, true, fileSize)},
      {"name table size wraps around",
       section(kStrings, &ElfFieldOffsets::sh_size, true, [](const ElfFile&) { return kAllOnes; })},
      {"name offset past the name table",
       section(kFirmwareSection, &ElfFieldOffsets::sh_name, false,
               [](const ElfFile&) { return 0xFFFFFFFFu; })},
      {"image starts at the end", section(kFirmwareSection, &ElfFieldOffsets::sh_offset, true, fileSize)},
      {"image runs past the end",
       section(kFirmwareSection, &ElfFieldOffsets::sh_offset, true,
               [](const ElfFile& file) { return file.bytes.size() - kStoredImageSize + 1; })},
      {"image offset and size wrap around",
       section(kFirmwareSection, &ElfFieldOffsets::sh_offset, true,
               [](const ElfFile& file) {
                 return file.elfClass == ElfClass::k64 ? kAllOnes - kStoredImageSize + 1
                                                       : 0xFFFFFFFFu - kStoredImageSize + 1;
               })},
      {"image size larger than the file",
       section(kFirmwareSection, &ElfFieldOffsets::sh_size, true, [](const ElfFile&) { return 0xFFFFFFFFu; })},
      {"image shorter than a flash image",
       section(kFirmwareSection, &ElfFieldOffsets::sh_size, true,
               [](const ElfFile&) { return kFlashImageSize - 1; })},
      // Its digest covers the whole stored image, unused tail included.
      {"image shorter than a stored image",
       section(kFirmwareSection, &ElfFieldOffsets::sh_size, true,
               [](const ElfFile&) { return kStoredImageSize - 1; })},
  };
  for (ElfClass elfClass : {ElfClass::k64, ElfClass::k32}) {
    const ElfFieldOffsets at = FieldOffsetsFor(elfClass);
    ASSERT_TRUE(FirmwareLoadsFrom(ImageFile(elfClass).bytes)) << "the undamaged file must load";
    for (const Case& c : cases) {
      ElfFile file = ImageFile(elfClass);
      c.damage(file, at);
      EXPECT_FALSE(FirmwareLoadsFrom(file.bytes))
          << c.what << (elfClass == ElfClass::k64 ? " (64-bit)" : " (32-bit)");
    }
  }
}

// Any single byte of the headers and name table set to an extreme value: the
// section is either still found within the file or not found at all.
TEST(DamagedExecutable, NoSingleDamagedHeaderByteYieldsAnExtentOutsideTheFile) {
  for (ElfClass elfClass : {ElfClass::k64, ElfClass::k32}) {
    // Small images: only the headers and names matter here.
    constexpr std::size_t kImageSize = 16;
    const ElfFile original = ImageFile(elfClass, kImageSize);
    const std::size_t headerSize = elfClass == ElfClass::k64 ? 64 : 52;
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < headerSize; ++i) {
      offsets.push_back(i);
    }
    for (std::size_t i = headerSize + 2 * kImageSize; i < original.bytes.size(); ++i) {
      offsets.push_back(i);
    }
    for (std::size_t offset : offsets) {
      for (const std::uint8_t value : std::to_array<std::uint8_t>({0x00, 0x01, 0x7F, 0x80, 0xFF})) {
        std::vector<std::uint8_t> bytes = original.bytes;
        bytes[offset] = value;
        const std::optional<FileExtent> extent = FindElfSection(bytes, ".k24image.FWC");
        if (extent) {
          EXPECT_LE(extent->offset, bytes.size());
          EXPECT_LE(extent->size, bytes.size() - extent->offset)
              << "byte " << offset << " set to " << static_cast<int>(value);
        }
      }
    }
  }
}

TEST(ElfSections, FindsTheFirstSectionOfTheExactName) {
  const ElfFile file = BuildElfFile(
      {{".k24image.FWCX", {1}}, {".k24image.FW", {2}}, {".k24image.FWC", {3, 4}}, {".k24image.FWC", {5}}});
  const std::optional<FileExtent> extent = FindElfSection(file.bytes, ".k24image.FWC");
  ASSERT_TRUE(extent);
  EXPECT_EQ(extent->size, 2u);
  EXPECT_EQ(file.bytes[extent->offset], 3);
}

}  // namespace
}  // namespace k24::test
