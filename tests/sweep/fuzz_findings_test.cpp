// Whole updates the fuzzer of the dialogue found wrong, kept as they were
// found, judged by the same rules as the sweep.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "whole_update.h"

namespace k24::sweep {
namespace {

// A recorder whose firmware does not answer (the serial number is then read
// from flash) and which holds a 21-character number, as an earlier update
// leaves a 20-character one with its mark added: an update to another major
// version sends the number back unchanged, and it must go back whole.
TEST(FuzzFindings, TwentyOneCharacterSerialReadFromFlashGoesBackWhole) {
  for (const VersionWord bootLoader : {VersionWord{0x0100}, VersionWord{0x00FF}, VersionWord{0x0102}}) {
    SCOPED_TRACE(bootLoader);
    auto update = std::make_unique<WholeUpdate>(bootLoader);
    update->model.firmwareAnswersVersion = false;
    emulator::SetSerialNumber(update->model, "ABCDEW123456789012345");
    update->console.keys = {'Y', 'L', 'Y', 'Y'};
    update->Run();
    EXPECT_EQ(update->Judge(), std::vector<std::string>{}) << update->console.output;
    EXPECT_EQ(emulator::SerialNumberOf(update->model), "ABCDEW123456789012345");
    EXPECT_NE(update->console.output.find("Replacing firmware...OK\n"), std::string::npos) << update->console.output;
  }
}

}  // namespace
}  // namespace k24::sweep
