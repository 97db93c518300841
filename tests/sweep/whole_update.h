// A whole update, from start to the last key, against the recorder model on
// the in-process bus with a virtual clock, and the judge of its outcome: did
// it end as the dialogue may end, was every "OK" it printed true, was
// nothing lost on the recorder, and does its record in the update history say
// what happened. Shared by the fault sweep and the fuzzer of
// the whole dialogue.
//
// The bus tells places, as libusb does, and a second recorder sits on it
// elsewhere: plugged in while the first is away for each restart (after the
// wait has seen it leave), unplugged as the first leaves for the next one.
// Nothing may ever reach it.
#pragma once

#include <cstdint>
#include <deque>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "dialogue/dialogue.h"
#include "images/image_store.h"
#include "link/clock.h"
#include "link/device_link.h"
#include "testing/emulated_bus.h"
#include "testing/fake_instance_lock.h"
#include "testing/memory_history_store.h"
#include "testing/memory_image_source.h"
#include "testing/recorder_model.h"

namespace k24::sweep {

// The recorder before the update: firmware 1.2 of the sample's model, this
// serial number, and a NAND page 0 of its own.
inline constexpr VersionWord kRecorderFirmwareVersion = 0x0102;
inline constexpr const char* kRecorderSerialNumber = "ABCDE12345";

// The longest a whole update may take on the virtual clock: four waits for
// re-enumeration (the flash path's), each of two bounded phases.
inline constexpr std::uint64_t kUpdateTimeBoundMs = 8 * (kReenumerationPhaseLimitMs + kPresencePollIntervalMs);

// A virtual clock that stops the program when a wait runs away, so a hang
// shows as a crash with a message instead of a test that never ends.
class BoundedClock final : public Clock {
 public:
  std::uint64_t NowMs() override { return nowMs; }
  void SleepMs(std::uint32_t milliseconds) override;
  std::uint64_t startMs = 1'000'000;
  std::uint64_t nowMs = startMs;
};

struct WholeUpdate;

// Keys from a list; output kept. It hands every message to the update as it
// is written, so a procedure's "OK" is judged against the recorder as it is
// at that moment.
class JudgedConsole final : public Console {
 public:
  explicit JudgedConsole(WholeUpdate& update) : update_(update) {}
  void Write(std::string_view text) override;
  void Flush() override {}
  void WriteError(std::string_view text) override { errors.append(text); }
  std::uint16_t ReadRawKey() override;
  bool KeyWaiting() override { return !keys.empty() || escWhenOut; }
  void DiscardTypedAhead() override {}
  // Sleeps on the clock, when given, for the whole time: no key arrives
  // while the update waits.
  void WaitForKey(std::uint32_t timeoutMs, std::span<const int> /*alsoWatch*/) override {
    if (clock != nullptr) clock->SleepMs(timeoutMs);
  }
  bool HasKeyInput() override { return true; }
  void BeginCriticalSection() override { ++inCriticalSection; }
  void EndCriticalSection() override { --inCriticalSection; }
  const char* HeldEndingSignal() override { return nullptr; }

  Clock* clock = nullptr;
  std::deque<std::uint16_t> keys;
  bool escWhenOut = false;  // past the keys, Esc (the fuzzer's operator gives up); else a read past the script
  std::string output;
  std::string errors;  // standard error, beside the dialogue
  int readsPastScript = 0;
  int readsInCriticalSection = 0;
  int inCriticalSection = 0;
  bool readSinceLastWrite = false;

 private:
  WholeUpdate& update_;
};

// The images the update carries, and what the recorder should hold after
// each procedure: computed once.
struct ExpectedImages {
  emulator::MemoryImageSource source;
  ImageDigests digests;
  FlashImage firmware{};
  FlashImage flashReplacer{};  // "BRC20", spliced
  FlashImage nandReplacer{};   // "BRC", spliced
};
const ExpectedImages& Expected();

struct WholeUpdate {
  // A recorder with boot loader `bootLoader` and the state above.
  explicit WholeUpdate(VersionWord bootLoader);
  WholeUpdate(const WholeUpdate&) = delete;
  WholeUpdate& operator=(const WholeUpdate&) = delete;

  // Runs the dialogue to its end; keeps the exit code.
  void Run(DialogueOptions options = {});
  // Everything wrong with the run, each as one line; empty when it ended as
  // the dialogue may end, every "OK" was true and nothing was lost.
  std::vector<std::string> Judge() const;

  // Called by the console for each message.
  void NoteWrite(std::string_view text);
  bool LeftAtTheCommit(const std::vector<emulator::LoggedTransfer>& log, std::size_t from) const;
  void JudgeRecord(std::vector<std::string>& problems) const;

  emulator::RecorderModel model;
  emulator::EmulatedBus bus{model};
  emulator::RecorderModel second;  // elsewhere on the bus; arrives at each restart
  static constexpr const char* kSecondPlace = "1-2";
  BoundedClock clock;
  JudgedConsole console{*this};
  emulator::FakeInstanceLock lock;
  emulator::MemoryHistoryStore history;  // the run's record, judged with the rest
  emulator::FakeWallClock wallClock;
  DeviceLink link;
  DialoguePorts ports;
  int exitCode = -1;
  bool ran = false;
  std::uint64_t timeBoundMs = kUpdateTimeBoundMs;  // more when the operator plugs the recorder in late

  // The recorder before the update.
  std::vector<std::uint8_t> flashRegionBefore;
  std::vector<std::uint8_t> nandPage0Before;
  std::vector<std::uint8_t> serialBefore;
  std::vector<std::uint8_t> secondFlashBefore;

  // Where the procedure now being shown began in the model's log.
  enum class Section { None, BootLoader, Firmware };
  Section section = Section::None;
  std::size_t sectionStart = 0;
  std::vector<std::string> untrueOks;  // found when each "OK" was printed
  std::set<int> ignoredRowsUsed;       // rows of IgnoredResults() that let a failure pass under an "OK"
  int oks = 0;
};

// The results the update deliberately leaves unexamined, with the reason.
struct IgnoredResult {
  const char* what;
  // Whether log entry `at` is one of them.
  bool (*matches)(const std::vector<emulator::LoggedTransfer>& log, std::size_t at);
  const char* why;
};
std::span<const IgnoredResult> IgnoredResults();

}  // namespace k24::sweep
