// Bytes as a person reads them in a report: printable ASCII as it is, every
// other byte (and a backslash, and any byte of `alsoEscaped`) as \xHH.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

namespace k24 {

inline std::string ShownBytes(std::span<const std::uint8_t> bytes, std::string_view alsoEscaped = {}) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    const char c = static_cast<char>(byte);
    if (byte >= 0x20 && byte <= 0x7E && c != '\\' && alsoEscaped.find(c) == std::string_view::npos) {
      text.push_back(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text += escaped;
    }
  }
  return text;
}

}  // namespace k24
