// Builds small ELF files in memory, byte by byte, carrying named sections, so
// tests can make (and then damage) exactly the file they need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "images/image_source.h"

namespace k24::test {

struct ElfSection {
  std::string name;
  std::vector<std::uint8_t> contents;
  std::uint32_t type = 1;  // PROGBITS
};

enum class ElfClass { k32, k64 };

// Where the builder put things, for tests that damage them.
struct ElfFile {
  std::vector<std::uint8_t> bytes;
  ElfClass elfClass = ElfClass::k64;
  std::size_t sectionTableOffset = 0;
  std::size_t sectionEntrySize = 0;
  std::size_t stringTableIndex = 0;  // the last section; given sections are 1..n
};

// Header, the sections' contents in order, the name table, then the section
// header table (entry 0 the null section).
ElfFile BuildElfFile(const std::vector<ElfSection>& sections, ElfClass elfClass = ElfClass::k64);

// Field offsets for damaging a file: in the file header, and within one
// section header entry.
struct ElfFieldOffsets {
  std::size_t ident_class, ident_data, shoff, shentsize, shnum, shstrndx;
  std::size_t sh_name, sh_type, sh_offset, sh_size;
  std::size_t addressWidth;  // 4 or 8
};
ElfFieldOffsets FieldOffsetsFor(ElfClass elfClass);

// Puts `value` little-endian in `width` (2, 4 or 8) bytes at `offset`.
void PutLe(std::span<std::uint8_t> bytes, std::size_t offset, std::size_t width, std::uint64_t value);

// The offset of field `field` of section header `index`.
std::size_t SectionFieldOffset(const ElfFile& file, std::size_t index, std::size_t field);

// The images of an ELF file in memory, read through the ELF reader's read seam.
std::unique_ptr<ImageSource> ElfSourceOf(std::vector<std::uint8_t> bytes);

// The whole contents of a file; empty when it cannot be read.
std::vector<std::uint8_t> ReadWholeFile(const std::string& path);

// Writes bytes to a new file under the test temporary directory; returns its path.
std::string WriteTempFile(const std::string& name, std::span<const std::uint8_t> bytes);

}  // namespace k24::test
