#include "images/descrambler.h"

namespace k24 {
namespace {

// One step of the generator; its output is bits 16-30 of the new state.
std::uint32_t Step(Keystream& keystream) {
  // Unsigned arithmetic wraps modulo 2^32, as the generator requires.
  keystream.state = keystream.state * kScrambleMultiplier + kScrambleIncrement;
  return (keystream.state >> 16) & 0x7FFFu;
}

}  // namespace

Keystream StartKeystream(std::uint32_t seed) {
  Keystream keystream{seed};
  static_cast<void>(Step(keystream));  // the first output is discarded
  return keystream;
}

std::uint8_t NextKeystreamByte(Keystream& keystream) {
  return static_cast<std::uint8_t>(Step(keystream) & 0xFFu);
}

void ScrambleBytes(std::span<std::uint8_t> bytes, std::uint32_t seed) {
  Keystream keystream = StartKeystream(seed);
  for (std::uint8_t& byte : bytes) {
    byte = static_cast<std::uint8_t>(byte ^ NextKeystreamByte(keystream));
  }
}

}  // namespace k24
