// A console for dialogue tests: keys come from a script, output goes to a
// string. Raw key values are scripted as the platform delivers them (a key
// without a character is 0 followed by its scan code).
//
// Keys in `keys` are pressed when the dialogue asks for one, so a discard of
// typed-ahead keys never drops them. Keys in `typedAhead` were pressed before
// they were asked for: they are read first, and DiscardTypedAhead drops them.
// `typeAheadAfterRead` types more keys ahead once a given number of raw reads
// has been made (keys pressed while the program was busy after that read).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "link/clock.h"

namespace k24::emulator {

// A raw value returned when the script has run out; it answers no prompt.
inline constexpr std::uint16_t kScriptExhausted = 0xFFFF;

class ScriptedConsole final : public Console {
 public:
  void Write(std::string_view text) override {
    output.append(text);
    if (inCriticalSection > 0) {
      outputInCriticalSections.append(text);
    }
  }
  void Flush() override {}
  void WriteError(std::string_view text) override { errors.append(text); }
  std::uint16_t ReadRawKey() override {
    ++rawReads;
    if (inCriticalSection > 0) {
      ++readsInCriticalSection;
    }
    std::uint16_t key = kScriptExhausted;
    if (!typedAhead.empty()) {
      key = typedAhead.front();
      typedAhead.pop_front();
    } else if (!keys.empty()) {
      key = keys.front();
      keys.pop_front();
    } else {
      ++readsPastScript;
    }
    if (const auto more = typeAheadAfterRead.find(rawReads); more != typeAheadAfterRead.end()) {
      typedAhead.insert(typedAhead.end(), more->second.begin(), more->second.end());
    }
    return key;
  }
  bool KeyWaiting() override {
    ++waitingPolls;
    return !typedAhead.empty() || (waitingPolls > pollsBeforeKeysArrive && !keys.empty());
  }
  // Sleeps on the clock, if one is given, for the whole time: no key
  // arrives while a scripted console waits.
  void WaitForKey(std::uint32_t timeoutMs, std::span<const int> alsoWatch) override {
    ++keyWaits;
    keyWaitedMs += timeoutMs;
    watchedDescriptors = alsoWatch.size();
    if (clock != nullptr) clock->SleepMs(timeoutMs);
  }
  void DiscardTypedAhead() override {
    ++discards;
    typedAhead.clear();
  }
  bool HasKeyInput() override { return hasKeyInput; }
  void BeginCriticalSection() override {
    if (inCriticalSection++ == 0) {
      ++outermostSections;
    }
    ++criticalSectionBegins;
  }
  void EndCriticalSection() override {
    --inCriticalSection;
    ++criticalSectionEnds;
    if (inCriticalSection == 0 && SignalHeld()) {
      signalActed = true;
      if (onSignalActs) onSignalActs();  // the program would end here
    }
  }
  const char* HeldEndingSignal() override { return inCriticalSection > 0 && SignalHeld() ? signalName : nullptr; }

  std::deque<std::uint16_t> keys;
  std::deque<std::uint16_t> typedAhead;
  std::map<int, std::vector<std::uint16_t>> typeAheadAfterRead;
  int pollsBeforeKeysArrive = 0;  // KeyWaiting says no until this many polls
  std::string output;
  std::string errors;  // standard error, beside the dialogue
  std::string outputInCriticalSections;
  int rawReads = 0;
  int readsPastScript = 0;
  int waitingPolls = 0;
  int discards = 0;
  int keyWaits = 0;
  std::uint64_t keyWaitedMs = 0;
  std::size_t watchedDescriptors = 0;  // at the last wait
  Clock* clock = nullptr;              // advanced by WaitForKey
  // Open critical sections (a count, so an unbalanced end shows as negative).
  int inCriticalSection = 0;
  int criticalSectionBegins = 0;
  int criticalSectionEnds = 0;
  int readsInCriticalSection = 0;
  bool hasKeyInput = true;  // a terminal to read keys from
  // An ending signal that comes while the outermost critical section of this
  // number (from 1) is open: held there, it acts as that section ends, where
  // `onSignalActs` is called (the program would end there; the dialogue here
  // goes on, so a test looks at what was done by then).
  int signalInSection = 0;
  const char* signalName = "SIGINT";
  std::function<void()> onSignalActs;
  bool signalActed = false;
  int outermostSections = 0;

 private:
  bool SignalHeld() const { return signalInSection != 0 && outermostSections == signalInSection && !signalActed; }
};

}  // namespace k24::emulator
