// The keystream that scrambles the stored images. Scrambling and descrambling
// are the same operation: each byte is XORed with one keystream byte.
#pragma once

#include <cstdint>
#include <span>

#include "images/image_layout.h"

namespace k24 {

// The generator's whole state: one 32-bit word.
struct Keystream {
  std::uint32_t state = 0;
};

// Seeds the generator and takes the one step whose output is never used.
Keystream StartKeystream(std::uint32_t seed = kScrambleSeed);

// Takes one step and returns the low byte of its 15-bit output.
std::uint8_t NextKeystreamByte(Keystream& keystream);

// XORs `bytes`, from the first on, with a keystream freshly seeded with `seed`.
void ScrambleBytes(std::span<std::uint8_t> bytes, std::uint32_t seed = kScrambleSeed);

}  // namespace k24
