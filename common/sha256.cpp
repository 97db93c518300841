#include "common/sha256.h"

#include <cstddef>

#include "common/byte_order.h"

namespace k24 {
namespace {

constexpr std::size_t kBlockSize = 64;
constexpr std::size_t kLengthFieldSize = 8;  // the message length in bits, big-endian
constexpr std::uint8_t kPaddingMarker = 0x80;

// The first 32 bits of the fractional parts of the cube roots of the first 64 primes.
constexpr std::array<std::uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// The first 32 bits of the fractional parts of the square roots of the first 8 primes.
constexpr std::array<std::uint32_t, 8> kInitialState = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr std::uint32_t RotateRight(std::uint32_t value, int bits) {
  return (value >> bits) | (value << (32 - bits));
}

void CompressBlock(std::array<std::uint32_t, 8>& state, std::span<const std::uint8_t, kBlockSize> block) {
  std::array<std::uint32_t, 64> schedule{};
  for (std::size_t i = 0; i < 16; ++i) {
    schedule[i] = GetBe32(block, 4 * i);
  }
  for (std::size_t i = 16; i < 64; ++i) {
    const std::uint32_t s0 =
        RotateRight(schedule[i - 15], 7) ^ RotateRight(schedule[i - 15], 18) ^ (schedule[i - 15] >> 3);
    const std::uint32_t s1 =
        RotateRight(schedule[i - 2], 17) ^ RotateRight(schedule[i - 2], 19) ^ (schedule[i - 2] >> 10);
    schedule[i] = schedule[i - 16] + s0 + schedule[i - 7] + s1;
  }

  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (std::size_t i = 0; i < 64; ++i) {
    const std::uint32_t sum1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
    const std::uint32_t choice = (e & f) ^ (~e & g);
    const std::uint32_t temp1 = h + sum1 + choice + kRoundConstants[i] + schedule[i];
    const std::uint32_t sum0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
    const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const std::uint32_t temp2 = sum0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + temp1;
    d = c;
    c = b;
    b = a;
    a = temp1 + temp2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

}  // namespace

Sha256Digest Sha256(std::span<const std::uint8_t> bytes) {
  std::array<std::uint32_t, 8> state = kInitialState;
  const std::size_t whole = bytes.size() - bytes.size() % kBlockSize;
  for (std::size_t offset = 0; offset < whole; offset += kBlockSize) {
    CompressBlock(state, bytes.subspan(offset).first<kBlockSize>());
  }

  // The tail, the 0x80 marker, zeros, and the length in bits: one or two blocks.
  std::array<std::uint8_t, 2 * kBlockSize> tail{};
  const std::size_t tailSize = bytes.size() - whole;
  for (std::size_t i = 0; i < tailSize; ++i) {
    tail[i] = bytes[whole + i];
  }
  tail[tailSize] = kPaddingMarker;
  const std::size_t tailBlocks = tailSize + 1 + kLengthFieldSize <= kBlockSize ? 1 : 2;
  const std::uint64_t bitLength = static_cast<std::uint64_t>(bytes.size()) * 8;
  const std::size_t lengthOffset = tailBlocks * kBlockSize - kLengthFieldSize;
  PutBe32(tail, lengthOffset, static_cast<std::uint32_t>(bitLength >> 32));
  PutBe32(tail, lengthOffset + 4, static_cast<std::uint32_t>(bitLength & 0xFFFFFFFFu));
  for (std::size_t block = 0; block < tailBlocks; ++block) {
    CompressBlock(state, std::span<const std::uint8_t>(tail).subspan(block * kBlockSize).first<kBlockSize>());
  }

  Sha256Digest digest{};
  for (std::size_t i = 0; i < state.size(); ++i) {
    PutBe32(digest, 4 * i, state[i]);
  }
  return digest;
}

std::string Sha256Hex(const Sha256Digest& digest) {
  constexpr const char* kDigits = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

}  // namespace k24
