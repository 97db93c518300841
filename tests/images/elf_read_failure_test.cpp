// A read that fails while the section names are compared ends the lookup: the
// section whose name could not be read may be the first of that name, so a
// later one of the same name is never taken in its place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "images/elf_sections.h"
#include "images/image_source_elf.h"
#include "tests/images/elf_file_builder.h"

namespace k24 {
namespace {

struct ReadFailureCase {
  const char* name;
  test::ElfClass elfClass;
};

void PrintTo(const ReadFailureCase& c, std::ostream* out) { *out << c.name; }

class NameReadFailure : public ::testing::TestWithParam<ReadFailureCase> {};

TEST_P(NameReadFailure, EndsTheLookupInsteadOfTakingALaterSectionOfTheSameName) {
  std::vector<std::uint8_t> first(kStoredImageSize, 0x11);
  std::vector<std::uint8_t> second(kStoredImageSize, 0x22);
  const test::ElfFile file =
      test::BuildElfFile({{".k24image.FWC", first}, {".k24image.FWC", second}}, GetParam().elfClass);
  const std::vector<std::uint8_t>& bytes = file.bytes;
  // The first copy of the name in the file is the first section's, in the name table.
  const std::string name = ".k24image.FWC";
  const auto found = std::search(bytes.begin(), bytes.end(), name.begin(), name.end());
  ASSERT_NE(found, bytes.end());
  const auto firstName = static_cast<std::uint64_t>(found - bytes.begin());
  // Every read succeeds, but the one of the first section's name.
  const ReadAtFunction readAt = [&bytes, firstName](std::uint64_t offset, std::span<std::uint8_t> into) {
    if (offset <= firstName && firstName < offset + into.size()) return false;
    std::memcpy(into.data(), bytes.data() + offset, into.size());
    return true;
  };

  const std::optional<FileExtent> whole = FindElfSection(bytes, name);
  ASSERT_TRUE(whole);
  EXPECT_EQ(bytes[whole->offset], 0x11);
  const std::optional<FileExtent> extent = FindElfSection(readAt, bytes.size(), name);
  EXPECT_FALSE(extent) << "took the section at " << extent->offset << ", which starts with "
                       << static_cast<int>(bytes[extent->offset]);
  StoredImage stored{};
  EXPECT_FALSE(MakeElfImageSource(readAt, bytes.size())->Read("FWC", stored));
}

INSTANTIATE_TEST_SUITE_P(Classes, NameReadFailure,
                         ::testing::Values(ReadFailureCase{"elf64", test::ElfClass::k64},
                                           ReadFailureCase{"elf32", test::ElfClass::k32}),
                         [](const auto& instance) { return std::string(instance.param.name); });

}  // namespace
}  // namespace k24
