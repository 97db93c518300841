#include <gtest/gtest.h>

#include <ostream>

#include <memory>
#include <string>
#include <vector>

#include "dialogue_fixture.h"
#include "testing/request_names.h"

namespace k24::test {
namespace {

class DialogueStartTest : public DialogueFixture {
 protected:
  std::optional<int> Start(DialogueOptions options = {}) { return StartDialogue(ports, *state, options); }
  std::unique_ptr<DialogueState> state = std::make_unique<DialogueState>();
};

TEST_F(DialogueStartTest, ConnectedRecorderGetsItsVersionsAskedAndTheBootLoaderReported) {
  model.firmwareVersion = 0x0102;
  model.bootLoaderVersion = 0x0100;
  EXPECT_EQ(Start(), std::nullopt);
  EXPECT_EQ(console.output, std::string(kBanner) + kConnected + "Current Boot Loader version: 1.0\n");
  EXPECT_EQ(emulator::RequestCodes(model), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion}));
  EXPECT_EQ(lock.takenName, "VocsetLumoK24");
  EXPECT_EQ(state->currentFirmwareVersion, 0x0102);
  EXPECT_EQ(state->currentBootLoaderVersion, 0x0100);
}

TEST_F(DialogueStartTest, RecorderPluggedInDuringTheWaitIsAnnouncedOnce) {
  emulator::PlugInAfterProbes(model, 40);
  model.bootLoaderVersion = 0x0105;
  EXPECT_EQ(Start(), std::nullopt);
  EXPECT_EQ(console.output, std::string(kBanner) + kNotConnected + kConnected + "Current Boot Loader version: 1.5\n");
  EXPECT_GE(clock.sleeps, 30u);  // the wait pauses between presence tests
}

TEST_F(DialogueStartTest, EscWhileAbsentLeavesWithoutAWord) {
  model.onBus = false;
  Type({27});
  EXPECT_EQ(Start(), 0);
  EXPECT_EQ(console.output, std::string(kBanner) + kNotConnected);
  EXPECT_TRUE(model.log.empty());
}

TEST_F(DialogueStartTest, EscAtTheMomentTheRecorderArrivesStillConnects) {
  // Absent at the first test and in the loop; the Esc ends the loop; present at the last test.
  emulator::PlugInAfterProbes(model, 3);
  Type({27});
  EXPECT_EQ(Start(), std::nullopt);
  EXPECT_EQ(console.output, std::string(kBanner) + kNotConnected + kConnected + "Current Boot Loader version: 1.0\n");
}

TEST_F(DialogueStartTest, OtherKeysAndFunctionKeysDoNotEndTheWait) {
  emulator::PlugInAfterProbes(model, 30);
  Type({'q', 0, 0x3B, 13});  // q, F1 (two values), Enter
  EXPECT_EQ(Start(), std::nullopt);
  EXPECT_EQ(console.rawReads, 4);
  EXPECT_EQ(console.output, std::string(kBanner) + kNotConnected + kConnected + "Current Boot Loader version: 1.0\n");
}

TEST_F(DialogueStartTest, LockHeldElsewhereEndsWithExitCodeOneBeforeAnyProbe) {
  lock.outcome = LockOutcome::HeldElsewhere;
  Type({'x'});
  EXPECT_EQ(Start(), 1);
  EXPECT_EQ(console.output, std::string(kBanner) +
                                "Close all other digital recorder applications and try again.\n"
                                "Press any key to exit.\n");
  EXPECT_EQ(console.rawReads, 1);
  EXPECT_EQ(bus.probes, 0);
}

// A lock that cannot be made for any reason but another holder: the run
// never goes on unlocked. One line says why; no key is waited for.
TEST_F(DialogueStartTest, LockThatCannotBeMadeEndsWithExitCodeOneBeforeAnyProbe) {
  lock.outcome = LockOutcome::Unavailable;
  lock.unavailableReason = "socket: Too many open files";
  EXPECT_EQ(Start(), 1);
  EXPECT_EQ(console.output, kBanner);
  EXPECT_EQ(console.errors, "k24update: could not take the instance lock VocsetLumoK24: socket: Too many open files\n");
  EXPECT_EQ(console.rawReads, 0);
  EXPECT_EQ(bus.probes, 0);
}

TEST_F(DialogueStartTest, NoBootLoaderEndsAfterOneKey) {
  model.bootLoaderAnswersVersion = false;
  model.firmwareAnswersVersion = false;
  Type({' '});
  EXPECT_EQ(Start(), 0);
  EXPECT_EQ(console.output, std::string(kBanner) + kConnected +
                                "Boot Loader not found. Firmware loading is not possible.\n"
                                "Press any key to exit.\n");
  EXPECT_EQ(console.rawReads, 1);
}

struct WaitCase {
  const char* name;
  bool busEvents;
  std::uint64_t tickMs;
  std::size_t watched;  // descriptors the wait watches besides the keys
};

void PrintTo(const WaitCase& c, std::ostream* out) { *out << c.name; }

class ConnectionWaitTest : public DialogueStartTest, public ::testing::WithParamInterface<WaitCase> {};

// The wait sleeps on the console, woken by a key or (with bus events) by the
// bus's descriptors; only the tick bounds each sleep. Without events the
// pause stays the polling one.
TEST_P(ConnectionWaitTest, SleepsUntilAKeyOrABusEventForAtMostOneTick) {
  bus.busEvents = GetParam().busEvents;
  bus.eventDescriptors = {7, 9};
  emulator::PlugInAfterProbes(model, 40);
  EXPECT_EQ(Start(), std::nullopt);
  EXPECT_EQ(console.output, std::string(kBanner) + kNotConnected + kConnected + "Current Boot Loader version: 1.0\n");
  EXPECT_GE(console.keyWaits, 30);
  EXPECT_EQ(console.keyWaitedMs, static_cast<std::uint64_t>(console.keyWaits) * GetParam().tickMs);
  EXPECT_EQ(console.watchedDescriptors, GetParam().watched);
}

INSTANTIATE_TEST_SUITE_P(Buses, ConnectionWaitTest,
                         ::testing::Values(WaitCase{"listing", false, 1, 0}, WaitCase{"bus_events", true, 100, 2}),
                         [](const auto& instance) { return std::string(instance.param.name); });

// A recorder on the bus that this user may not open: the dialogue shows it as
// not connected, exactly as today, and standard error says why, once in the
// run. A refusal that lifts within the hint's delay (udev giving the access a
// moment after the arrival) gets no word.
struct RefusalCase {
  const char* name;
  bool busEvents;
  bool recorderOnBus;
  int mayUseFromProbe;  // the access comes at this probe; 0: never
  int pollsBeforeEsc;   // Esc arrives after this many key polls; -1: no Esc, 'n' at the offer
  bool hint;
  int unplugAtProbe = 0;    // the recorder is unplugged at this probe (0: never) ...
  int unpluggedProbes = 0;  // ... and plugged in again, still refused, this many probes later
};

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class RefusedRecorderTest : public DialogueFixture, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedRecorderTest, IsToldOfOnStandardErrorOnceAndTheDialogueIsUnchanged) {
  const RefusalCase& c = GetParam();
  bus.busEvents = c.busEvents;
  bus.eventClock = &clock;
  model.onBus = c.recorderOnBus;
  bus.slots[0].mayNotUse = true;
  bus.mayUseFromProbe = c.mayUseFromProbe;
  if (c.unplugAtProbe != 0) {
    emulator::BusRecorder& recorder = bus.Recorders().recorders[0];
    recorder.unplugs.push_back({emulator::BusMoment::Kind::AfterProbes, c.unplugAtProbe});
    recorder.plugIns.push_back({emulator::BusMoment::Kind::AfterProbes, c.unplugAtProbe + c.unpluggedProbes});
  }
  emulator::SetSerialNumber(model, "ABCDE12345");
  std::string expected = std::string(kBanner) + kNotConnected;
  if (c.pollsBeforeEsc >= 0) {
    console.pollsBeforeKeysArrive = c.pollsBeforeEsc;
    Type({27});
  } else {
    console.pollsBeforeKeysArrive = 1'000'000;  // the wait sees no key; the offer reads 'n'
    Type({'n'});
    expected += std::string(kConnected) +
                "Current Boot Loader version: 1.0\nCurrent firmware version: 1.2\nSerial number: ABCDE12345\n"
                "Press 'Y' to load firmware version 2.0 or other key to exit.\n";
  }
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, expected);
  EXPECT_EQ(console.errors, c.hint ? kRecorderRefusedHint : "");
}

INSTANTIATE_TEST_SUITE_P(
    Waits, RefusedRecorderTest,
    ::testing::Values(
        // Left at once: the hint comes as the program ends.
        RefusalCase{"never_allowed_esc_at_once", false, true, 0, 0, true},
        // Seen refused through the delay and still at the end: said once.
        RefusalCase{"never_allowed_esc_after_3_s", false, true, 0, 3000, true},
        RefusalCase{"never_allowed_esc_after_3_s_bus_events", true, true, 0, 30, true},
        // Allowed in the end: the hint came during the wait, the dialogue goes on.
        RefusalCase{"allowed_after_3_s", false, true, 3000, -1, true},
        RefusalCase{"allowed_after_3_s_bus_events", true, true, 30, -1, true},
        // Allowed within the delay: no word.
        RefusalCase{"allowed_after_0_3_s", false, true, 300, -1, false},
        RefusalCase{"allowed_after_0_3_s_bus_events", true, true, 3, -1, false},
        // Nothing on the bus is no refusal.
        RefusalCase{"absent_esc_after_3_s", false, false, 0, 3000, false},
        // Refused for 0.6 s, unplugged for 0.6 s, plugged in again and given
        // its access 0.6 s after it came back: 1.8 s since the first refusal,
        // but no refusal lasted the delay. The delay starts afresh with each
        // arrival (as the access udev gives does), so no word.
        RefusalCase{"refused_unplugged_and_back_each_time_within_the_delay", false, true, 1800, -1, false, 600, 600}),
    [](const auto& instance) { return std::string(instance.param.name); });

// One link for two runs: a refusal the first run met is not the second's.
TEST_F(DialogueFixture, ARefusalMetByAnEarlierRunIsNotToldAgain) {
  bus.slots[0].mayNotUse = true;
  Type({27});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.errors, kRecorderRefusedHint);

  lock.outcome = LockOutcome::HeldElsewhere;  // this run ends before any probe
  console.errors.clear();
  Type({'x'});
  EXPECT_EQ(Run(), kExitLockHeld);
  EXPECT_EQ(console.errors, "");
}

// A recorder that Windows lists but no usable driver has: the dialogue shows
// it as not connected, exactly as today, and standard error says once how to
// bind a driver (the platform's hint); once bound, the dialogue goes on.
TEST_F(DialogueFixture, ARecorderWithoutADriverIsToldOfWithThePlatformsHintOnce) {
  ports.recorderRefusedHint = kRecorderWithoutDriverHint;
  bus.unservedPlaces = {""};
  emulator::SetSerialNumber(model, "ABCDE12345");
  emulator::PlugInAfterProbes(model, 3000);  // bound after some 3 s of waiting
  console.pollsBeforeKeysArrive = 1'000'000;
  Type({'n'});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, std::string(kBanner) + kNotConnected + kConnected +
                                "Current Boot Loader version: 1.0\nCurrent firmware version: 1.2\n"
                                "Serial number: ABCDE12345\n"
                                "Press 'Y' to load firmware version 2.0 or other key to exit.\n");
  EXPECT_EQ(console.errors, kRecorderWithoutDriverHint);

  // Left with Esc while it has none: said once, not again at the end.
  model.onBus = false;
  console.errors.clear();
  console.pollsBeforeKeysArrive = 3000;
  Type({27});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.errors, kRecorderWithoutDriverHint);
}

// Two recorders at the connection and no --path: nothing is sent to either
// while both are there; the operator is told once how many, and what to do;
// once one is unplugged, the other is connected and worked with.
struct SeveralCase {
  const char* name;
  bool tellsPlaces;
  const char* message;
};

void PrintTo(const SeveralCase& c, std::ostream* out) { *out << c.name; }

class SeveralRecordersTest : public DialogueStartTest, public ::testing::WithParamInterface<SeveralCase> {
 protected:
  SeveralRecordersTest() {
    bus.tellsPlaces = GetParam().tellsPlaces;
    bus.PlaceRecorder(3);
    second.bootLoaderVersion = 0x0102;
    other = &bus.Recorders().recorders[bus.AddRecorder(1, second, "1-2")];
  }
  emulator::RecorderModel second;
  emulator::BusRecorder* other = nullptr;
};

TEST_P(SeveralRecordersTest, NothingIsSentUntilOneIsLeft) {
  other->unplugs.push_back({emulator::BusMoment::Kind::AfterProbes, 40, 0});
  Type({'q'});  // read and dropped, as in the wait for a recorder
  EXPECT_EQ(Start(), std::nullopt);
  EXPECT_EQ(console.output, std::string(kBanner) + GetParam().message + kConnected + "Current Boot Loader version: 1.0\n");
  EXPECT_EQ(console.rawReads, 1);
  EXPECT_TRUE(second.log.empty());
  // The first request went out after the second recorder had gone.
  EXPECT_EQ(emulator::DescribeBusLog(bus.Recorders()),
            "1-2 unplugged\n1-1 in  0xC6 value=0x0000 len=2 ok\n1-1 in  0x24 value=0x0000 len=2 ok\n");
}

TEST_P(SeveralRecordersTest, EscLeavesWithoutAWordMore) {
  Type({27});
  EXPECT_EQ(Start(), 0);
  EXPECT_EQ(console.output, std::string(kBanner) + GetParam().message);
  EXPECT_TRUE(model.log.empty());
  EXPECT_TRUE(second.log.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, SeveralRecordersTest,
    ::testing::Values(SeveralCase{"places_told", true,
                                  "2 recorders are connected, at 1-2 and 1-1.\n"
                                  "Disconnect all but the one to update, or press Esc and start k24update again with "
                                  "--path\nand the place of the one to update (k24update --list shows each one's "
                                  "versions and serial number).\n"},
                      SeveralCase{"no_places", false,
                                  "2 recorders are connected.\n"
                                  "Disconnect all but the one to update, or press Esc to exit.\n"}),
    [](const auto& instance) { return std::string(instance.param.name); });

// --path: the dialogue sees the recorder at that place alone; the others on
// the bus get nothing, and do not count as more than one.
TEST_F(DialogueStartTest, APlaceChosenSeesThatRecorderAlone) {
  emulator::RecorderModel second;
  emulator::RecorderModel third;
  bus.tellsPlaces = true;
  third.bootLoaderVersion = 0x0105;
  bus.AddRecorder(4, second, "1-3.1");
  bus.AddRecorder(6, third, "1-3.2");
  EXPECT_EQ(Start(DialogueOptions{false, "1-3.2"}), std::nullopt);
  EXPECT_EQ(console.output, std::string(kBanner) + kConnected + "Current Boot Loader version: 1.5\n");
  EXPECT_EQ(emulator::RequestCodes(third), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion}));
  EXPECT_TRUE(model.log.empty());
  EXPECT_TRUE(second.log.empty());
}

TEST_F(DialogueStartTest, APlaceWithoutARecorderIsWaitedForWhileOthersAreThere) {
  bus.tellsPlaces = true;
  Type({27});
  EXPECT_EQ(Start(DialogueOptions{false, "1-4"}), 0);
  EXPECT_EQ(console.output, std::string(kBanner) + kNotConnected);
  EXPECT_TRUE(model.log.empty());
}

// A driver that tells no places (EZ-USB) could never find a recorder at one:
// --path ends at once, on standard error, before the banner.
TEST_F(DialogueFixture, APathWhereTheDriverTellsNoPlacesEndsAtOnce) {
  bus.tellsPlaces = false;
  EXPECT_EQ(Run(DialogueOptions{false, "1-1"}), 2);
  EXPECT_EQ(console.output, "");
  EXPECT_EQ(console.errors,
            "k24update: this system's recorder driver does not tell where a recorder is plugged in, so --path\n"
            "cannot choose one: connect only the recorder to update and start k24update without --path.\n");
  EXPECT_EQ(bus.probes, 0);
  EXPECT_EQ(lock.takes, 0);
}

}  // namespace
}  // namespace k24::test
