// SHA-256 against the FIPS 180 example messages, and the padding boundaries
// where a message's tail needs one or two final blocks.
#include "common/sha256.h"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace k24::test {
namespace {

std::string HexOf(std::string_view message) {
  return Sha256Hex(Sha256(std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size())));
}

TEST(Sha256, StandardTestVectors) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",  // 448 bits
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
       "nopqrstu",  // 896 bits
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HexOf(c.message), c.digest) << c.message.size() << " bytes";
  }
}

// Lengths around the block size, where the tail takes one block or two. The
// digests are those of sha256sum over the same bytes.
TEST(Sha256, PaddingBoundaries) {
  struct Case {
    std::size_t length;
    const char* digest;
  };
  const Case cases[] = {
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {65, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HexOf(std::string(c.length, 'a')), c.digest) << c.length << " bytes";
  }
}

}  // namespace
}  // namespace k24::test
