#include <gtest/gtest.h>

#include <vector>

#include "recorder/flash_programming.h"
#include "testing/recorder_fixture.h"
#include "testing/request_names.h"

namespace k24::test {
namespace {

std::vector<std::uint8_t> PatternImage() {
  std::vector<std::uint8_t> image(0xFC00);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>((i * 13) ^ (i >> 8));
  return image;
}

class FlashProgrammingTest : public RecorderFixture {
 protected:
  void SetUp() override { model.mode = emulator::RecorderMode::Programming; }

  // (code, value) of every control request, in order.
  std::vector<std::pair<std::uint8_t, std::uint16_t>> Sequence() const {
    std::vector<std::pair<std::uint8_t, std::uint16_t>> sequence;
    for (const emulator::LoggedTransfer& entry : model.log) sequence.emplace_back(entry.request, entry.value);
    return sequence;
  }

  static std::vector<std::pair<std::uint8_t, std::uint16_t>> ExpectedSequence() {
    std::vector<std::pair<std::uint8_t, std::uint16_t>> expected;
    for (std::uint16_t page = 0; page < 21; ++page) {
      expected.emplace_back(ErasePage, static_cast<std::uint16_t>(page * 0x200));
      for (std::uint16_t chunk = 0; chunk < 8; ++chunk) {
        expected.emplace_back(WriteFlash, static_cast<std::uint16_t>(page * 0x200 + chunk * 0x40));
      }
    }
    return expected;
  }
};

TEST_F(FlashProgrammingTest, WritesTheImageRegionInTheRecordersOrder) {
  const std::vector<std::uint8_t> image = PatternImage();
  EXPECT_TRUE(ProgramFlashImage(link, image));
  EXPECT_EQ(Sequence(), ExpectedSequence());
  EXPECT_EQ(model.log.size(), 189u);
  EXPECT_EQ(model.log.back().value, 0x29C0);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x2A00, model.flash.begin()));
  // Bytes from 0x2A00 on never reach the recorder.
  EXPECT_TRUE(std::all_of(model.flash.begin() + 0x2A00, model.flash.begin() + 0xDE00,
                          [](std::uint8_t b) { return b == 0xFF; }));
  for (const emulator::LoggedTransfer& entry : model.log) {
    if (entry.request != WriteFlash) continue;
    ASSERT_EQ(entry.data.size(), 64u);
    EXPECT_TRUE(std::equal(entry.data.begin(), entry.data.end(), image.begin() + entry.value));
  }
}

TEST_F(FlashProgrammingTest, ARejectedWriteStillSendsTheRestAndFails) {
  model.failRequestNumber = 101;  // the first WriteFlash of page 11
  ASSERT_EQ(ExpectedSequence()[100].first, WriteFlash);
  const StepResult result = ProgramFlashImage(link, PatternImage());
  EXPECT_EQ(result.failure, StepFailure::RequestFailed);
  ASSERT_TRUE(result.request);
  EXPECT_EQ(result.request->code, WriteFlash);
  EXPECT_EQ(result.request->value, 11 * 0x200);
  EXPECT_EQ(result.failedRequests, 1);
  EXPECT_EQ(Sequence(), ExpectedSequence());
}

TEST_F(FlashProgrammingTest, ARejectedEraseFailsToo) {
  model.failRequestNumber = 1 + 9 * 20;  // the last page's erase
  const StepResult result = ProgramFlashImage(link, PatternImage());
  ASSERT_TRUE(result.request);
  EXPECT_EQ(result.request->code, ErasePage);
  EXPECT_EQ(result.request->value, 20 * 0x200);
  EXPECT_EQ(model.log.size(), 189u);
}

TEST_F(RecorderFixture, PreparationErasesPage0x200RestartsAndWaitsForProgrammingState) {
  EXPECT_TRUE(PrepareForProgramming(link));
  ASSERT_EQ(model.log.size(), 2u);
  EXPECT_EQ(model.log[0].request, ErasePage);
  EXPECT_EQ(model.log[0].value, 0x0200);
  EXPECT_EQ(model.log[0].length, 2u);
  EXPECT_EQ(model.log[1].request, Restart);
  EXPECT_TRUE(model.onBus);
  EXPECT_EQ(model.mode, emulator::RecorderMode::Programming);
}

TEST_F(RecorderFixture, PreparationReportsARecorderThatNeverComesBack) {
  model.neverReturnAfterRestart = true;
  EXPECT_EQ(PrepareForProgramming(link).failure, StepFailure::RecorderDidNotReturn);
}

}  // namespace
}  // namespace k24::test
