// k24update --list: each recorder on the bus one line, from the read-only
// queries alone, under the instance lock.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "dialogue_fixture.h"
#include "testing/request_names.h"

namespace k24::test {
namespace {

class RecorderListTest : public DialogueFixture {
 protected:
  RecorderListTest() {
    emulator::InstallFirmware(model, 0x0102, "K24A1");
    emulator::SetSerialNumber(model, "ABCDE12345");
    emulator::InstallFirmware(second, 0x0200, "K24A1");
    emulator::SetSerialNumber(second, "ZZZZZW9999");
    second.bootLoaderVersion = 0x0102;
    // Only its boot loader runs: the serial number comes from flash.
    third.mode = emulator::RecorderMode::BootLoader;
    third.firmwareVersion = 0;
    emulator::SetSerialNumber(third, "QQQQQ11111");
  }

  // Whether every request the recorders got only reads.
  static bool OnlyQueries(const emulator::RecorderModel& recorder) {
    const std::set<std::uint8_t> queries{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber, ReadFlash};
    for (const std::uint8_t code : emulator::RequestCodes(recorder)) {
      if (queries.count(code) == 0) return false;
    }
    return recorder.bulkTransfers == 0;
  }

  emulator::RecorderModel second;
  emulator::RecorderModel third;
};

TEST_F(RecorderListTest, EachRecorderOneLineFromTheQueriesAlone) {
  bus.tellsPlaces = true;
  bus.PlaceOtherDevice(0, 0x04B4, 0x8613);
  bus.PlaceRecorder(1);
  bus.AddRecorder(3, second, "1-3.1");
  bus.AddRecorder(4, third, "1-3.2");
  emulator::RecorderModel refused;
  bus.AddRecorder(6, refused, "2-1");
  bus.slots[6].mayNotUse = true;
  EXPECT_EQ(ListRecorders(ports), 0);
  EXPECT_EQ(console.output,
            "1-1: boot loader 1.0, firmware 1.2, serial number ABCDE12345\n"
            "1-3.1: boot loader 1.2, firmware 2.0, serial number ZZZZZW9999\n"
            "1-3.2: boot loader 1.0, firmware unavailable, serial number QQQQQ11111\n"
            "2-1: this user may not open it\n");
  EXPECT_EQ(console.errors, kRecorderRefusedHint);
  EXPECT_EQ(lock.takenName, "VocsetLumoK24");
  EXPECT_EQ(emulator::RequestCodes(model), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion,
                                                                      GetSerialNumber}));
  EXPECT_EQ(emulator::RequestCodes(third), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion,
                                                                      ReadFlash}));
  EXPECT_TRUE(OnlyQueries(model) && OnlyQueries(second) && OnlyQueries(third));
  EXPECT_TRUE(refused.log.empty());
  EXPECT_EQ(console.rawReads, 0);
  EXPECT_EQ(history.records.size(), 0u);  // a listing is no run on a recorder
}

// Where the driver tells no places, each recorder is asked by its name for
// the moment the listing lasts.
TEST_F(RecorderListTest, WithoutPlacesEachIsNamedAsTheDriverNamesIt) {
  bus.AddRecorder(2, second, "");
  EXPECT_EQ(ListRecorders(ports), 0);
  EXPECT_EQ(console.output,
            "ezusb-0 (place unknown): boot loader 1.0, firmware 1.2, serial number ABCDE12345\n"
            "ezusb-2 (place unknown): boot loader 1.2, firmware 2.0, serial number ZZZZZW9999\n");
  EXPECT_EQ(console.errors, "");
}

TEST_F(RecorderListTest, NoRecorderIsExitCode2AndALineOnStandardError) {
  model.onBus = false;
  EXPECT_EQ(ListRecorders(ports), 2);
  EXPECT_EQ(console.output, "");
  EXPECT_EQ(console.errors, "k24update: no recorder (USB 10c4:4512) is connected\n");
}

// A recorder Windows lists without a usable driver cannot be listed: the
// platform's hint says how to bind one, with or without others listed.
TEST_F(RecorderListTest, ARecorderWithoutADriverIsToldOfWithThePlatformsHint) {
  ports.recorderRefusedHint = kRecorderWithoutDriverHint;
  bus.unservedPlaces = {""};
  model.onBus = false;
  EXPECT_EQ(ListRecorders(ports), 2);
  EXPECT_EQ(console.output, "");
  EXPECT_EQ(console.errors,
            std::string("k24update: no recorder (USB 10c4:4512) is connected\n") + kRecorderWithoutDriverHint);

  model.onBus = true;
  console.errors.clear();
  EXPECT_EQ(ListRecorders(ports), 0);
  EXPECT_EQ(console.output, "ezusb-0 (place unknown): boot loader 1.0, firmware 1.2, serial number ABCDE12345\n");
  EXPECT_EQ(console.errors, kRecorderWithoutDriverHint);
}

// Another run may be in the middle of an update: the listing asks nothing.
TEST_F(RecorderListTest, LockHeldElsewhereIsTheLockMessageAndExitCode1WithNothingAsked) {
  lock.outcome = LockOutcome::HeldElsewhere;
  EXPECT_EQ(ListRecorders(ports), 1);
  EXPECT_EQ(console.output, "Close all other digital recorder applications and try again.\n");
  EXPECT_EQ(bus.probes, 0);
  EXPECT_TRUE(model.log.empty());
  EXPECT_EQ(console.rawReads, 0);
}

}  // namespace
}  // namespace k24::test
