// The fault sweep: whole updates on each of the three paths (boot loader
// upgraded by flash programming, by the NAND rewrite, not upgraded), with one
// fault put on each transfer of the path in turn (every control request and
// every bulk transfer), of each kind that fits that transfer. Every run must
// end as the dialogue may end, within bounded virtual time, print "OK" only
// for what really happened, and lose nothing on the recorder (whole_update.h
// judges; its table lists the results the update deliberately ignores). A
// second recorder elsewhere on the bus arrives while the first is away for
// each restart and leaves as the first leaves for the next: nothing may
// reach it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "whole_update.h"

namespace k24::sweep {
namespace {

using emulator::LoggedTransfer;
using emulator::TransferFaultKind;

struct PathCase {
  const char* name;
  VersionWord bootLoader;
  int oks;  // "OK"s of a clean run
};

void PrintTo(const PathCase& path, std::ostream* out) { *out << path.name; }

const PathCase kPaths[] = {
    {"flash_upgrade_from_1_0", 0x0100, 2},
    {"nand_upgrade_from_0_255", 0x00FF, 2},
    {"no_upgrade_at_1_2", 0x0102, 1},
};

// Offer, warning, upgrade prompt, last key: enough for every path.
const std::vector<std::uint16_t> kKeys = {'Y', 'L', 'Y', 'Y'};

bool IsControlIn(const LoggedTransfer& t) { return t.kind == LoggedTransfer::Kind::Control && t.direction == 1; }
bool IsControl(const LoggedTransfer& t) { return t.kind == LoggedTransfer::Kind::Control; }
bool IsBulk(const LoggedTransfer& t) { return t.kind != LoggedTransfer::Kind::Control; }

struct FaultCase {
  const char* name;
  TransferFaultKind kind;
  long returnAfterMs;
  bool (*fits)(const LoggedTransfer& transfer, int index);
};

// Returns after the wait's bound: one millisecond after a wait that starts as
// the recorder leaves has given up.
constexpr long kLateReturnMs = static_cast<long>(kReenumerationPhaseLimitMs) + 1;

const FaultCase kFaults[] = {
    {"stall", TransferFaultKind::Stall, -1, [](const LoggedTransfer&, int) { return true; }},
    {"stall_after_executing", TransferFaultKind::StallAfterExecuting, -1,
     [](const LoggedTransfer& t, int) { return IsControl(t); }},
    {"short", TransferFaultKind::ShortReply, -1,
     [](const LoggedTransfer& t, int) { return (IsControlIn(t) && t.length > 0) || IsBulk(t); }},
    {"zero_bytes", TransferFaultKind::ZeroBytes, -1, [](const LoggedTransfer& t, int) { return IsBulk(t); }},
    {"over_long", TransferFaultKind::OverLong, -1, [](const LoggedTransfer& t, int) { return IsBulk(t); }},
    {"vanish_before_never_back", TransferFaultKind::VanishBefore, -1,
     [](const LoggedTransfer&, int index) { return index >= 2; }},
    {"vanish_back_after_the_wait_bound", TransferFaultKind::VanishAt, kLateReturnMs,
     [](const LoggedTransfer&, int) { return true; }},
    {"vanish_back_at_once", TransferFaultKind::VanishAt, 0, [](const LoggedTransfer&, int) { return true; }},
    // Stays on the bus and answers nothing more, from this transfer on.
    {"no_answer_from_here_on", TransferFaultKind::NoAnswer, -1, [](const LoggedTransfer&, int) { return true; }},
};

std::string Name(const LoggedTransfer& t) {
  char text[48];
  if (IsControl(t)) {
    std::snprintf(text, sizeof text, "0x%02X@0x%04X", t.request, t.value);
  } else {
    std::snprintf(text, sizeof text, "bulk-%s", t.kind == LoggedTransfer::Kind::BulkIn ? "in" : "out");
  }
  return text;
}

std::unique_ptr<WholeUpdate> RunUpdate(const PathCase& path, std::vector<emulator::TransferFault> faults) {
  auto update = std::make_unique<WholeUpdate>(path.bootLoader);
  update->console.keys.assign(kKeys.begin(), kKeys.end());
  update->model.transferFaults = std::move(faults);
  update->Run();
  return update;
}

class FaultSweep : public ::testing::TestWithParam<PathCase> {};

TEST_P(FaultSweep, EveryFaultKindAtEveryTransferEndsTruthfullyAndLosesNothing) {
  const PathCase& path = GetParam();
  const std::unique_ptr<WholeUpdate> clean = RunUpdate(path, {});
  // The fault-free run first: it must pass, and it gives the transfers to sweep.
  EXPECT_EQ(clean->Judge(), std::vector<std::string>{}) << clean->console.output;
  EXPECT_EQ(clean->oks, path.oks) << clean->console.output;
  const std::vector<LoggedTransfer> transfers = clean->model.log;
  ASSERT_EQ(transfers.size(), static_cast<std::size_t>(clean->model.transfers));
  // The second recorder arrived during every wait for the first to restart:
  // at each restart but the last, which the update does not wait for (the
  // judge says, for every run, that nothing reached it).
  const auto& busLog = clean->bus.Recorders().log;
  EXPECT_EQ(std::count_if(busLog.begin(), busLog.end(),
                          [](const emulator::BusLogEntry& entry) {
                            return entry.recorder == 1 && entry.what == emulator::BusLogEntry::What::PluggedIn;
                          }),
            clean->model.restarts - 1);

  int runs = 0;
  int passed = 0;
  std::vector<std::string> failures;
  std::map<std::string, int> runsByKind;
  std::map<int, int> ignoredRowUse;
  for (int index = 1; index <= static_cast<int>(transfers.size()); ++index) {
    const LoggedTransfer& transfer = transfers[static_cast<std::size_t>(index - 1)];
    for (const FaultCase& fault : kFaults) {
      if (!fault.fits(transfer, index)) continue;
      const std::unique_ptr<WholeUpdate> update = RunUpdate(path, {{index, fault.kind, fault.returnAfterMs}});
      ++runs;
      ++runsByKind[fault.name];
      std::vector<std::string> problems = update->Judge();
      for (int row : update->ignoredRowsUsed) ++ignoredRowUse[row];
      // The fault was put where it was meant to go.
      const int reached = fault.kind == TransferFaultKind::VanishBefore ? index - 1 : index;
      if (update->model.transfers < reached) problems.push_back("the fault's transfer was never reached");
      if (problems.empty()) {
        ++passed;
        continue;
      }
      for (const std::string& problem : problems) {
        failures.push_back(std::string(fault.name) + " at transfer " + std::to_string(index) + " (" + Name(transfer) +
                           "): " + problem);
      }
    }
  }
  std::printf("%s: %zu transfers, %d runs, %d passed\n", path.name, transfers.size(), runs, passed);
  for (const auto& [kind, count] : runsByKind) std::printf("  %-34s %d runs\n", kind.c_str(), count);
  // The exceptions, in plain view, with how often each let a failure pass
  // under an "OK" on this path.
  for (std::size_t row = 0; row < IgnoredResults().size(); ++row) {
    const IgnoredResult& ignored = IgnoredResults()[row];
    std::printf("  ignored %-46s %4d runs: %s\n", ignored.what, ignoredRowUse[static_cast<int>(row)], ignored.why);
  }
  std::string shown;
  for (std::size_t i = 0; i < failures.size() && i < 40; ++i) shown += failures[i] + "\n";
  EXPECT_EQ(passed, runs) << failures.size() << " problems; the first:\n" << shown;
  RecordProperty("runs", runs);
  RecordProperty("passed", passed);
}

INSTANTIATE_TEST_SUITE_P(Paths, FaultSweep, ::testing::ValuesIn(kPaths),
                         [](const auto& instance) { return std::string(instance.param.name); });

}  // namespace
}  // namespace k24::sweep
