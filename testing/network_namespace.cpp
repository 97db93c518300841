#include "testing/network_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace k24::emulator {
namespace {

bool WriteProcFile(const char* path, const std::string& text, std::string& error) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::string(path) + ": " + std::strerror(errno);
    return false;
  }
  const ssize_t wrote = write(fd, text.data(), text.size());
  const int writeError = errno;
  close(fd);
  if (wrote != static_cast<ssize_t>(text.size())) {
    error = std::string(path) + ": " + std::strerror(wrote < 0 ? writeError : EIO);
    return false;
  }
  return true;
}

}  // namespace

bool EnterOwnNetworkNamespace(std::string& error) {
  if (unshare(CLONE_NEWNET) == 0) {
    return true;
  }
  const int asRoot = errno;
  if (asRoot != EPERM) {
    error = std::string("unshare(CLONE_NEWNET): ") + std::strerror(asRoot);
    return false;
  }
  // Not root: a user namespace gives the right to make a network namespace.
  const uid_t user = geteuid();
  const gid_t group = getegid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    error = std::string("unshare(CLONE_NEWNET) as a user: ") + std::strerror(asRoot) +
            "; with a user namespace: " + std::strerror(errno);
    return false;
  }
  return WriteProcFile("/proc/self/setgroups", "deny", error) &&
         WriteProcFile("/proc/self/uid_map", std::to_string(user) + " " + std::to_string(user) + " 1", error) &&
         WriteProcFile("/proc/self/gid_map", std::to_string(group) + " " + std::to_string(group) + " 1", error);
}

}  // namespace k24::emulator
