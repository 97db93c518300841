#include "images/descrambler.h"

#include <array>
#include <vector>

#include <gtest/gtest.h>

namespace k24::test {
namespace {

// Computed independently of this code from the generator's definition; the
// first output after seeding is not among them.
constexpr std::array<std::uint8_t, 8> kKnownKeystream = {0xD4, 0x15, 0xC6, 0xBD, 0xB9, 0x3F, 0xC3, 0xAA};

TEST(Descrambler, KeystreamStartsWithTheKnownBytes) {
  Keystream keystream = StartKeystream();
  for (std::uint8_t expected : kKnownKeystream) {
    EXPECT_EQ(NextKeystreamByte(keystream), expected);
  }
}

TEST(Descrambler, ScramblingZerosYieldsTheKeystreamAfreshOnEveryCall) {
  for (int call = 0; call < 2; ++call) {
    std::array<std::uint8_t, kKnownKeystream.size()> bytes{};
    ScrambleBytes(bytes);
    EXPECT_EQ(bytes, kKnownKeystream) << "call " << call;
  }
}

TEST(Descrambler, ScramblingTwiceGivesTheBytesBack) {
  std::vector<std::uint8_t> original(0xFC00);
  for (std::size_t i = 0; i < original.size(); ++i) {
    original[i] = static_cast<std::uint8_t>((i * 37) ^ (i >> 8));
  }
  std::vector<std::uint8_t> bytes = original;
  ScrambleBytes(bytes);
  EXPECT_NE(bytes, original);
  ScrambleBytes(bytes);
  EXPECT_EQ(bytes, original);
}

}  // namespace
}  // namespace k24::test
