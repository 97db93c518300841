// The update history on Linux: $XDG_STATE_HOME/k24update/history.log, or
// $HOME/.local/state/k24update/history.log. Directories that are missing are
// made for this user alone (0700), the file too (0600); each record goes in
// with one write to a file opened for appending, so records of two runs never
// interleave.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dialogue/history_store.h"

namespace k24 {
namespace {

constexpr const char* kNoPath = "neither XDG_STATE_HOME nor HOME is an absolute path";

// Makes each missing directory of `path` up to its last slash.
bool MakeParentDirectories(const std::string& path, std::string& reason) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string directory = path.substr(0, slash);
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
      reason = std::strerror(errno);
      return false;
    }
  }
  return true;
}

class HistoryFile final : public HistoryStore {
 public:
  HistoryFile() : path_(HistoryPathFromEnvironment(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"))) {}

  HistoryWrite Append(std::string_view record) override {
    HistoryWrite written;
    if (!path_) {
      written.reason = kNoPath;
      return written;
    }
    written.location = *path_;
    if (!MakeParentDirectories(*path_, written.reason)) {
      return written;
    }
    const int file = open(path_->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0600);
    if (file < 0) {
      written.reason = std::strerror(errno);
      return written;
    }
    ssize_t wrote = 0;
    do {
      wrote = write(file, record.data(), record.size());
    } while (wrote < 0 && errno == EINTR);
    if (wrote < 0) {
      written.reason = std::strerror(errno);
    } else if (static_cast<std::size_t>(wrote) != record.size()) {
      // A second write could land after another run's record: say so instead.
      written.reason = "only " + std::to_string(wrote) + " of " + std::to_string(record.size()) +
                       " bytes of the record were written";
    }
    if (close(file) != 0 && written.reason.empty()) {
      written.reason = std::strerror(errno);
    }
    written.ok = written.reason.empty();
    return written;
  }

  HistoryRead Read() override {
    HistoryRead read;
    if (!path_) {
      read.reason = kNoPath;
      return read;
    }
    read.location = *path_;
    const int file = open(path_->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (file < 0) {
      read.status = errno == ENOENT ? HistoryRead::Status::Missing : HistoryRead::Status::Unreadable;
      read.reason = std::strerror(errno);
      return read;
    }
    char buffer[8192];
    for (;;) {
      const ssize_t got = ::read(file, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        read.reason = std::strerror(errno);
        close(file);
        return read;
      }
      if (got == 0) {
        break;
      }
      read.text.append(buffer, static_cast<std::size_t>(got));
    }
    close(file);
    read.status = HistoryRead::Status::Read;
    return read;
  }

 private:
  std::optional<std::string> path_;
};

}  // namespace

std::unique_ptr<HistoryStore> MakeSystemHistoryStore() { return std::make_unique<HistoryFile>(); }

}  // namespace k24
