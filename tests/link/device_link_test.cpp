#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <array>
#include <vector>

#include "link/device_link.h"
#include "testing/recorder_fixture.h"

namespace k24::test {
namespace {

using emulator::BulkFault;
using emulator::LoggedTransfer;

class DeviceLinkTest : public RecorderFixture {
 protected:
  // Sets up a NAND read of `bytes` from page 0, filled with a pattern.
  void PrepareNandRead(std::uint32_t bytes) {
    for (std::size_t i = 0; i < model.nand.size(); ++i) model.nand[i] = static_cast<std::uint8_t>(i * 31 + i / 251);
    model.pendingNandRead = true;
    model.pendingNandPage = 0;
    model.pendingNandBytes = bytes;
  }

  std::vector<std::uint32_t> BulkLengths() const {
    std::vector<std::uint32_t> lengths;
    for (const LoggedTransfer& entry : model.log) {
      if (entry.kind != LoggedTransfer::Kind::Control) lengths.push_back(entry.length);
    }
    return lengths;
  }
};

TEST(LinkRecords, VendorRequestRecordIsLittleEndianByteForByte) {
  VendorRequest request;
  request.direction = kDirectionIn;
  request.request = 0x21;
  request.value = 0x29C0;
  request.index = 0x0102;
  const VendorRequestRecord expected = {0x01, 0x02, 0x00, 0x00, 0x21, 0x00, 0xC0, 0x29, 0x02, 0x01};
  EXPECT_EQ(BuildVendorRequestRecord(request), expected);
  const VendorRequest parsed = ParseVendorRequestRecord(expected);
  EXPECT_EQ(parsed.value, 0x29C0);
  EXPECT_EQ(parsed.index, 0x0102);
  EXPECT_EQ(parsed.request, 0x21);
}

TEST(LinkRecords, BulkPipeRecordAndSetupType) {
  EXPECT_EQ(BuildBulkPipeRecord(2), (BulkPipeRecord{0x02, 0x00, 0x00, 0x00}));
  EXPECT_EQ(ParseBulkPipeRecord(BulkPipeRecord{0x01, 0x00, 0x00, 0x00}), 1u);
  EXPECT_EQ(SetupRequestType(kDirectionIn), 0xC0);
  EXPECT_EQ(SetupRequestType(kDirectionOut), 0x40);
}

TEST_F(DeviceLinkTest, ProbeOpensOtherDevicesAndClosesThemAndUsesTheRecorder) {
  bus.PlaceOtherDevice(0, 0x04B4, 0x8613);
  bus.PlaceRecorder(3);
  bus.PlaceOtherDevice(5, 0x04B4, 0x8614);
  std::array<std::uint8_t, 2> reply{};
  ASSERT_TRUE(SendVendorRequest(link, kDirectionIn, 0xC6, 0, 0, reply));
  // Every name is looked at: a second recorder must be seen to be refused.
  EXPECT_EQ(bus.events, (std::vector<std::string>{"open ezusb-0", "close ezusb-0", "open ezusb-3", "open ezusb-5",
                                                  "close ezusb-5", "close ezusb-3"}));
  ASSERT_EQ(model.log.size(), 1u);
  EXPECT_EQ(model.log[0].request, 0xC6);
}

// Two recorders and a driver that cannot tell where either is (the EZ-USB
// driver): neither can be told from the other, so nothing goes to either.
TEST_F(DeviceLinkTest, TwoRecordersThatCannotBeToldApartGetNothing) {
  emulator::RecorderModel second;
  bus.PlaceRecorder(3);
  bus.AddRecorder(5, second, "1-2");
  std::array<std::uint8_t, 2> reply{0xAB, 0xAB};
  EXPECT_EQ(SendVendorRequest(link, kDirectionIn, 0xC6, 0, 0, reply).status, LinkStatus::NotAlone);
  EXPECT_EQ(reply, (std::array<std::uint8_t, 2>{0xAB, 0xAB}));
  EXPECT_EQ(BulkTransfer(link, kDirectionIn, kPipeBulkIn, reply).status, LinkStatus::NotAlone);
  EXPECT_FALSE(IsRecorderPresent(link));
  EXPECT_EQ(link.lastProbePlaces.size(), 2u);
  EXPECT_FALSE(KeepToTheRecorderFound(link));
  EXPECT_TRUE(model.log.empty());
  EXPECT_TRUE(second.log.empty());

  // One of them gone: the other is alone, and answers.
  second.onBus = false;
  EXPECT_TRUE(SendVendorRequest(link, kDirectionIn, 0xC6, 0, 0, reply));
  EXPECT_EQ(model.log.size(), 1u);
}

// With places told, the link keeps to the place of the recorder it found at
// the connection: another recorder plugged in later, wherever its name falls,
// is never opened for a request.
TEST_F(DeviceLinkTest, TheRecorderFoundIsKeptToByItsPlace) {
  emulator::RecorderModel second;
  bus.tellsPlaces = true;
  bus.PlaceRecorder(4);
  bus.AddRecorder(1, second, "1-2");  // listed before the first
  second.onBus = false;
  ASSERT_TRUE(KeepToTheRecorderFound(link));
  EXPECT_EQ(link.choice.kind, RecorderChoice::Kind::Place);
  EXPECT_EQ(link.choice.where, "1-1");

  second.onBus = true;
  std::array<std::uint8_t, 2> reply{};
  EXPECT_TRUE(SendVendorRequest(link, kDirectionIn, 0xC6, 0, 0, reply));
  EXPECT_EQ(model.log.size(), 1u);
  EXPECT_TRUE(second.log.empty());
  EXPECT_EQ(link.lastProbePlaces, (std::vector<std::string>{"1-1"}));

  // Gone from its place: no recorder, though another is on the bus.
  model.onBus = false;
  EXPECT_EQ(SendVendorRequest(link, kDirectionIn, 0xC6, 0, 0, reply).status, LinkStatus::NoRecorder);
  EXPECT_TRUE(second.log.empty());

  // And the other way round: chosen by its place, the second alone answers.
  model.onBus = true;
  ChooseRecorderAt(link, "1-2");
  EXPECT_TRUE(SendVendorRequest(link, kDirectionIn, 0xC6, 0, 0, reply));
  EXPECT_EQ(second.log.size(), 1u);
  EXPECT_EQ(model.log.size(), 1u);
}

TEST_F(DeviceLinkTest, FindRecordersListsEachWithItsPlaceAndWhetherItMayBeOpened) {
  emulator::RecorderModel second;
  emulator::RecorderModel third;
  bus.tellsPlaces = true;
  bus.PlaceOtherDevice(0, 0x04B4, 0x8613);
  bus.PlaceRecorder(2);
  bus.AddRecorder(4, second, "1-3.1");
  bus.AddRecorder(6, third, "1-3.2");
  bus.slots[6].mayNotUse = true;
  const std::vector<RecorderOnBus> found = FindRecorders(link);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].name, "ezusb-2");
  EXPECT_EQ(found[0].place, "1-1");
  EXPECT_TRUE(found[0].mayUse);
  EXPECT_EQ(found[1].place, "1-3.1");
  EXPECT_EQ(found[2].place, "1-3.2");
  EXPECT_FALSE(found[2].mayUse);
  EXPECT_TRUE(model.log.empty() && second.log.empty() && third.log.empty());
}

TEST_F(DeviceLinkTest, DeviceWhoseDescriptorQueryFailsIsSkipped) {
  bus.PlaceOtherDevice(0, 0x10C4, 0x4512);
  bus.slots[0].descriptorFails = true;
  bus.PlaceRecorder(1);
  EXPECT_TRUE(IsRecorderPresent(link));
  EXPECT_EQ(bus.events, (std::vector<std::string>{"open ezusb-0", "close ezusb-0", "open ezusb-1", "close ezusb-1"}));
}

TEST_F(DeviceLinkTest, RecorderOnlyUnderTheTenthNameIsNeverFound) {
  bus.PlaceRecorder(9);
  EXPECT_FALSE(IsRecorderPresent(link));
  EXPECT_TRUE(bus.events.empty());
}

TEST_F(DeviceLinkTest, WithoutRecorderEveryOperationFailsAndLeavesBuffersAlone) {
  model.onBus = false;
  EXPECT_FALSE(IsRecorderPresent(link));
  std::array<std::uint8_t, 4> buffer;
  buffer.fill(0xAB);
  EXPECT_FALSE(SendVendorRequest(link, kDirectionIn, 0xC6, 0, 0, buffer));
  EXPECT_EQ(buffer, (std::array<std::uint8_t, 4>{0xAB, 0xAB, 0xAB, 0xAB}));
  EXPECT_EQ(BulkTransfer(link, kDirectionIn, kPipeBulkIn, buffer).status, LinkStatus::NoRecorder);
  EXPECT_TRUE(model.log.empty());
}

struct RequestOutcomeCase {
  const char* name;
  void (*setUp)(emulator::RecorderModel&);
  LinkStatus expected;
  std::uint32_t transferred;
};

// How a version request (two bytes in) ends, as the callers tell it apart. A
// reply shorter than asked is the recorder's answer here, with its count:
// whether fewer bytes will do is the request's affair (recorder/requests.h).
TEST_F(DeviceLinkTest, RequestOutcomes) {
  const RequestOutcomeCase cases[] = {
      {"answered", [](emulator::RecorderModel&) {}, LinkStatus::Ok, 2},
      {"no recorder", [](emulator::RecorderModel& m) { m.onBus = false; }, LinkStatus::NoRecorder, 0},
      {"refused", [](emulator::RecorderModel& m) { m.failRequestCodes = {0xC6}; }, LinkStatus::Failed, 0},
      {"one byte of two",
       [](emulator::RecorderModel& m) { m.requestFaults = {{0xC6, 0, emulator::ControlFault::ShortReply, 1}}; },
       LinkStatus::Ok, 1},
      {"no byte of two",
       [](emulator::RecorderModel& m) { m.requestFaults = {{0xC6, 0, emulator::ControlFault::ShortReply, 0}}; },
       LinkStatus::Ok, 0},
      {"no answer", [](emulator::RecorderModel& m) { m.transferFaults = {{1, emulator::TransferFaultKind::NoAnswer, -1}}; },
       LinkStatus::TimedOut, 0},
  };
  for (const RequestOutcomeCase& c : cases) {
    SCOPED_TRACE(c.name);
    model = emulator::RecorderModel{};
    c.setUp(model);
    std::array<std::uint8_t, 2> reply{};
    const LinkResult result = SendVendorRequest(link, kDirectionIn, 0xC6, 0, 0, reply);
    EXPECT_EQ(result.status, c.expected);
    EXPECT_EQ(result.transferred, c.transferred);
  }
}

TEST_F(DeviceLinkTest, UnknownBulkDirectionIsRefusedBeforeAnyProbe) {
  std::array<std::uint8_t, 8> buffer{};
  EXPECT_EQ(BulkTransfer(link, 2, kPipeBulkIn, buffer).status, LinkStatus::Failed);
  EXPECT_EQ(bus.probes, 0);
  EXPECT_TRUE(bus.events.empty());
}

TEST_F(DeviceLinkTest, BlockReadGoesInCappedChunksAndResumesAfterAShortTransfer) {
  PrepareNandRead(135'168);
  model.bulkFault = BulkFault::Short;
  model.bulkFaultTransfer = 2;  // moves 8,192 of 16,384
  std::vector<std::uint8_t> block(135'168);
  const LinkResult read = BulkReadAll(link, block);
  EXPECT_EQ(read.status, LinkStatus::Ok);
  EXPECT_EQ(read.transferred, 135'168u);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), model.nand.begin()));
  const std::vector<std::uint32_t> lengths = BulkLengths();
  ASSERT_GE(lengths.size(), 3u);
  EXPECT_EQ(lengths[0], 16'384u);
  EXPECT_EQ(lengths[1], 16'384u);
  EXPECT_EQ(lengths[2], 16'384u);  // the remainder, capped again
  EXPECT_TRUE(std::all_of(lengths.begin(), lengths.end(), [](std::uint32_t n) { return n <= 16'384; }));
  EXPECT_EQ(lengths.back(), 135'168u - 8'192u - 7 * 16'384u);
}

struct LoopEndCase {
  const char* name;
  void (*putFaultOnTheThirdTransfer)(emulator::RecorderModel&);
  LinkStatus ended;
};

// Cases print as their name, which keeps the test names short and stable.
void PrintTo(const LoopEndCase& c, std::ostream* out) { *out << c.name; }

class BulkLoopEndTest : public DeviceLinkTest, public ::testing::WithParamInterface<LoopEndCase> {};

TEST_P(BulkLoopEndTest, LoopEndsOnTheThirdTransfer) {
  PrepareNandRead(135'168);
  GetParam().putFaultOnTheThirdTransfer(model);
  std::vector<std::uint8_t> block(135'168);
  const LinkResult read = BulkReadAll(link, block);
  EXPECT_EQ(read.transferred, 2u * 16'384u);
  EXPECT_EQ(read.status, GetParam().ended);
  EXPECT_EQ(model.bulkTransfers, 3);
}

void BulkFaultAtThree(emulator::RecorderModel& m, BulkFault fault) {
  m.bulkFault = fault;
  m.bulkFaultTransfer = 3;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BulkLoopEndTest,
    ::testing::Values(
        LoopEndCase{"failed", [](emulator::RecorderModel& m) { BulkFaultAtThree(m, BulkFault::Fail); },
                    LinkStatus::Failed},
        LoopEndCase{"zero_bytes", [](emulator::RecorderModel& m) { BulkFaultAtThree(m, BulkFault::Zero); },
                    LinkStatus::Failed},
        LoopEndCase{"over_long", [](emulator::RecorderModel& m) { BulkFaultAtThree(m, BulkFault::OverLong); },
                    LinkStatus::Failed},
        // The caller learns that the recorder stopped answering.
        LoopEndCase{"no_answer",
                    [](emulator::RecorderModel& m) { m.transferFaults = {{3, emulator::TransferFaultKind::NoAnswer, -1}}; },
                    LinkStatus::TimedOut}),
    [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(DeviceLinkTest, ReenumerationWaitSeesAnAbsentRecorderAtOnceThenWaitsForIt) {
  emulator::PlugInAfterProbes(model, 50);
  EXPECT_TRUE(WaitForReenumeration(link));
  EXPECT_TRUE(model.onBus);
  // One presence test per millisecond, never a busy spin.
  EXPECT_EQ(clock.sleeps, clock.sleptMs);
  EXPECT_GE(clock.sleeps, 45u);
  EXPECT_LE(clock.sleeps, 50u);
}

TEST_F(DeviceLinkTest, ReenumerationWaitFollowsARestart) {
  std::array<std::uint8_t, 0> none{};
  SendVendorRequest(link, kDirectionIn, 0x23, 0, 0, none);
  EXPECT_FALSE(model.onBus);
  EXPECT_TRUE(WaitForReenumeration(link));
  EXPECT_TRUE(IsRecorderPresent(link));
}

// A restart whose absence is over before the next probe: the recorder is back
// at the first presence test after the request.
TEST_F(DeviceLinkTest, ReenumerationWaitCountsAnAbsenceShorterThanOneProbeFromBusEvents) {
  bus.busEvents = true;
  bus.eventClock = &clock;
  model.restartAbsentProbes = 1;
  const std::uint64_t start = clock.nowMs;
  for (int restart = 1; restart <= 3; ++restart) {
    std::array<std::uint8_t, 0> none{};
    ASSERT_TRUE(SendVendorRequest(link, kDirectionIn, 0x23, 0, 0, none));
    EXPECT_TRUE(WaitForReenumeration(link)) << "restart " << restart;
    EXPECT_EQ(bus.recorderEvents.departures, static_cast<std::uint64_t>(restart));
  }
  EXPECT_LT(clock.nowMs - start, 1'000u);
}

TEST_F(DeviceLinkTest, ReenumerationWaitWithBusEventsSleepsUntilTheRecorderComesBack) {
  bus.busEvents = true;
  bus.eventClock = &clock;
  model.restartAbsentProbes = 5;
  std::array<std::uint8_t, 0> none{};
  ASSERT_TRUE(SendVendorRequest(link, kDirectionIn, 0x23, 0, 0, none));
  const int probesBefore = bus.probes;
  EXPECT_TRUE(WaitForReenumeration(link));
  EXPECT_TRUE(model.onBus);
  // It slept on the bus, a whole tick at a time when nothing came, and
  // tested presence only around its sleeps: no 1 ms polling.
  EXPECT_GE(bus.eventWaits, 1);
  EXPECT_LE(clock.sleeps, static_cast<std::uint64_t>(bus.eventWaits));
  EXPECT_EQ(clock.sleptMs, clock.sleeps * kBusEventTickMs);
  EXPECT_LE(bus.probes - probesBefore, 2 * bus.eventWaits + 2);
}

struct SecondRecorderCase {
  const char* name;
  bool busEvents;
};

void PrintTo(const SecondRecorderCase& c, std::ostream* out) { *out << c.name; }

class ReenumerationBesideAnotherRecorder : public DeviceLinkTest,
                                           public ::testing::WithParamInterface<SecondRecorderCase> {};

// A second recorder, elsewhere on the bus, arrives as the first leaves for
// each restart and leaves as the first comes back: its arrival is not the
// first's return, its departure not the first's, and it never gets a request.
TEST_P(ReenumerationBesideAnotherRecorder, NeitherItsArrivalNorItsDepartureCountsAndItGetsNothing) {
  emulator::RecorderModel second;
  bus.tellsPlaces = true;
  bus.busEvents = GetParam().busEvents;
  bus.eventClock = &clock;
  second.onBus = false;
  bus.PlaceRecorder(2);
  emulator::BusRecorder& other = bus.Recorders().recorders[bus.AddRecorder(1, second, "1-2")];
  other.plugIns.push_back({emulator::BusMoment::Kind::AtRestart, 0, 0});
  other.unplugs.push_back({emulator::BusMoment::Kind::WhenBack, 0, 0});
  model.restartAbsentProbes = 5;
  ASSERT_TRUE(KeepToTheRecorderFound(link));
  for (int restart = 1; restart <= 3; ++restart) {
    std::array<std::uint8_t, 0> none{};
    SendVendorRequest(link, kDirectionIn, 0x23, 0, 0, none);
    EXPECT_TRUE(second.onBus) << "restart " << restart;
    EXPECT_TRUE(WaitForReenumeration(link)) << "restart " << restart;
    std::array<std::uint8_t, 2> reply{};
    EXPECT_TRUE(SendVendorRequest(link, kDirectionIn, 0xC6, 0, 0, reply)) << "restart " << restart;
  }
  EXPECT_EQ(model.restarts, 3);
  EXPECT_EQ(emulator::RequestCodes(model), (std::vector<std::uint8_t>{0x23, 0xC6, 0x23, 0xC6, 0x23, 0xC6}));
  EXPECT_TRUE(second.log.empty());
  EXPECT_EQ(emulator::DescribeBusLog(bus.Recorders()),
            "1-1 in  0x23 value=0x0000 len=0 ok\n1-2 plugged in\n1-2 unplugged\n1-1 in  0xC6 value=0x0000 len=2 ok\n"
            "1-1 in  0x23 value=0x0000 len=0 ok\n1-2 plugged in\n1-2 unplugged\n1-1 in  0xC6 value=0x0000 len=2 ok\n"
            "1-1 in  0x23 value=0x0000 len=0 ok\n1-2 plugged in\n1-2 unplugged\n1-1 in  0xC6 value=0x0000 len=2 ok\n");
}

INSTANTIATE_TEST_SUITE_P(Waits, ReenumerationBesideAnotherRecorder,
                         ::testing::Values(SecondRecorderCase{"polling", false},
                                           SecondRecorderCase{"bus_events", true}),
                         [](const auto& instance) { return std::string(instance.param.name); });

// With bus events, a departure counts only at the recorder's place: another
// recorder unplugged elsewhere while the first ignores its restart is not
// the first leaving (which would pass it as restarted).
TEST_F(DeviceLinkTest, ADepartureElsewhereIsNotTheRecordersOwn) {
  emulator::RecorderModel second;
  bus.tellsPlaces = true;
  bus.busEvents = true;
  bus.eventClock = &clock;
  bus.PlaceRecorder(2);
  emulator::BusRecorder& other = bus.Recorders().recorders[bus.AddRecorder(1, second, "1-2")];
  other.unplugs.push_back({emulator::BusMoment::Kind::AfterProbes, 5, 0});
  model.failRequestCodes = {0x23};  // the restart is refused: the recorder stays
  ChooseRecorderAt(link, "1-1");
  std::array<std::uint8_t, 0> none{};
  SendVendorRequest(link, kDirectionIn, 0x23, 0, 0, none);
  EXPECT_EQ(AwaitReenumeration(link), Reenumeration::DidNotLeave);
  EXPECT_FALSE(second.onBus);
  EXPECT_EQ(bus.recorderEventsAt["1-2"].departures, 1u);
  EXPECT_EQ(bus.recorderEventsAt["1-1"].departures, 0u);
}

// Where places are not told, a second recorder seen during the wait ends it:
// the link cannot tell which of the two is the one it was working with.
TEST_F(DeviceLinkTest, ASecondRecorderThatCannotBeToldApartEndsTheWait) {
  emulator::RecorderModel second;
  second.onBus = false;
  emulator::BusRecorder& other = bus.Recorders().recorders[bus.AddRecorder(1, second, "")];
  other.plugIns.push_back({emulator::BusMoment::Kind::AtRestart, 1, 0});
  std::array<std::uint8_t, 0> none{};
  SendVendorRequest(link, kDirectionIn, 0x23, 0, 0, none);
  const std::uint64_t start = clock.nowMs;
  EXPECT_EQ(AwaitReenumeration(link), Reenumeration::NotAlone);
  EXPECT_LT(clock.nowMs - start, 100u);  // at once, not after the wait's bound
  std::array<std::uint8_t, 2> reply{};
  EXPECT_EQ(SendVendorRequest(link, kDirectionIn, 0xC6, 0, 0, reply).status, LinkStatus::NotAlone);
  EXPECT_TRUE(second.log.empty());
}

// The permission check costs a system call in the libusb backend: it is asked
// only of the device whose identity matched, and a recorder this user may not
// use counts as absent. Each probe records whether it met such a refusal, so
// the dialogue can tell a refused recorder from an absent one.
TEST_F(DeviceLinkTest, ProbeAsksWhetherTheDeviceMayBeUsedOnlyOfTheMatch) {
  bus.PlaceOtherDevice(0, 0x04B4, 0x8613);
  bus.PlaceOtherDevice(1, 0x046D, 0xC52B);
  bus.PlaceRecorder(2);
  EXPECT_TRUE(IsRecorderPresent(link));
  EXPECT_EQ(bus.mayUseAsked, (std::vector<std::string>{"ezusb-2"}));
  EXPECT_FALSE(link.lastProbeRefused);

  bus.slots[2].mayNotUse = true;
  bus.mayUseAsked.clear();
  EXPECT_FALSE(IsRecorderPresent(link));
  EXPECT_EQ(bus.mayUseAsked, (std::vector<std::string>{"ezusb-2"}));
  EXPECT_TRUE(link.lastProbeRefused);
  std::array<std::uint8_t, 2> reply{};
  EXPECT_EQ(SendVendorRequest(link, kDirectionIn, 0xC6, 0, 0, reply).status, LinkStatus::NoRecorder);
  EXPECT_TRUE(link.lastProbeRefused);

  // Gone from the bus: absent, no longer refused.
  model.onBus = false;
  EXPECT_FALSE(IsRecorderPresent(link));
  EXPECT_FALSE(link.lastProbeRefused);

  // Back, and this time the access is there.
  model.onBus = true;
  EXPECT_FALSE(IsRecorderPresent(link));
  EXPECT_TRUE(link.lastProbeRefused);
  bus.slots[2].mayNotUse = false;
  EXPECT_TRUE(IsRecorderPresent(link));
  EXPECT_FALSE(link.lastProbeRefused);
}

// A recorder the system lists but no driver serves (Windows without WinUSB
// bound to it) has no name to probe: the probe counts as refused while it
// finds no recorder, and only for one at the place the link keeps to.
TEST_F(DeviceLinkTest, ARecorderNoDriverServesMakesAProbeThatFindsNoneRefused) {
  bus.tellsPlaces = true;
  bus.unservedPlaces = {"1-4"};
  EXPECT_TRUE(IsRecorderPresent(link));
  EXPECT_FALSE(link.lastProbeRefused);  // a recorder was found: nothing to tell

  model.onBus = false;
  EXPECT_FALSE(IsRecorderPresent(link));
  EXPECT_TRUE(link.lastProbeRefused);
  std::array<std::uint8_t, 2> reply{};
  EXPECT_EQ(SendVendorRequest(link, kDirectionIn, 0xC6, 0, 0, reply).status, LinkStatus::NoRecorder);

  ChooseRecorderAt(link, "1-1");  // kept to another place: none of its business
  EXPECT_FALSE(IsRecorderPresent(link));
  EXPECT_FALSE(link.lastProbeRefused);
  ChooseRecorderAt(link, "1-4");
  EXPECT_FALSE(IsRecorderPresent(link));
  EXPECT_TRUE(link.lastProbeRefused);
  EXPECT_EQ(bus.openHandles, 0);
}

struct BoundCase {
  const char* name;
  bool presentAtStart;
  bool busEvents;
};

void PrintTo(const BoundCase& c, std::ostream* out) { *out << c.name; }

class ReenumerationBoundTest : public DeviceLinkTest, public ::testing::WithParamInterface<BoundCase> {};

TEST_P(ReenumerationBoundTest, GivesUpAfterThirtySecondsOfVirtualTime) {
  // Either the recorder never leaves, or it left and never comes back.
  bus.busEvents = GetParam().busEvents;
  bus.eventClock = &clock;
  model.onBus = GetParam().presentAtStart;
  model.returnPending = false;
  const std::uint64_t start = clock.nowMs;
  EXPECT_FALSE(WaitForReenumeration(link));
  EXPECT_GE(clock.nowMs - start, 30'000u);
  EXPECT_LE(clock.nowMs - start, 30'002u);
}

INSTANTIATE_TEST_SUITE_P(Phases, ReenumerationBoundTest,
                         ::testing::Values(BoundCase{"never_leaves", true, false},
                                           BoundCase{"never_returns", false, false},
                                           BoundCase{"never_leaves_with_bus_events", true, true},
                                           BoundCase{"never_returns_with_bus_events", false, true}),
                         [](const auto& instance) { return std::string(instance.param.name); });

}  // namespace
}  // namespace k24::test
