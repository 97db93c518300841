#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace k24 {

std::uint16_t ReadKey(Console& console) {
  const std::uint16_t first = console.ReadRawKey();
  if (first != 0) {
    return first;
  }
  return static_cast<std::uint16_t>(console.ReadRawKey() << 8);
}

void Print(Console& console, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list copy;
  va_copy(copy, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length > 0) {
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, arguments);
    text.pop_back();
    console.Write(text);
  }
  va_end(arguments);
}

}  // namespace k24
