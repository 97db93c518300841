// Where things are in the descrambled images.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/version_word.h"

namespace k24 {

// Scrambling: a 32-bit linear congruential generator, seeded afresh per image.
inline constexpr std::uint32_t kScrambleSeed = 24683;
inline constexpr std::uint32_t kScrambleMultiplier = 0x015A4E35;  // 22,695,477
inline constexpr std::uint32_t kScrambleIncrement = 1;

// Firmware image ("FWC").
inline constexpr std::size_t kFirmwareVersionOffset = 0x29F9;          // minor, then major
inline constexpr std::size_t kFirmwareIdentityOffset = 0x29FB;         // five-byte model identity
inline constexpr std::size_t kModelIdentitySize = 5;
inline constexpr std::size_t kCarriedBootLoaderVersionOffset = 0xE000;  // minor, then major
inline constexpr std::size_t kBootLoaderPayloadOffset = 0xE000;
inline constexpr std::size_t kBootLoaderPayloadSize = 0x1A00;          // 0xE000-0xF9FF, 6,656 bytes

// The three identity bytes that mark a K24 recorder.
inline constexpr std::array<std::uint8_t, 3> kModelFamilyTag = {'K', '2', '4'};

// Replacer image ("BRC", "BRC20"), as spliced.
inline constexpr std::size_t kReplacerPayloadOffset = 0x1000;  // takes the boot loader payload
inline constexpr std::size_t kReplacerBootLoaderVersionOffset = 0x1000;
// Four firmware bytes copied into replacer 0x0F00-0x0F03, in this order.
inline constexpr std::size_t kReplacerSpliceOffset = 0x0F00;
inline constexpr std::array<std::size_t, 4> kFirmwareSpliceSources = {0x0001, 0x0002, 0x0044, 0x0045};

// Boot loaders from 1.0 on are replaced by flash programming with "BRC20",
// older ones by a NAND boot-area rewrite with "BRC".
inline constexpr VersionWord kFlashReplacedBootLoaderVersion = 0x0100;

// Image names in the executable.
inline constexpr const char* kFirmwareImageName = "FWC";
inline constexpr const char* kNandReplacerImageName = "BRC";     // boot loaders older than 1.0
inline constexpr const char* kFlashReplacerImageName = "BRC20";  // boot loaders 1.0 and later

}  // namespace k24
