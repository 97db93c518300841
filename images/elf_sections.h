// Finding a named section in an ELF file (32- or 64-bit, little-endian) from
// its section header table. The file is untrusted: every offset and size read
// from it is checked against the file's size before anything is read there, so
// a damaged file is reported as "not found", never read out of bounds.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

namespace k24 {

// Where a section's contents sit in the file.
struct FileExtent {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// Reads `into.size()` bytes at `offset`; false when they cannot be read. Only
// ever called for ranges that lie within the file size given alongside it.
using ReadAtFunction = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> into)>;

// The extent of the first section called `name` with contents in the file, or
// nothing when the file is not a little-endian ELF file, its headers do not fit
// in `fileSize` bytes, or no such section exists. A returned extent always lies
// within the file.
std::optional<FileExtent> FindElfSection(const ReadAtFunction& readAt, std::uint64_t fileSize,
                                         std::string_view name);

// The same over bytes already in memory.
std::optional<FileExtent> FindElfSection(std::span<const std::uint8_t> file, std::string_view name);

}  // namespace k24
