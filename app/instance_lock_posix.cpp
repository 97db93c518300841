// The instance lock on POSIX systems: a Unix domain socket bound to the lock's
// name in the abstract namespace (Linux). Binding succeeds for one process at
// a time, whoever the user; a second bind of the name fails with EADDRINUSE.
// The socket is never closed: the kernel frees the name when the process ends,
// however it ends (crash, kill -9), so the lock can never be left stale.
//
// Nothing lives in the file system, so nothing planted there (a directory, a
// FIFO, a symbolic link or another user's private file under a lock file's
// name) can take the lock away or make two instances run side by side.
//
// Abstract names belong to a network namespace: a process in a container with
// a network stack of its own neither sees nor blocks the name outside it. The
// tests keep their runs apart that way, each in a namespace of its own; the
// program has no setting that renames or switches off its lock.
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "dialogue/instance_lock.h"

namespace k24 {
namespace {

class PosixInstanceLock final : public InstanceLock {
 public:
  // The socket is deliberately never closed: the lock is held until the
  // process ends, even if this object goes first.
  LockOutcome Take(std::string_view name, std::string& reason) override {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A leading NUL puts the name in the abstract namespace.
    if (name.empty() || name.size() > sizeof address.sun_path - 1) {
      reason = "a lock name of " + std::to_string(name.size()) + " bytes does not fit a socket address (1 to " +
               std::to_string(sizeof address.sun_path - 1) + ")";
      return LockOutcome::Unavailable;
    }
    address.sun_path[0] = '\0';
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());

    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      reason = std::string("socket: ") + std::strerror(errno);
      return LockOutcome::Unavailable;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      return LockOutcome::Taken;
    }
    const int error = errno;
    close(fd);
    if (error == EADDRINUSE) {
      return LockOutcome::HeldElsewhere;
    }
    reason = std::string("bind: ") + std::strerror(error);
    return LockOutcome::Unavailable;
  }
};

}  // namespace

std::unique_ptr<InstanceLock> MakeSystemInstanceLock() {
  return std::make_unique<PosixInstanceLock>();
}

}  // namespace k24
