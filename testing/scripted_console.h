// A console for dialogue tests: keys come from a script, output goes to a
// string. Raw key values are scripted as the platform delivers them (a key
// without a character is 0 followed by its scan code).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "dialogue/console.h"

namespace k24::testing {

// A raw value returned when the script has run out; it answers no prompt.
inline constexpr std::uint16_t kScriptExhausted = 0xFFFF;

class ScriptedConsole final : public Console {
 public:
  void Write(std::string_view text) override { output.append(text); }
  void Flush() override {}
  std::uint16_t ReadRawKey() override {
    ++rawReads;
    if (keys.empty()) {
      ++readsPastScript;
      return kScriptExhausted;
    }
    const std::uint16_t key = keys.front();
    keys.pop_front();
    return key;
  }
  bool KeyWaiting() override {
    ++waitingPolls;
    return waitingPolls > pollsBeforeKeysArrive && !keys.empty();
  }

  std::deque<std::uint16_t> keys;
  int pollsBeforeKeysArrive = 0;  // KeyWaiting says no until this many polls
  std::string output;
  int rawReads = 0;
  int readsPastScript = 0;
  int waitingPolls = 0;
};

}  // namespace k24::testing
