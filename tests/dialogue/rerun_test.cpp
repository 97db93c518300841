// What running k24update again does after an update that ended in "Failed":
// the states a second run finishes from. (The README's troubleshooting says
// which these are; a failed flash write, which leaves the recorder in
// programming state with part of an image in its flash, is not among them.)
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "dialogue_fixture.h"
#include "tools/sample_images.h"

namespace k24::test {
namespace {

struct InterruptedUpdate {
  const char* name;
  VersionWord bootLoader;
  std::function<void(emulator::RecorderModel&)> fault;
  std::string firstEnding;       // how the first run ended
  std::string secondReport;      // versions the second run shows
  bool secondUpgradesBootLoader;
};

void PrintTo(const InterruptedUpdate& update, std::ostream* out) { *out << update.name; }

const std::string kUpgradePrompt = "Press 'Y' to upgrade Boot Loader ";

class RerunTest : public DialogueFixture, public ::testing::WithParamInterface<InterruptedUpdate> {
 protected:
  RerunTest() {
    emulator::InstallFirmware(model, 0x0102, "K24A1");
    emulator::SetSerialNumber(model, "ABCDE12345");
  }
  int RunWithoutArguments() { return RunDialogue(ports, DialogueOptions{}); }
  bool FlashHoldsTheFirmware() const {
    const FlashImage firmware = BuildSampleFirmwareImage();
    return std::equal(firmware.begin(), firmware.begin() + 0x2A00, model.flash.begin());
  }
};

TEST_P(RerunTest, ASecondRunFinishesTheUpdate) {
  const InterruptedUpdate& update = GetParam();
  model.bootLoaderVersion = update.bootLoader;
  update.fault(model);
  Type({'Y', 'L', 'Y', ' '});
  ASSERT_EQ(RunWithoutArguments(), 0);
  ASSERT_TRUE(console.output.ends_with(update.firstEnding)) << console.output;

  // The fault passes; a recorder that stayed away is plugged in again.
  model.requestFaults.clear();
  model.bulkFault = emulator::BulkFault::None;
  model.neverReturnFromRestart = 0;
  model.commitBootAreaReply = 1;
  if (!model.onBus) emulator::ComeBack(model);
  console.output.clear();
  console.keys.clear();  // what the first run left unread
  if (update.secondUpgradesBootLoader) {
    Type({'Y', 'L', 'Y', ' '});
  } else {
    Type({'Y', 'L', ' '});
  }
  ASSERT_EQ(RunWithoutArguments(), 0);
  EXPECT_NE(console.output.find(update.secondReport), std::string::npos) << console.output;
  EXPECT_EQ(console.output.find(kUpgradePrompt) != std::string::npos, update.secondUpgradesBootLoader)
      << console.output;
  EXPECT_TRUE(console.output.ends_with("Replacing firmware...OK\nPress any key to exit...\n")) << console.output;
  EXPECT_TRUE(FlashHoldsTheFirmware());
  EXPECT_EQ(model.bootLoaderVersion, kSampleCarriedBootLoaderVersion);
  EXPECT_EQ(model.firmwareVersion, kSampleFirmwareVersion);
  EXPECT_EQ(emulator::SerialNumberOf(model), "ABCDEW12345");
}

INSTANTIATE_TEST_SUITE_P(
    Interruptions, RerunTest,
    ::testing::Values(
        // The firmware went in, the recorder did not come back in time: the
        // second run finds the new firmware and loads it again.
        InterruptedUpdate{"FirmwareWrittenRecorderNotBack", 0x0102,
                          [](emulator::RecorderModel& m) { m.neverReturnFromRestart = 2; },
                          "Replacing firmware...Failed\nPress any key to exit...\n",
                          "Current Boot Loader version: 1.2\nCurrent firmware version: 2.0\n", false},
        // The replacer went into flash, the recorder did not come back in time:
        // it installed the new boot loader (only its return would have shown
        // "OK"), and the firmware follows.
        InterruptedUpdate{"FlashBootLoaderWrittenRecorderNotBack", 0x0100,
                          [](emulator::RecorderModel& m) { m.neverReturnFromRestart = 2; },
                          "Replacing Boot Loader...Failed\nPress any key to exit.\n",
                          "Current Boot Loader version: 1.2\nCurrent firmware version: unavailable.\n", false},
        // A NAND page not written whole: nothing committed, the old boot
        // loader and firmware still run, and the rewrite starts over.
        InterruptedUpdate{"NandPageNotWritten", 0x00FF,
                          [](emulator::RecorderModel& m) {
                            m.bulkFault = emulator::BulkFault::Fail;
                            m.bulkFaultTransfer = 10;
                          },
                          "Replacing Boot Loader...Failed\nPress any key to exit.\n",
                          "Current Boot Loader version: 0.255\nCurrent firmware version: 1.2\n", true},
        InterruptedUpdate{"NandCommitRefused", 0x00FF,
                          [](emulator::RecorderModel& m) { m.commitBootAreaReply = 0; },
                          "Replacing Boot Loader...Failed\nPress any key to exit.\n",
                          "Current Boot Loader version: 0.255\nCurrent firmware version: 1.2\n", true},
        // Committed, the recorder did not come back in time: it restarted
        // with the new boot loader (only its return would have shown "OK").
        InterruptedUpdate{"NandCommittedRecorderNotBack", 0x00FF,
                          [](emulator::RecorderModel& m) { m.neverReturnFromRestart = 1; },
                          "Replacing Boot Loader...Failed\nPress any key to exit.\n",
                          "Current Boot Loader version: 1.2\nCurrent firmware version: unavailable.\n", false}),
    [](const ::testing::TestParamInfo<InterruptedUpdate>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace k24::test
