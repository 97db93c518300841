// The update history in memory, and a wall clock that says what it is told:
// for the dialogue tests, which read each run's record from here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/history_store.h"

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
    exists = true;
    records.emplace_back(record);
    text.append(record);
    written.ok = true;
    return written;
  }
  // Missing until the first append, or until `exists` is set, as a file is:
  // one that is there and empty is read as an empty history.
  HistoryRead Read(const HistorySink& sink) override {
    HistoryRead read;
    read.location = location;
    if (failWith) {
      read.reason = *failWith;
      return read;
    }
    if (!exists) {
      read.status = HistoryRead::Status::Missing;
      return read;
    }
    for (std::size_t at = 0; at < text.size(); at += pieceSize) {
      if (!sink(std::string_view(text).substr(at, pieceSize), read.reason)) {
        read.status = HistoryRead::Status::NotShown;
        return read;
      }
    }
    read.status = HistoryRead::Status::Read;
    return read;
  }

  HistoryRead ReadTail(std::size_t maxBytes, std::string& tail) override {
    HistoryRead read;
    read.location = location;
    tail.clear();
    if (failWith) {
      read.reason = *failWith;
      return read;
    }
    if (!exists) {
      read.status = HistoryRead::Status::Missing;
      return read;
    }
    tail = text.size() > maxBytes ? text.substr(text.size() - maxBytes) : text;
    read.status = HistoryRead::Status::Read;
    return read;
  }

  std::string location = "(memory)";
  bool exists = false;                  // the store is there, empty or not
  std::size_t pieceSize = 16;           // what each piece handed to a reader holds at most
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
