// The update history in memory, and a wall clock that says what it is told:
// for the dialogue tests, which read each run's record from here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dialogue/history_store.h"

namespace k24::emulator {

class MemoryHistoryStore final : public HistoryStore {
 public:
  HistoryWrite Append(std::string_view record) override {
    HistoryWrite written;
    written.location = location;
    if (failWith) {
      written.reason = *failWith;
      return written;
    }
    records.emplace_back(record);
    text.append(record);
    written.ok = true;
    return written;
  }
  HistoryRead Read() override {
    HistoryRead read;
    read.location = location;
    if (failWith) {
      read.reason = *failWith;
      return read;
    }
    read.status = records.empty() ? HistoryRead::Status::Missing : HistoryRead::Status::Read;
    read.text = text;
    return read;
  }

  std::string location = "(memory)";
  std::optional<std::string> failWith;  // every append and read fails with this reason
  std::vector<std::string> records;     // one per append
  std::string text;                     // all of them, as a file would hold them
};

class FakeWallClock final : public WallClock {
 public:
  std::int64_t UnixSeconds() override {
    const std::int64_t now = seconds;
    seconds += stepSeconds;
    return now;
  }
  std::int64_t seconds = 1'796'900'000;  // 2026-12-10T10:53:20Z
  std::int64_t stepSeconds = 0;          // added after each reading
};

}  // namespace k24::emulator
