#include "dialogue/instance_lock.h"

#include <cstdlib>

namespace k24 {

std::string InstanceLockName(std::string_view requested) {
  const char* replacement = std::getenv("K24_TEST_LOCK_NAME");
  return replacement != nullptr && replacement[0] != '\0' ? std::string(replacement) : std::string(requested);
}

}  // namespace k24
