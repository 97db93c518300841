// A recorder or image version: major number in the high byte, minor in the low
// byte, 0 meaning "not available". Compared as a plain unsigned 16-bit value.
#pragma once

#include <cstdint>
#include <string>

namespace k24 {

using VersionWord = std::uint16_t;

constexpr int VersionMajor(VersionWord version) { return version >> 8; }
constexpr int VersionMinor(VersionWord version) { return version & 0xFF; }

// "1.2": the two numbers in decimal, as the program writes a version.
inline std::string VersionText(VersionWord version) {
  return std::to_string(VersionMajor(version)) + "." + std::to_string(VersionMinor(version));
}

}  // namespace k24
