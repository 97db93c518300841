// The ports beneath the update history: where the records go (a file of this
// user's on each platform, a string in the tests) and what time it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace k24 {

struct HistoryWrite {
  bool ok = false;
  std::string location;  // the file's path, or what stands for it
  std::string reason;    // why it could not be written
};

struct HistoryRead {
  // NotShown: the history could be read, but where it went took no more.
  enum class Status : std::uint8_t { Read, Missing, Unreadable, NotShown };
  Status status = Status::Unreadable;
  std::string location;
  std::string reason;  // Unreadable, NotShown: why
};

// Where a read history goes, a piece at a time: false, with the reason, when
// a piece could not be put there. It is never called for an empty history.
using HistorySink = std::function<bool(std::string_view piece, std::string& reason)>;

class HistoryStore {
 public:
  virtual ~HistoryStore() = default;
  // Appends one record whole, with a single write at the end of the store,
  // so that two runs' records never interleave.
  virtual HistoryWrite Append(std::string_view record) = 0;
  // Hands the whole history to `sink` in pieces of a bounded size, as
  // stored; a history that exists and is empty is Read, with no piece.
  virtual HistoryRead Read(const HistorySink& sink) = 0;
  // The last `maxBytes` bytes of the history (all of it when it is shorter),
  // for a look at its latest records; statuses and reasons as Read's.
  virtual HistoryRead ReadTail(std::size_t maxBytes, std::string& tail) = 0;
};

// This user's history on this platform: on Linux
// $XDG_STATE_HOME/k24update/history.log (or $HOME/.local/state/...), on
// Windows %LOCALAPPDATA%\k24update\history.log. One file per platform.
std::unique_ptr<HistoryStore> MakeSystemHistoryStore();

// The Linux path from the two variables (unset: nullptr). XDG_STATE_HOME
// counts only when it is an absolute path; otherwise $HOME/.local/state,
// when HOME is absolute. None when neither is.
std::optional<std::string> HistoryPathFromEnvironment(const char* xdgStateHome, const char* home);

// The time of day, as seconds since 1970-01-01 00:00 UTC.
class WallClock {
 public:
  virtual ~WallClock() = default;
  virtual std::int64_t UnixSeconds() = 0;
};

WallClock& SystemWallClock();

}  // namespace k24
