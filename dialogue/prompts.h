// Small pieces the dialogue's stages share: answering a prompt and ending
// after a message and one last key.
#pragma once

#include <cstdint>

#include "console/console.h"

namespace k24 {

// Whether the key is `letter` in either case ('y' answers 'Y' too).
bool IsAnswer(std::uint16_t key, char upperCaseLetter);

// Prints `message`, then "Press any key to exit.\n", waits for a key and
// returns `exitCode`.
int EndAfterKey(Console& console, const char* message, int exitCode);

}  // namespace k24
