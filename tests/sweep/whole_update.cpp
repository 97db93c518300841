#include "whole_update.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "common/byte_order.h"
#include "images/image_layout.h"
#include "recorder/requests.h"

namespace k24::sweep {
namespace {

using emulator::LoggedTransfer;

constexpr std::size_t kRegion = 0x2A00;  // the image region of program flash
constexpr std::size_t kNandPage = emulator::kModelNandPageSize;
constexpr std::size_t kNandImageBytes = 0x3C00;  // replacer bytes in NAND pages 1 on

bool IsControl(const LoggedTransfer& entry, std::uint8_t code) {
  return entry.kind == LoggedTransfer::Kind::Control && entry.request == code;
}

// The bulk reads that answer a NandReadPages belong to it.
bool IsNandRead(const std::vector<LoggedTransfer>& log, std::size_t at) {
  return IsControl(log[at], emulator::requests::NandReadPages) || log[at].kind == LoggedTransfer::Kind::BulkIn;
}

// The update's deliberate exceptions: a failure of one of these, alone, does
// not make its procedure fail. Every other failed request inside a procedure
// that then shows "OK" is an untrue "OK".
constexpr IgnoredResult kIgnoredResults[] = {
    {"Restart (0x23)",
     [](const std::vector<LoggedTransfer>& log, std::size_t at) { return IsControl(log[at], emulator::requests::Restart); },
     "the recorder may drop off the bus before it acknowledges; the wait for its return that follows decides"},
    {"PostUpdateQuery (0xB1)",
     [](const std::vector<LoggedTransfer>& log, std::size_t at) { return IsControl(log[at], emulator::requests::PostUpdateQuery); },
     "its reply means nothing to the host; the firmware is in place and the recorder came back"},
    {"SetSerialNumber (0xC2)",
     [](const std::vector<LoggedTransfer>& log, std::size_t at) { return IsControl(log[at], emulator::requests::SetSerialNumber); },
     "a fix-up after the firmware is in place; a failed one leaves the recorder a whole number, its own or the new"},
    {"NandEraseBlock (0xD1) and its NandStatus (0xD2)",
     [](const std::vector<LoggedTransfer>& log, std::size_t at) {
       return IsControl(log[at], emulator::requests::NandEraseBlock) || IsControl(log[at], emulator::requests::NandStatus);
     },
     "a block that was not erased shows in the read-back of the image"},
    {"CommitBootArea (0xC5), failed",
     [](const std::vector<LoggedTransfer>& log, std::size_t at) { return IsControl(log[at], emulator::requests::CommitBootArea); },
     "the recorder restarts as it takes the new boot area, possibly before it answers; its return decides"},
    {"the preparatory ErasePage at 0x0200",
     [](const std::vector<LoggedTransfer>& log, std::size_t at) {
       return IsControl(log[at], emulator::requests::ErasePage) && log[at].value == kProgrammingStatePage && at + 1 < log.size() &&
              IsControl(log[at + 1], emulator::requests::Restart);
     },
     "it only asks for programming state; the restart and the wait that follow tell whether the recorder got there"},
    {"NandReadPages (0xE0) and its bulk reads", IsNandRead,
     "the block-0 read is judged by its count of bytes, the read-back by comparing the image bytes"},
};

// The row of the table that covers log entry `at`, or -1.
int IgnoredRow(const std::vector<LoggedTransfer>& log, std::size_t at) {
  for (std::size_t row = 0; row < std::size(kIgnoredResults); ++row) {
    if (kIgnoredResults[row].matches(log, at)) return static_cast<int>(row);
  }
  return -1;
}

std::vector<std::uint8_t> Bytes(const std::vector<std::uint8_t>& from, std::size_t at, std::size_t count) {
  return {from.begin() + static_cast<std::ptrdiff_t>(at), from.begin() + static_cast<std::ptrdiff_t>(at + count)};
}

bool RegionHolds(const std::vector<std::uint8_t>& flash, const FlashImage& image) {
  return std::equal(image.begin(), image.begin() + kRegion, flash.begin());
}

std::string Describe(const LoggedTransfer& entry) {
  char text[64];
  if (entry.kind == LoggedTransfer::Kind::Control) {
    std::snprintf(text, sizeof text, "request 0x%02X value 0x%04X", entry.request, entry.value);
  } else {
    std::snprintf(text, sizeof text, "bulk %s of %u bytes",
                  entry.kind == LoggedTransfer::Kind::BulkIn ? "read" : "write", entry.length);
  }
  return text;
}

// The endings the dialogue may have after the update was confirmed, and those
// where the operator (the fuzzer's) said no or gave up.
const char* const kEndings[] = {
    "Replacing firmware...OK\nPress any key to exit...\n",
    "Replacing firmware...Failed\nPress any key to exit...\n",
    "Firmware version is not compatible with this recorder.\nReplacing firmware failed.\nPress any key to exit...\n",
    "Replacing Boot Loader...Failed\nPress any key to exit.\n",
    "Boot Loader not found. Firmware loading is not possible.\nPress any key to exit.\n",
};
const char* const kRefusals[] = {
    "or other key to exit.\n",  // the offer, the warning or the upgrade prompt answered with another key
    "Connect device to continue or press Esc to exit.\n",
};

std::string TextOf(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (std::uint8_t byte : bytes) {
    if (byte == 0) break;
    text.push_back(static_cast<char>(byte));
  }
  return text;
}

// The number with the mark 'W' as sixth character, where the update adds it:
// a text of five characters or more whose sixth is neither 'W' nor 'X'.
std::string WithMark(const std::string& text) {
  if (text.size() < 5 || (text.size() > 5 && (text[5] == 'W' || text[5] == 'X'))) return text;
  return text.substr(0, 5) + "W" + text.substr(5);
}

bool EndsWith(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::span<const IgnoredResult> IgnoredResults() { return kIgnoredResults; }

void BoundedClock::SleepMs(std::uint32_t milliseconds) {
  nowMs += milliseconds;
  if (nowMs - startMs > 4 * kUpdateTimeBoundMs) {
    std::fprintf(stderr, "the update has waited %llu ms of virtual time: it hangs\n",
                 static_cast<unsigned long long>(nowMs - startMs));
    std::abort();
  }
}

void JudgedConsole::Write(std::string_view text) {
  output.append(text);
  readSinceLastWrite = false;
  update_.NoteWrite(text);
}

std::uint16_t JudgedConsole::ReadRawKey() {
  readSinceLastWrite = true;
  if (inCriticalSection > 0) ++readsInCriticalSection;
  if (keys.empty()) {
    if (!escWhenOut) ++readsPastScript;
    return kKeyEsc;
  }
  const std::uint16_t key = keys.front();
  keys.pop_front();
  return key;
}

const ExpectedImages& Expected() {
  static const ExpectedImages expected = [] {
    ExpectedImages built{emulator::SampleImageSource(), {}, {}, {}, {}};
    built.digests = emulator::DigestsOf(built.source);
    VersionWord offered = 0;
    VersionWord carried = 0;
    if (!LoadFirmwareImage(built.source, built.digests, built.firmware, offered, carried) ||
        !LoadReplacerImage(built.source, built.digests, 0x0100, built.firmware, built.flashReplacer) ||
        !LoadReplacerImage(built.source, built.digests, 0x00FF, built.firmware, built.nandReplacer)) {
      std::fprintf(stderr, "the sample images do not load\n");
      std::abort();
    }
    return built;
  }();
  return expected;
}

WholeUpdate::WholeUpdate(VersionWord bootLoader) {
  emulator::InstallFirmware(model, kRecorderFirmwareVersion, "K24A1");
  emulator::SetSerialNumber(model, kRecorderSerialNumber);
  model.bootLoaderVersion = bootLoader;
  model.clock = &clock;
  // A page 0 of the recorder's own, which the NAND rewrite must keep.
  for (std::size_t i = 0; i < kNandPage; ++i) model.nand[i] = static_cast<std::uint8_t>(i * 13 + 5);
  bus.recordEvents = false;
  bus.tellsPlaces = true;
  emulator::InstallFirmware(second, kRecorderFirmwareVersion, "K24A1");
  emulator::SetSerialNumber(second, "ZZZZZ99999");
  second.bootLoaderVersion = 0x0100;
  second.onBus = false;
  // Listed before the first, so that a probe that took the first recorder it
  // met would meet this one whenever it is there. It arrives two probes
  // into each restart: the first is still away (three probes), and a wait
  // has seen it leave, so only the place tells the two apart.
  bus.PlaceRecorder(2);
  emulator::BusRecorder& other = bus.Recorders().recorders[bus.AddRecorder(1, second, kSecondPlace)];
  emulator::BusMoment arrival{emulator::BusMoment::Kind::AtRestart, 0, 0};
  arrival.afterProbes = 2;
  other.plugIns.push_back(arrival);
  other.unplugs.push_back({emulator::BusMoment::Kind::AtRestart, 0, 0});
  link.driver = &bus;
  link.clock = &clock;
  ports.console = &console;
  ports.lock = &lock;
  ports.link = &link;
  console.clock = &clock;  // the connection wait's pauses
  // Read only: the source's count of reads is all that changes.
  ports.images = const_cast<emulator::MemoryImageSource*>(&Expected().source);
  ports.imageDigests = &Expected().digests;
  ports.history = &history;
  ports.wallClock = &wallClock;
}

void WholeUpdate::Run(DialogueOptions options) {
  flashRegionBefore = Bytes(model.flash, 0, kRegion);
  nandPage0Before = Bytes(model.nand, 0, kNandPage);
  serialBefore = emulator::SerialBytesOf(model);
  secondFlashBefore = second.flash;
  exitCode = RunDialogue(ports, options);
  ran = true;
}

// Whether the recorder dropped off the bus as the commit arrived and came back
// within the wait's bound: to the host that is a recorder restarting as it
// takes the boot area, which the update cannot tell apart (the commit row of
// the table).
bool WholeUpdate::LeftAtTheCommit(const std::vector<LoggedTransfer>& log, std::size_t from) const {
  for (std::size_t at = from; at < log.size(); ++at) {
    if (!IsControl(log[at], emulator::requests::CommitBootArea) || log[at].ok) continue;
    const int transfer = static_cast<int>(at) + 1;  // every transfer is logged
    for (const emulator::TransferFault& fault : model.transferFaults) {
      if (fault.transfer == transfer && fault.kind == emulator::TransferFaultKind::VanishAt && fault.returnAfterMs > 0 &&
          static_cast<std::uint64_t>(fault.returnAfterMs) <= kReenumerationPhaseLimitMs) {
        return true;
      }
    }
  }
  return false;
}

void WholeUpdate::NoteWrite(std::string_view text) {
  if (text == "Replacing Boot Loader...") {
    section = Section::BootLoader;
    sectionStart = model.log.size();
    return;
  }
  if (text == "Replacing firmware...") {
    section = Section::Firmware;
    sectionStart = model.log.size();
    return;
  }
  if (text != "OK\n" || section == Section::None) {
    section = Section::None;
    return;
  }
  ++oks;
  const std::vector<LoggedTransfer>& log = model.log;
  const char* shown = section == Section::BootLoader ? "\"Replacing Boot Loader...OK\"" : "\"Replacing firmware...OK\"";
  auto untrue = [&](const std::string& why) { untrueOks.push_back(std::string(shown) + " but " + why); };
  for (std::size_t at = sectionStart; at < log.size(); ++at) {
    if (log[at].ok) continue;
    const int row = IgnoredRow(log, at);
    if (row < 0) {
      untrue(Describe(log[at]) + " failed");
    } else {
      ignoredRowsUsed.insert(row);
    }
  }
  bool nand = false;
  for (std::size_t at = sectionStart; at < log.size(); ++at) nand = nand || IsControl(log[at], emulator::requests::NandWritePages);
  if (section == Section::BootLoader && nand) {
    const FlashImage& replacer = Expected().nandReplacer;
    if (Bytes(model.nand, 0, kNandPage) != nandPage0Before) untrue("NAND page 0 is no longer the recorder's");
    if (!std::equal(replacer.begin(), replacer.begin() + kNandImageBytes, model.nand.begin() + kNandPage)) {
      untrue("NAND pages 1 on do not hold the replacer");
    }
    if (!std::all_of(model.nand.begin() + kNandPage + kNandImageBytes, model.nand.end(),
                     [](std::uint8_t byte) { return byte == 0xFF; })) {
      untrue("NAND after the replacer is not erased");
    }
    if (model.bootLoaderVersion != GetLe16(replacer, kReplacerBootLoaderVersionOffset) &&
        !LeftAtTheCommit(log, sectionStart)) {
      untrue("the recorder did not take the new boot area");
    }
    if (!model.onBus) untrue("the recorder is not back");
  } else if (section == Section::BootLoader) {
    if (!RegionHolds(model.flash, Expected().flashReplacer)) untrue("the flash does not hold the replacer");
  } else {
    if (!RegionHolds(model.flash, Expected().firmware)) untrue("the flash does not hold the firmware");
    if (model.mode != emulator::RecorderMode::Firmware ||
        model.firmwareVersion != GetLe16(Expected().firmware, kFirmwareVersionOffset)) {
      untrue("the recorder does not run the new firmware");
    }
    // The recorder came back after the restart that follows FinishFirmware:
    // a request reached it after that restart.
    std::size_t finish = log.size();
    for (std::size_t at = sectionStart; at < log.size(); ++at) {
      if (IsControl(log[at], emulator::requests::FinishFirmware)) finish = at;
    }
    std::size_t restart = log.size();
    for (std::size_t at = finish; at < log.size(); ++at) {
      if (IsControl(log[at], emulator::requests::Restart)) {
        restart = at;
        break;
      }
    }
    if (finish == log.size())
      untrue("FinishFirmware never reached the recorder");
    else if (restart + 1 >= log.size())
      untrue("the recorder was not seen back after its restart");
  }
  section = Section::None;
}

// The value of `field` in `record`, or nothing.
std::optional<std::string> FieldOf(const std::string& record, const std::string& field) {
  const std::string key = field + ": ";
  std::size_t at = record.rfind("\n" + key);
  if (at == std::string::npos) {
    if (record.rfind(key, 0) != 0) return std::nullopt;
    at = 0;
  } else {
    ++at;
  }
  const std::size_t from = at + key.size();
  return record.substr(from, record.find('\n', from) - from);
}

// The record agrees with the screen and with the recorder: one record once
// the recorder's versions were read, the outcome the output shows, the step
// that failed when "Failed" was shown, and a version it says the run changed
// (neither "unknown" nor the one read before) is the one the recorder holds;
// after an update that ended well, the versions it wrote.
void WholeUpdate::JudgeRecord(std::vector<std::string>& problems) const {
  const bool reached = console.output.find("Device is connected.\n") != std::string::npos;
  // Each procedure shown began with an unfinished record of the same run.
  std::size_t procedures = 0;
  for (const char* shown : {"Replacing Boot Loader...", "Replacing firmware..."}) {
    if (console.output.find(shown) != std::string::npos) ++procedures;
  }
  if (history.records.size() != (reached ? procedures + 1 : 0u)) {
    problems.push_back("the history holds " + std::to_string(history.records.size()) + " records");
    return;
  }
  if (!reached) return;
  const std::string& record = history.records.back();
  for (std::size_t i = 0; i + 1 < history.records.size(); ++i) {
    if (FieldOf(history.records[i], "outcome") != "unfinished" ||
        FieldOf(history.records[i], "run") != FieldOf(record, "run")) {
      problems.push_back("record " + std::to_string(i + 1) + " is not this run's unfinished one");
    }
  }
  const std::string outcome = FieldOf(record, "outcome").value_or("(none)");
  struct Shown {
    const char* ending;
    const char* outcome;
  };
  const Shown shown[] = {
      {"Replacing firmware...OK\nPress any key to exit...\n", "updated"},
      {"Replacing firmware...Failed\nPress any key to exit...\n", "firmware-replacement-failed"},
      {"Replacing Boot Loader...Failed\nPress any key to exit.\n", "boot-loader-upgrade-failed"},
      {"Replacing firmware failed.\nPress any key to exit...\n", "not-compatible"},
      {"Firmware loading is not possible.\nPress any key to exit.\n", "no-boot-loader"},
      {"Press 'Y' to load firmware version 2.0 or other key to exit.\n", "declined-at-offer"},
      {"Press 'L' to confirm load or other key to exit.\n", "declined-at-warning"},
      {" to version 1.2 or other key to exit.\n", "declined-at-boot-loader-prompt"},
  };
  for (const Shown& each : shown) {
    if (EndsWith(console.output, each.ending) && outcome != each.outcome) {
      problems.push_back(std::string("the record's outcome is ") + outcome + ", the screen's " + each.outcome);
    }
  }
  const bool failed = outcome.find("-failed") != std::string::npos;
  if (failed != FieldOf(record, "failed-step").has_value()) {
    problems.push_back("outcome " + outcome + (failed ? " without" : " with") + " a failed step");
  }
  const auto version = [](VersionWord word) {
    return word == 0 ? std::string("unavailable")
                     : std::to_string(VersionMajor(word)) + "." + std::to_string(VersionMinor(word));
  };
  const std::optional<std::string> bootLoaderAfter = FieldOf(record, "boot-loader-after");
  if (bootLoaderAfter != "unknown" && bootLoaderAfter != FieldOf(record, "boot-loader-before") &&
      bootLoaderAfter != version(model.bootLoaderVersion) && !LeftAtTheCommit(model.log, 0)) {
    problems.push_back("the record says boot loader " + bootLoaderAfter.value_or("(none)") + ", the recorder has " +
                       version(model.bootLoaderVersion));
  }
  const std::optional<std::string> firmwareAfter = FieldOf(record, "firmware-after");
  const VersionWord firmwareNow = model.mode == emulator::RecorderMode::Firmware ? model.firmwareVersion : 0;
  if (firmwareAfter != "unknown" && firmwareAfter != FieldOf(record, "firmware-before") &&
      firmwareAfter != version(firmwareNow)) {
    problems.push_back("the record says firmware " + firmwareAfter.value_or("(none)") + ", the recorder runs " +
                       version(firmwareNow));
  }
  // An update that ended well changed what it wrote: "before" is no answer
  // there, and neither is "unknown".
  if (outcome == "updated") {
    const std::optional<std::string> offered = FieldOf(record, "firmware-offered");
    if (firmwareAfter != offered) {
      problems.push_back("an update that ended well says firmware " + firmwareAfter.value_or("(none)") +
                         ", not the " + offered.value_or("(none)") + " it wrote");
    }
    const std::optional<std::string> carried = FieldOf(record, "boot-loader-carried");
    if (console.output.find("Replacing Boot Loader...OK\n") != std::string::npos && bootLoaderAfter != carried) {
      problems.push_back("an update that ended well says boot loader " + bootLoaderAfter.value_or("(none)") +
                         ", not the " + carried.value_or("(none)") + " it wrote");
    }
  }
}

std::vector<std::string> WholeUpdate::Judge() const {
  std::vector<std::string> problems = untrueOks;
  if (!ran) problems.push_back("the dialogue did not run");
  if (exitCode != kExitOk) problems.push_back("exit code " + std::to_string(exitCode));
  const bool ended = std::any_of(std::begin(kEndings), std::end(kEndings),
                                 [&](const char* ending) { return EndsWith(console.output, ending); });
  const bool refused =
      console.escWhenOut && std::any_of(std::begin(kRefusals), std::end(kRefusals),
                                        [&](const char* ending) { return EndsWith(console.output, ending); });
  if (!ended && !refused)
    problems.push_back("no defined ending: ..." +
                       console.output.substr(console.output.size() > 160 ? console.output.size() - 160 : 0));
  if (ended && !console.readSinceLastWrite) problems.push_back("ended without the last key");
  if (console.readsPastScript != 0) problems.push_back("read keys past the script");
  if (console.readsInCriticalSection != 0) problems.push_back("read a key while the recorder was being written");
  if (console.inCriticalSection != 0) problems.push_back("a critical section left open");
  if (bus.openHandles != 0) problems.push_back("a device handle left open");
  if (clock.nowMs - clock.startMs > timeBoundMs) {
    problems.push_back("took " + std::to_string(clock.nowMs - clock.startMs) + " ms of virtual time");
  }

  // Nothing lost.
  const bool reportedFailure = console.output.find("Failed") != std::string::npos;
  if (!reportedFailure && Bytes(model.nand, 0, kNandPage) != nandPage0Before) {
    problems.push_back("NAND page 0 changed and no failure was reported");
  }
  const std::vector<std::uint8_t> region = Bytes(model.flash, 0, kRegion);
  if (!reportedFailure && region != flashRegionBefore && !RegionHolds(model.flash, Expected().flashReplacer) &&
      !RegionHolds(model.flash, Expected().firmware)) {
    problems.push_back(
        "the image region holds neither its old contents, the replacer nor the firmware, and no failure was reported");
  }
  JudgeRecord(problems);

  // The second recorder, elsewhere on the bus, was never the one.
  if (!second.log.empty()) {
    problems.push_back("the recorder at " + std::string(kSecondPlace) + " got " + std::to_string(second.log.size()) +
                       " transfers, the first " + emulator::DescribeLog(second).substr(0, 40));
  }
  if (second.flash != secondFlashBefore) problems.push_back("the recorder at 1-2 was written");

  // The serial number: as it was, or with the update's mark put in.
  const std::string before = TextOf(serialBefore);
  const std::string after = emulator::SerialNumberOf(model);
  if (after != before && after != WithMark(before)) {
    problems.push_back("serial number \"" + before + "\" became \"" + after + "\"");
  }
  return problems;
}

}  // namespace k24::sweep
