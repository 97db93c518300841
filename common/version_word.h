// A recorder or image version: major number in the high byte, minor in the low
// byte, 0 meaning "not available". Compared as a plain unsigned 16-bit value.
#pragma once

#include <cstdint>

namespace k24 {

using VersionWord = std::uint16_t;

constexpr int VersionMajor(VersionWord version) { return version >> 8; }
constexpr int VersionMinor(VersionWord version) { return version & 0xFF; }

}  // namespace k24
