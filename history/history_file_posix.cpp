// The update history on Linux: $XDG_STATE_HOME/k24update/history.log, or
// $HOME/.local/state/k24update/history.log. Directories that are missing are
// made for this user alone (0700), the file too (0600); each record goes in
// with one write to a file opened for appending, so records of two runs never
// interleave. Only a regular file is written or read: the append happens
// while ending signals are held, so nothing on the way may block.
//
// The path is walked one directory at a time from "/", each opened with
// O_NOFOLLOW: no symbolic link is followed anywhere in it, so a link planted
// in the state path (by another user, for a run as root) never decides where
// the history is made, written or read. A file with more than one name (a
// hard link) is not the history either. Reading applies the same rules.
#include "history/history_file_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace k24 {
namespace {

constexpr const char* kNoPath = "neither XDG_STATE_HOME nor HOME is an absolute path";
constexpr const char* kNotRegular = "it is not a regular file";
constexpr const char* kNotFollowed = " is a symbolic link, which is not followed";
constexpr std::size_t kPieceSize = std::size_t{64} * 1024;

std::string BelongsToAnother(const std::string& what, uid_t found, uid_t owner) {
  return what + " belongs to user " + std::to_string(found) + ", not to user " + std::to_string(owner);
}

// Closes a descriptor when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { Reset(-1); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  [[nodiscard]] int Get() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The path's directories from "/" down, and the file's name.
struct SplitPath {
  std::vector<std::string> directories;
  std::string file;
};

SplitPath Split(const std::string& path) {
  SplitPath split;
  std::size_t from = 0;
  while (from < path.size()) {
    const std::size_t slash = path.find('/', from);
    const std::size_t to = slash == std::string::npos ? path.size() : slash;
    if (to > from) split.directories.push_back(path.substr(from, to - from));
    from = to + 1;
  }
  if (!split.directories.empty()) {
    split.file = split.directories.back();
    split.directories.pop_back();
  }
  return split;
}

// Why opening `name` in `directory` (shown as `shown`) failed: a link gets a
// reason of its own, whatever the error that the refusal to follow it gave.
std::string OpenFailure(int directory, const std::string& name, const std::string& shown, int error) {
  struct stat status {};
  if (fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
    return shown + kNotFollowed;
  }
  if (error == ENXIO) {
    return kNotRegular;  // a FIFO without a reader, a socket, a device without its driver
  }
  return std::strerror(error);
}

// What the walk down the path found.
struct Walk {
  Descriptor directory;  // the file's directory, once reached
  bool missing = false;  // a directory on the way is not there (and none was to be made)
  std::string reason;
};

// Walks the directories of `path` from "/" without following a link. With
// `make`, a missing directory is made (0700); with `owner` too, only in a
// directory of that user's, and nothing is made before that is known.
void WalkTo(const SplitPath& path, bool make, std::optional<uid_t> owner, Walk& walk) {
  walk.directory.Reset(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (walk.directory.Get() < 0) {
    walk.reason = std::strerror(errno);
    return;
  }
  std::string shown;
  for (const std::string& name : path.directories) {
    const std::string here = shown.empty() ? "/" : shown;
    shown += "/" + name;
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int next = openat(walk.directory.Get(), name.c_str(), flags);
    if (next < 0 && errno == ENOENT) {
      if (!make) {
        walk.missing = true;
        walk.reason = std::strerror(ENOENT);
        return;
      }
      struct stat status {};
      if (fstat(walk.directory.Get(), &status) != 0) {
        walk.reason = std::strerror(errno);
        return;
      }
      if (owner && status.st_uid != *owner) {
        walk.reason = BelongsToAnother(here, status.st_uid, *owner);
        return;
      }
      if (mkdirat(walk.directory.Get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
        walk.reason = std::strerror(errno);
        return;
      }
      next = openat(walk.directory.Get(), name.c_str(), flags);
    }
    if (next < 0) {
      walk.reason = OpenFailure(walk.directory.Get(), name, shown, errno);
      return;
    }
    walk.directory.Reset(next);
  }
}

bool ClearNonBlocking(int file, std::string& reason) {
  const int flags = fcntl(file, F_GETFL);
  if (flags < 0 || fcntl(file, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    reason = std::strerror(errno);
    return false;
  }
  return true;
}

// Whether an open file may stand for the history: a regular file with one
// name, of `owner`'s when one is asked for.
bool IsTheHistory(int file, std::optional<uid_t> owner, struct stat& status, std::string& reason) {
  if (fstat(file, &status) != 0) {
    reason = std::strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    reason = kNotRegular;
  } else if (owner && status.st_uid != *owner) {
    reason = BelongsToAnother("it", status.st_uid, *owner);
  } else if (status.st_nlink != 1) {
    reason = "it has " + std::to_string(status.st_nlink) + " names (hard links), not one";
  }
  return reason.empty();
}

class HistoryFile final : public HistoryStore {
 public:
  HistoryFile(std::optional<std::string> path, std::optional<uid_t> owner) : path_(std::move(path)), owner_(owner) {}

  HistoryWrite Append(std::string_view record) override {
    HistoryWrite written;
    if (!path_) {
      written.reason = kNoPath;
      return written;
    }
    written.location = *path_;
    // A history at the size limit (ulimit -f) must cost a line, not the
    // program: the write then fails with EFBIG instead of raising SIGXFSZ.
    // (The program's entry ignores it from the start, for its trace too.)
    signal(SIGXFSZ, SIG_IGN);
    const SplitPath split = Split(*path_);
    Walk walk;
    WalkTo(split, true, owner_, walk);
    if (!walk.reason.empty()) {
      written.reason = walk.reason;
      return written;
    }
    if (owner_) {
      // The file too is made only in a directory of the owner's.
      struct stat status {};
      struct stat there {};
      if (fstatat(walk.directory.Get(), split.file.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT &&
          fstat(walk.directory.Get(), &status) == 0 && status.st_uid != *owner_) {
        written.reason = BelongsToAnother(path_->substr(0, path_->rfind('/')), status.st_uid, *owner_);
        return written;
      }
    }
    // Not blocking on the way in: a FIFO at the path would wait for a reader for ever.
    Descriptor file(openat(walk.directory.Get(), split.file.c_str(),
                           O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600));
    if (file.Get() < 0) {
      written.reason = OpenFailure(walk.directory.Get(), split.file, "it", errno);
      return written;
    }
    struct stat status {};
    if (IsTheHistory(file.Get(), owner_, status, written.reason) && ClearNonBlocking(file.Get(), written.reason)) {
      Write(file.Get(), record, status.st_size, written.reason);
    }
    if (close(file.Release()) != 0 && written.reason.empty()) {
      written.reason = std::strerror(errno);
    }
    written.ok = written.reason.empty();
    return written;
  }

  HistoryRead Read(const HistorySink& sink) override {
    HistoryRead read;
    const Descriptor file(OpenForReading(read));
    if (file.Get() >= 0) {
      Copy(file.Get(), sink, read);
    }
    return read;
  }

  HistoryRead ReadTail(std::size_t maxBytes, std::string& tail) override {
    HistoryRead read;
    tail.clear();
    const Descriptor file(OpenForReading(read));
    if (file.Get() < 0) {
      return read;
    }
    struct stat status {};
    if (fstat(file.Get(), &status) != 0) {
      read.reason = std::strerror(errno);
      return read;
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    const std::size_t take = size < maxBytes ? size : maxBytes;
    tail.resize(take);
    std::size_t got = 0;
    while (got < take) {
      const ssize_t part = pread(file.Get(), tail.data() + got, take - got, static_cast<off_t>(size - take + got));
      if (part < 0 && errno == EINTR) continue;
      if (part < 0) {
        read.reason = std::strerror(errno);
        tail.clear();
        return read;
      }
      if (part == 0) break;  // shortened meanwhile
      got += static_cast<std::size_t>(part);
    }
    tail.resize(got);
    read.status = HistoryRead::Status::Read;
    return read;
  }

 private:
  // Opens the history to read it, by the same rules as the append; -1, with
  // the status and reason in `read`, when it is not there or may not be read.
  int OpenForReading(HistoryRead& read) const {
    if (!path_) {
      read.reason = kNoPath;
      return -1;
    }
    read.location = *path_;
    const SplitPath split = Split(*path_);
    Walk walk;
    WalkTo(split, false, owner_, walk);
    if (walk.missing) {
      read.status = HistoryRead::Status::Missing;
    }
    if (!walk.reason.empty()) {
      read.reason = walk.reason;
      return -1;
    }
    Descriptor file(
        openat(walk.directory.Get(), split.file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.Get() < 0) {
      const int error = errno;
      read.status = error == ENOENT ? HistoryRead::Status::Missing : HistoryRead::Status::Unreadable;
      read.reason = OpenFailure(walk.directory.Get(), split.file, "it", error);
      return -1;
    }
    struct stat status {};
    if (!IsTheHistory(file.Get(), owner_, status, read.reason) || !ClearNonBlocking(file.Get(), read.reason)) {
      return -1;
    }
    return file.Release();
  }

  // One write of the whole record; a part of it is taken back, so that the
  // next record does not begin in the middle of a line. The instance lock
  // keeps any other run of the program from writing meanwhile.
  static void Write(int file, std::string_view record, off_t sizeBefore, std::string& reason) {
    ssize_t wrote = 0;
    do {
      wrote = write(file, record.data(), record.size());
    } while (wrote < 0 && errno == EINTR);
    if (wrote < 0) {
      reason = std::strerror(errno);
      return;
    }
    if (static_cast<std::size_t>(wrote) == record.size()) {
      return;
    }
    // A second write could land after another run's record: say so instead.
    reason = "only " + std::to_string(wrote) + " of " + std::to_string(record.size()) +
             " bytes of the record were written";
    if (ftruncate(file, sizeBefore) != 0) {
      reason += ", and they could not be taken back: " + std::string(std::strerror(errno));
    }
  }

  static void Copy(int file, const HistorySink& sink, HistoryRead& read) {
    std::string piece(kPieceSize, '\0');
    for (;;) {
      const ssize_t got = ::read(file, piece.data(), piece.size());
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        read.reason = std::strerror(errno);
        return;
      }
      if (got == 0) {
        read.status = HistoryRead::Status::Read;
        return;
      }
      if (!sink(std::string_view(piece.data(), static_cast<std::size_t>(got)), read.reason)) {
        read.status = HistoryRead::Status::NotShown;
        return;
      }
    }
  }

  std::optional<std::string> path_;
  std::optional<uid_t> owner_;
};

}  // namespace

std::unique_ptr<HistoryStore> MakeHistoryFile(std::optional<std::string> path, std::optional<uid_t> owner) {
  return std::make_unique<HistoryFile>(std::move(path), owner);
}

std::unique_ptr<HistoryStore> MakeSystemHistoryStore() {
  const uid_t effectiveUser = geteuid();
  return MakeHistoryFile(HistoryPathFromEnvironment(std::getenv("XDG_STATE_HOME"), std::getenv("HOME")),
                         effectiveUser == 0 ? std::optional<uid_t>(effectiveUser) : std::nullopt);
}

}  // namespace k24
