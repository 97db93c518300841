#include "images/elf_sections.h"

#include <array>
#include <cstddef>
#include <vector>

#include "common/byte_order.h"

namespace k24 {
namespace {

// Identification bytes at the start of every ELF file.
constexpr std::array<std::uint8_t, 4> kElfMagic = {0x7F, 'E', 'L', 'F'};
constexpr std::size_t kIdentClassOffset = 4;
constexpr std::size_t kIdentDataOffset = 5;
constexpr std::uint8_t kClass32 = 1;
constexpr std::uint8_t kClass64 = 2;
constexpr std::uint8_t kDataLittleEndian = 1;

// Section header indexes of this value and above are reserved; 0xFFFF as the
// string table index means "too many sections, see section 0", which no
// program of ours has, so it is treated as damage.
constexpr std::uint16_t kFirstReservedSectionIndex = 0xFF00;
constexpr std::uint32_t kSectionTypeNoBits = 8;  // occupies no file space (.bss)

// The fields this reader needs, at their offsets for each file class.
struct ElfClassLayout {
  std::size_t headerSize;
  std::size_t sectionTableOffsetField;   // e_shoff
  std::size_t sectionEntrySizeField;     // e_shentsize
  std::size_t sectionCountField;         // e_shnum
  std::size_t stringTableIndexField;     // e_shstrndx
  std::size_t sectionHeaderSize;         // smallest valid e_shentsize
  std::size_t sectionNameField;          // sh_name
  std::size_t sectionTypeField;          // sh_type
  std::size_t sectionOffsetField;        // sh_offset
  std::size_t sectionSizeField;          // sh_size
  bool wideAddresses;                    // offsets and sizes are 8 bytes, else 4
};

constexpr ElfClassLayout kElf32Layout = {52, 32, 46, 48, 50, 40, 0, 4, 16, 20, false};
constexpr ElfClassLayout kElf64Layout = {64, 40, 58, 60, 62, 64, 0, 4, 24, 32, true};

constexpr std::size_t kLargestHeaderSize = 64;

std::uint64_t GetAddress(const ElfClassLayout& layout, std::span<const std::uint8_t> bytes,
                         std::size_t offset) {
  if (!layout.wideAddresses) {
    return GetLe32(bytes, offset);
  }
  return static_cast<std::uint64_t>(GetLe32(bytes, offset)) |
         (static_cast<std::uint64_t>(GetLe32(bytes, offset + 4)) << 32);
}

// True when [offset, offset + size) lies within a file of `fileSize` bytes,
// without overflowing on hostile values.
bool FitsInFile(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

// The only way this reader touches the file: bounds first, then the read.
bool ReadChecked(const ReadAtFunction& readAt, std::uint64_t fileSize, std::uint64_t offset,
                 std::span<std::uint8_t> into) {
  return FitsInFile(offset, into.size(), fileSize) && readAt(offset, into);
}

struct SectionHeader {
  std::uint32_t nameOffset = 0;
  std::uint32_t type = 0;
  FileExtent extent;
};

SectionHeader ParseSectionHeader(const ElfClassLayout& layout, std::span<const std::uint8_t> entry) {
  SectionHeader header;
  header.nameOffset = GetLe32(entry, layout.sectionNameField);
  header.type = GetLe32(entry, layout.sectionTypeField);
  header.extent.offset = GetAddress(layout, entry, layout.sectionOffsetField);
  header.extent.size = GetAddress(layout, entry, layout.sectionSizeField);
  return header;
}

// Whether the string at `nameOffset` in the string table is exactly `name`;
// nothing when it could not be read.
std::optional<bool> NameMatches(const ReadAtFunction& readAt, std::uint64_t fileSize, const FileExtent& stringTable,
                                std::uint32_t nameOffset, std::string_view name) {
  const std::uint64_t length = name.size() + 1;  // with its terminating NUL
  if (!FitsInFile(nameOffset, length, stringTable.size)) {
    return false;
  }
  std::vector<std::uint8_t> stored(name.size() + 1);
  if (!ReadChecked(readAt, fileSize, stringTable.offset + nameOffset, stored)) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (stored[i] != static_cast<std::uint8_t>(name[i])) {
      return false;
    }
  }
  return stored[name.size()] == 0;
}

}  // namespace

std::optional<FileExtent> FindElfSection(const ReadAtFunction& readAt, std::uint64_t fileSize,
                                         std::string_view name) {
  std::array<std::uint8_t, kLargestHeaderSize> header{};
  if (!ReadChecked(readAt, fileSize, 0, std::span(header).first(kIdentDataOffset + 1))) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < kElfMagic.size(); ++i) {
    if (header[i] != kElfMagic[i]) {
      return std::nullopt;
    }
  }
  if (header[kIdentDataOffset] != kDataLittleEndian) {
    return std::nullopt;
  }
  const ElfClassLayout* layoutPointer = nullptr;
  if (header[kIdentClassOffset] == kClass32) {
    layoutPointer = &kElf32Layout;
  } else if (header[kIdentClassOffset] == kClass64) {
    layoutPointer = &kElf64Layout;
  } else {
    return std::nullopt;
  }
  const ElfClassLayout& layout = *layoutPointer;
  if (!ReadChecked(readAt, fileSize, 0, std::span(header).first(layout.headerSize))) {
    return std::nullopt;
  }

  const std::uint64_t tableOffset = GetAddress(layout, header, layout.sectionTableOffsetField);
  const std::uint16_t entrySize = GetLe16(header, layout.sectionEntrySizeField);
  const std::uint16_t sectionCount = GetLe16(header, layout.sectionCountField);
  const std::uint16_t stringTableIndex = GetLe16(header, layout.stringTableIndexField);
  if (entrySize < layout.sectionHeaderSize || sectionCount == 0 ||
      sectionCount >= kFirstReservedSectionIndex || stringTableIndex >= sectionCount) {
    return std::nullopt;
  }
  // At most 0xFEFF entries of at most 0xFFFF bytes: the product cannot overflow.
  const std::uint64_t tableSize = static_cast<std::uint64_t>(entrySize) * sectionCount;
  if (!FitsInFile(tableOffset, tableSize, fileSize)) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> table(static_cast<std::size_t>(tableSize));
  if (!ReadChecked(readAt, fileSize, tableOffset, table)) {
    return std::nullopt;
  }
  const auto entry = [&](std::size_t index) {
    return ParseSectionHeader(layout,
                              std::span<const std::uint8_t>(table).subspan(index * entrySize, entrySize));
  };

  const SectionHeader stringTable = entry(stringTableIndex);
  if (stringTable.type == kSectionTypeNoBits ||
      !FitsInFile(stringTable.extent.offset, stringTable.extent.size, fileSize)) {
    return std::nullopt;
  }
  for (std::size_t index = 0; index < sectionCount; ++index) {
    const SectionHeader section = entry(index);
    if (section.type == kSectionTypeNoBits) {
      continue;
    }
    const std::optional<bool> named = NameMatches(readAt, fileSize, stringTable.extent, section.nameOffset, name);
    if (!named) {
      return std::nullopt;  // unread, this may be the first section of that name: a later one is not it
    }
    if (!*named) {
      continue;
    }
    if (!FitsInFile(section.extent.offset, section.extent.size, fileSize)) {
      return std::nullopt;  // the section named is there but damaged
    }
    return section.extent;
  }
  return std::nullopt;
}

std::optional<FileExtent> FindElfSection(std::span<const std::uint8_t> file, std::string_view name) {
  const ReadAtFunction readAt = [file](std::uint64_t offset, std::span<std::uint8_t> into) {
    if (!FitsInFile(offset, into.size(), file.size())) {
      return false;
    }
    const std::span<const std::uint8_t> from =
        file.subspan(static_cast<std::size_t>(offset), into.size());
    for (std::size_t i = 0; i < into.size(); ++i) {
      into[i] = from[i];
    }
    return true;
  };
  return FindElfSection(readAt, file.size(), name);
}

}  // namespace k24
