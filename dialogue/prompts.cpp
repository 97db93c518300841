#include "dialogue/prompts.h"

namespace k24 {

bool IsAnswer(std::uint16_t key, char upperCaseLetter) {
  const auto upper = static_cast<std::uint16_t>(static_cast<unsigned char>(upperCaseLetter));
  const auto lower = static_cast<std::uint16_t>(static_cast<unsigned char>(upperCaseLetter - 'A' + 'a'));
  return key == upper || key == lower;
}

int EndAfterKey(Console& console, const char* message, int exitCode) {
  Print(console, "%s", message);
  Print(console, "Press any key to exit.\n");
  ReadKey(console);
  return exitCode;
}

}  // namespace k24
