#include "tests/images/elf_file_builder.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "images/image_source_elf.h"

#include <gtest/gtest.h>

namespace k24::test {

ElfFieldOffsets FieldOffsetsFor(ElfClass elfClass) {
  if (elfClass == ElfClass::k32) {
    return {4, 5, 32, 46, 48, 50, 0, 4, 16, 20, 4};
  }
  return {4, 5, 40, 58, 60, 62, 0, 4, 24, 32, 8};
}

void PutLe(std::span<std::uint8_t> bytes, std::size_t offset, std::size_t width, std::uint64_t value) {
  for (std::size_t i = 0; i < width; ++i) {
    bytes[offset + i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFFu);
  }
}

std::size_t SectionFieldOffset(const ElfFile& file, std::size_t index, std::size_t field) {
  return file.sectionTableOffset + index * file.sectionEntrySize + field;
}

ElfFile BuildElfFile(const std::vector<ElfSection>& sections, ElfClass elfClass) {
  const ElfFieldOffsets fields = FieldOffsetsFor(elfClass);
  const bool wide = elfClass == ElfClass::k64;
  const std::size_t headerSize = wide ? 64 : 52;
  ElfFile file;
  file.elfClass = elfClass;
  file.sectionEntrySize = wide ? 64 : 40;
  file.stringTableIndex = sections.size() + 1;

  std::vector<std::uint8_t>& bytes = file.bytes;
  bytes.assign(headerSize, 0);
  bytes[0] = 0x7F;
  bytes[1] = 'E';
  bytes[2] = 'L';
  bytes[3] = 'F';
  bytes[fields.ident_class] = wide ? 2 : 1;
  bytes[fields.ident_data] = 1;  // little-endian
  bytes[6] = 1;                  // ELF version
  PutLe(bytes, 16, 2, 1);        // e_type: relocatable
  PutLe(bytes, 18, 2, wide ? 0x3E : 0x03);
  PutLe(bytes, 20, 4, 1);

  struct Placed {
    std::size_t nameOffset, offset, size;
    std::uint32_t type;
  };
  std::vector<Placed> placed;
  std::vector<std::uint8_t> names = {0};
  const auto addName = [&names](const std::string& name) {
    const std::size_t at = names.size();
    names.insert(names.end(), name.begin(), name.end());
    names.push_back(0);
    return at;
  };
  for (const ElfSection& section : sections) {
    placed.push_back({addName(section.name), bytes.size(), section.contents.size(), section.type});
    bytes.insert(bytes.end(), section.contents.begin(), section.contents.end());
  }
  const std::size_t stringTableName = addName(".shstrtab");
  placed.push_back({stringTableName, bytes.size(), 0, 3 /* STRTAB */});
  placed.back().size = names.size();
  bytes.insert(bytes.end(), names.begin(), names.end());

  file.sectionTableOffset = bytes.size();
  const std::size_t sectionCount = placed.size() + 1;
  bytes.resize(bytes.size() + sectionCount * file.sectionEntrySize, 0);
  for (std::size_t i = 0; i < placed.size(); ++i) {
    const std::size_t index = i + 1;
    PutLe(bytes, SectionFieldOffset(file, index, fields.sh_name), 4, placed[i].nameOffset);
    PutLe(bytes, SectionFieldOffset(file, index, fields.sh_type), 4, placed[i].type);
    PutLe(bytes, SectionFieldOffset(file, index, fields.sh_offset), fields.addressWidth, placed[i].offset);
    PutLe(bytes, SectionFieldOffset(file, index, fields.sh_size), fields.addressWidth, placed[i].size);
  }
  PutLe(bytes, fields.shoff, fields.addressWidth, file.sectionTableOffset);
  PutLe(bytes, wide ? 52 : 40, 2, headerSize);  // e_ehsize
  PutLe(bytes, fields.shentsize, 2, file.sectionEntrySize);
  PutLe(bytes, fields.shnum, 2, sectionCount);
  PutLe(bytes, fields.shstrndx, 2, file.stringTableIndex);
  return file;
}

std::unique_ptr<ImageSource> ElfSourceOf(std::vector<std::uint8_t> bytes) {
  const auto file = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  const auto readAt = [file](std::uint64_t offset, std::span<std::uint8_t> into) {
    // The reader promises ranges within the file; hold it to that.
    EXPECT_LE(offset + into.size(), file->size());
    if (offset + into.size() > file->size()) {
      return false;
    }
    std::copy_n(file->begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
    return true;
  };
  return MakeElfImageSource(readAt, file->size());
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    return {};
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return in ? bytes : std::vector<std::uint8_t>{};
}

std::string WriteTempFile(const std::string& name, std::span<const std::uint8_t> bytes) {
  // The process id keeps parallel runs (several build directories) apart.
  const std::string path = ::testing::TempDir() + "k24_images_" + std::to_string(getpid()) + "_" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  EXPECT_TRUE(out) << "cannot write " << path;
  return path;
}

}  // namespace k24::test
