// The instance lock on POSIX systems: an exclusive flock(2) on a lock file in
// a directory every user can write to. The kernel drops the lock when the last
// descriptor of the file goes, so it goes with the process however the process
// ends (crash, kill -9) and can never be left stale; the file itself may stay
// behind and is harmless.
//
// The file is shared by every user of the machine:
// - it is created mode 0666 whatever the umask, so others can open it;
// - it is opened read-only (flock needs no write access), so a file made by
//   another user with a narrower mode still works;
// - it is opened without O_CREAT first, because with fs.protected_regular an
//   O_CREAT open of another user's file in a sticky directory fails (EACCES);
// - O_NOFOLLOW and O_NONBLOCK, plus a check that it is a regular file, keep a
//   symbolic link or a FIFO planted under the name from redirecting or
//   blocking the program.
//
// The directory is /tmp; the environment variable K24_LOCK_DIR names another
// one (tests use it to keep their runs apart from a real update).
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dialogue/instance_lock.h"

namespace k24 {
namespace {

constexpr const char* kDefaultLockDirectory = "/tmp";
constexpr const char* kLockDirectoryVariable = "K24_LOCK_DIR";
constexpr mode_t kLockFileMode = 0666;
// Another process may create or remove the file between our two opens.
constexpr int kOpenAttempts = 5;

std::string LockFilePath(std::string_view name) {
  const char* directory = std::getenv(kLockDirectoryVariable);
  std::string path = directory != nullptr && directory[0] != '\0' ? directory : kDefaultLockDirectory;
  path += '/';
  for (const char c : name) {
    path += c == '/' ? '_' : c;
  }
  path += ".lock";
  return path;
}

// Opens the lock file, creating it when it does not exist; -1 when neither works.
int OpenLockFile(const std::string& path) {
  const int commonFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    const int existing = open(path.c_str(), O_RDONLY | commonFlags);
    if (existing >= 0 || errno != ENOENT) {
      return existing;
    }
    const int created = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | commonFlags, kLockFileMode);
    if (created >= 0) {
      // The umask narrowed the mode given to open; other users need it whole.
      fchmod(created, kLockFileMode);
      return created;
    }
    if (errno != EEXIST) {
      return -1;
    }
  }
  return -1;
}

class PosixInstanceLock final : public InstanceLock {
 public:
  // The descriptor is deliberately never closed: the lock is held until the
  // process ends, even if this object goes first.
  LockOutcome Take(std::string_view name) override {
    const int fd = OpenLockFile(LockFilePath(name));
    if (fd < 0) {
      return LockOutcome::Unavailable;
    }
    struct stat status{};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      close(fd);
      return LockOutcome::Unavailable;
    }
    for (;;) {
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return LockOutcome::Taken;
      }
      if (errno != EINTR) {
        break;
      }
    }
    const int reason = errno;
    close(fd);
    return reason == EWOULDBLOCK ? LockOutcome::HeldElsewhere : LockOutcome::Unavailable;
  }
};

}  // namespace

std::unique_ptr<InstanceLock> MakeSystemInstanceLock() {
  return std::make_unique<PosixInstanceLock>();
}

}  // namespace k24
