// SHA-256 (FIPS 180-4), for checking that a carried image is the one the
// build recorded. One call over bytes already in memory.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace k24 {

inline constexpr std::size_t kSha256Size = 32;

using Sha256Digest = std::array<std::uint8_t, kSha256Size>;

Sha256Digest Sha256(std::span<const std::uint8_t> bytes);

// The digest as 64 lowercase hexadecimal digits, as sha256sum shows it.
std::string Sha256Hex(const Sha256Digest& digest);

}  // namespace k24
