// The update history on Linux: $XDG_STATE_HOME/k24update/history.log, or
// $HOME/.local/state/k24update/history.log. Directories that are missing are
// made for this user alone (0700), the file too (0600); each record goes in
// with one write to a file opened for appending, so records of two runs never
// interleave. Only a regular file is written or read: the append happens
// while ending signals are held, so nothing on the way may block.
#include "history/history_file_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace k24 {
namespace {

constexpr const char* kNoPath = "neither XDG_STATE_HOME nor HOME is an absolute path";
constexpr const char* kNotRegular = "it is not a regular file";
constexpr std::size_t kPieceSize = std::size_t{64} * 1024;

std::string BelongsToAnother(const std::string& what, uid_t found, uid_t owner) {
  return what + " belongs to user " + std::to_string(found) + ", not to user " + std::to_string(owner);
}

// Why opening the history failed, as the one who reads the line can act on it.
std::string OpenFailure(int error) {
  switch (error) {
    case ELOOP: return "it is a symbolic link, which is not followed";
    case ENXIO: return kNotRegular;  // a FIFO without a reader, a socket, a device without its driver
    default: return std::strerror(error);
  }
}

// Makes each missing directory of `path` up to its last slash. With `owner`,
// the deepest directory that is there must be that user's when anything is
// to be made in it, the file included.
bool MakeParentDirectories(const std::string& path, std::optional<uid_t> owner, std::string& reason) {
  struct stat status {};
  std::string deepest = "/";
  if (stat(deepest.c_str(), &status) != 0) {
    reason = std::strerror(errno);
    return false;
  }
  uid_t deepestOwner = status.st_uid;
  bool madeOne = false;
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string directory = path.substr(0, slash);
    if (!madeOne) {
      if (stat(directory.c_str(), &status) == 0) {
        deepest = directory;
        deepestOwner = status.st_uid;
        continue;
      }
      if (errno != ENOENT) {
        reason = std::strerror(errno);
        return false;
      }
      if (owner && deepestOwner != *owner) {
        reason = BelongsToAnother(deepest, deepestOwner, *owner);
        return false;
      }
    }
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
      reason = std::strerror(errno);
      return false;
    }
    madeOne = true;
  }
  if (!madeOne && owner && deepestOwner != *owner && lstat(path.c_str(), &status) != 0 && errno == ENOENT) {
    reason = BelongsToAnother(deepest, deepestOwner, *owner);
    return false;
  }
  return true;
}

bool ClearNonBlocking(int file, std::string& reason) {
  const int flags = fcntl(file, F_GETFL);
  if (flags < 0 || fcntl(file, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    reason = std::strerror(errno);
    return false;
  }
  return true;
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
    if (!MakeParentDirectories(*path_, owner_, written.reason)) {
      return written;
    }
    // Not blocking on the way in: a FIFO at the path would wait for a reader for ever.
    const int file =
        open(path_->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
    if (file < 0) {
      written.reason = OpenFailure(errno);
      return written;
    }
    struct stat status {};
    if (fstat(file, &status) != 0) {
      written.reason = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
      written.reason = kNotRegular;
    } else if (owner_ && status.st_uid != *owner_) {
      written.reason = BelongsToAnother("it", status.st_uid, *owner_);
    } else if (ClearNonBlocking(file, written.reason)) {
      Write(file, record, status.st_size, written.reason);
    }
    if (close(file) != 0 && written.reason.empty()) {
      written.reason = std::strerror(errno);
    }
    written.ok = written.reason.empty();
    return written;
  }

  HistoryRead Read(const HistorySink& sink) override {
    HistoryRead read;
    if (!path_) {
      read.reason = kNoPath;
      return read;
    }
    read.location = *path_;
    const int file = open(path_->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (file < 0) {
      read.status = errno == ENOENT ? HistoryRead::Status::Missing : HistoryRead::Status::Unreadable;
      read.reason = std::strerror(errno);
      return read;
    }
    struct stat status {};
    if (fstat(file, &status) != 0) {
      read.reason = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
      read.reason = kNotRegular;
    } else if (ClearNonBlocking(file, read.reason)) {
      Copy(file, sink, read);
    }
    close(file);
    return read;
  }

 private:
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
