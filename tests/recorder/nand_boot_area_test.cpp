#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <vector>

#include "recorder/nand_boot_area.h"
#include "testing/recorder_fixture.h"
#include "testing/request_names.h"

namespace k24::test {
namespace {

TEST(NandRecords, FirstPageRecordByteForByte) {
  const NandPageRecord expected = {0x00, 0x08, 0x40, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00,
                                   0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(BuildNandPageRecord(0, 64), expected);
}

TEST(NandRecords, PageFiveRecordCarriesCountThenFirstPageBigEndian) {
  const NandPageRecord record = BuildNandPageRecord(5, 1);
  EXPECT_EQ(std::vector<std::uint8_t>(record.begin() + 9, record.begin() + 17),
            (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05}));
}

TEST(NandRecords, EraseRecords) {
  EXPECT_EQ(BuildNandEraseRecord(0), (NandEraseRecord{0, 0, 0, 0, 0}));
  EXPECT_EQ(BuildNandEraseRecord(0x0102), (NandEraseRecord{0, 0x00, 0x00, 0x40, 0x80}));
}

class NandRewriteTest : public RecorderFixture {
 protected:
  NandRewriteTest() : replacer(0xFC00) {
    for (std::size_t i = 0; i < replacer.size(); ++i) replacer[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    replacer[0x1000] = 0x02;  // the boot loader version the replacer carries: 1.2
    replacer[0x1001] = 0x01;
    for (std::size_t i = 0; i < model.nand.size(); ++i) model.nand[i] = static_cast<std::uint8_t>(i % 253);
    originalNand = model.nand;
    model.mode = emulator::RecorderMode::BootLoader;
    model.bootLoaderVersion = 0x00FF;
  }

  std::vector<std::uint8_t> replacer;
  std::vector<std::uint8_t> originalNand;
};

TEST_F(NandRewriteTest, WritesTheImageFromPageOneKeepsPageZeroAndCommits) {
  EXPECT_TRUE(RewriteNandBootArea(link, replacer));
  // Page 0 as it was; the image across pages 1 to 8; the rest erased.
  EXPECT_TRUE(std::equal(originalNand.begin(), originalNand.begin() + 2112, model.nand.begin()));
  EXPECT_TRUE(std::equal(replacer.begin(), replacer.begin() + 0x3C00, model.nand.begin() + 2112));
  EXPECT_TRUE(std::all_of(model.nand.begin() + 2112 + 0x3C00, model.nand.end(),
                          [](std::uint8_t b) { return b == 0xFF; }));
  // Read block, erase, status, 64 page writes, 63 page reads, commit.
  const std::vector<std::uint8_t> codes = emulator::RequestCodes(model);
  ASSERT_EQ(codes.size(), 1u + 2u + 64u + 63u + 1u);
  EXPECT_EQ(codes.front(), NandReadPages);
  EXPECT_EQ(codes[1], NandEraseBlock);
  EXPECT_EQ(codes[2], NandStatus);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), NandWritePages), 64);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), NandReadPages), 64);
  EXPECT_EQ(codes.back(), CommitBootArea);
  const NandPageRecord pageFive = BuildNandPageRecord(5, 1);
  EXPECT_EQ(Requests(NandWritePages)[5]->data, std::vector<std::uint8_t>(pageFive.begin(), pageFive.end()));
  EXPECT_EQ(Requests(NandEraseBlock)[0]->data, (std::vector<std::uint8_t>{0, 0, 0, 0, 0}));
  // The recorder takes the commit and comes back with the replacer's boot loader.
  EXPECT_FALSE(model.onBus);
  EXPECT_EQ(model.bootLoaderVersion, 0x0102);
}

TEST_F(NandRewriteTest, ADifferingReadBackFailsWithoutCommit) {
  model.corruptNandReadBack = true;
  EXPECT_EQ(RewriteNandBootArea(link, replacer).failure, StepFailure::ReadBackMismatch);
  EXPECT_TRUE(Requests(CommitBootArea).empty());
}

// The read-back compares the image bytes only; the last of them counts too.
TEST_F(NandRewriteTest, AReadBackDifferenceInTheLastImageByteFails) {
  model.corruptNandOffset = 2112 + 0x3C00 - 1;
  const StepResult result = RewriteNandBootArea(link, replacer);
  EXPECT_EQ(result.failure, StepFailure::ReadBackMismatch);
  EXPECT_EQ(result.mismatchOffset, 0x3C00u - 1);
  EXPECT_TRUE(Requests(CommitBootArea).empty());
}

// A read-back that brings no bytes must not pass where the image
// repeats itself: there the page read back before holds the very bytes the
// next read should bring. Page 3 is read back into the place of page 2.
struct RepeatedReadBackCase {
  const char* name;
  void (*breakRead)(emulator::RecorderModel&);
  std::size_t mismatchOffset;  // the first image byte the read did not bring
};

void PrintTo(const RepeatedReadBackCase& c, std::ostream* out) { *out << c.name; }

class NandRepeatedReadBackTest : public NandRewriteTest,
                                 public ::testing::WithParamInterface<RepeatedReadBackCase> {};

TEST_P(NandRepeatedReadBackTest, AReadThatBroughtNothingIsNotTakenForThePage) {
  std::fill(replacer.begin() + 2112, replacer.begin() + 0x3C00, std::uint8_t{0xA5});
  GetParam().breakRead(model);
  const StepResult result = RewriteNandBootArea(link, replacer);
  EXPECT_EQ(result.failure, StepFailure::ReadBackMismatch);
  EXPECT_EQ(result.mismatchOffset, GetParam().mismatchOffset);
  EXPECT_TRUE(Requests(CommitBootArea).empty());
  EXPECT_EQ(model.bootLoaderVersion, 0x00FF);
}

// Block 0 arrives in 9 bulk reads, the 64 page writes follow; the read-back
// of page 3 is bulk transfer 9 + 64 + 3, and the fourth NandReadPages.
constexpr int kPageThreeReadBack = 9 + 64 + 3;

INSTANTIATE_TEST_SUITE_P(
    Faults, NandRepeatedReadBackTest,
    ::testing::Values(RepeatedReadBackCase{"read_request_refused",
                                           [](emulator::RecorderModel& m) {
                                             m.requestFaults = {{NandReadPages, 4, emulator::ControlFault::Stall, 0}};
                                           },
                                           2 * 2112},
                      RepeatedReadBackCase{"bulk_moved_nothing",
                                           [](emulator::RecorderModel& m) {
                                             m.bulkFault = emulator::BulkFault::Zero;
                                             m.bulkFaultTransfer = kPageThreeReadBack;
                                           },
                                           2 * 2112}),
    [](const auto& instance) { return std::string(instance.param.name); });

struct PageWriteCase {
  const char* name;
  void (*breakWrite)(emulator::RecorderModel&);
};

void PrintTo(const PageWriteCase& c, std::ostream* out) { *out << c.name; }

class NandPageWriteTest : public NandRewriteTest, public ::testing::WithParamInterface<PageWriteCase> {};

// Page 0 is the recorder's own and lies outside the read-back: a write of it
// that does not go out whole must stop the rewrite before anything is committed.
TEST_P(NandPageWriteTest, APageZeroWriteNotGoneOutWholeFailsBeforeTheCommit) {
  GetParam().breakWrite(model);
  const StepResult result = RewriteNandBootArea(link, replacer);
  EXPECT_EQ(result.failure, StepFailure::PageNotWritten);
  EXPECT_EQ(result.page, 0u);
  EXPECT_TRUE(Requests(CommitBootArea).empty());
  EXPECT_EQ(model.bootLoaderVersion, 0x00FF);
}

// Block 0 arrives in 9 bulk reads (8 of 16,384 bytes and the rest); the
// write of page 0 is bulk transfer 10.
constexpr int kPageZeroWrite = 10;

INSTANTIATE_TEST_SUITE_P(
    Faults, NandPageWriteTest,
    ::testing::Values(PageWriteCase{"bulk_failed",
                                    [](emulator::RecorderModel& m) {
                                      m.bulkFault = emulator::BulkFault::Fail;
                                      m.bulkFaultTransfer = kPageZeroWrite;
                                    }},
                      PageWriteCase{"bulk_moved_nothing",
                                    [](emulator::RecorderModel& m) {
                                      m.bulkFault = emulator::BulkFault::Zero;
                                      m.bulkFaultTransfer = kPageZeroWrite;
                                    }},
                      PageWriteCase{"bulk_claimed_more",
                                    [](emulator::RecorderModel& m) {
                                      m.bulkFault = emulator::BulkFault::OverLong;
                                      m.bulkFaultTransfer = kPageZeroWrite;
                                    }},
                      PageWriteCase{"write_request_refused",
                                    [](emulator::RecorderModel& m) {
                                      m.requestFaults = {{NandWritePages, 1, emulator::ControlFault::Stall, 0}};
                                    }}),
    [](const auto& instance) { return std::string(instance.param.name); });

struct CommitCase {
  const char* name;
  bool recorderGone;                // no recorder at all when the commit is sent
  emulator::ControlFault fault;      // else: how the commit request fails
  bool accepted;
};

void PrintTo(const CommitCase& c, std::ostream* out) { *out << c.name; }

class NandCommitTest : public NandRewriteTest, public ::testing::WithParamInterface<CommitCase> {};

// A commit that fails on a recorder that is there counts as accepted (the
// recorder may restart as it takes the new boot area); with no recorder at
// all, nothing was committed.
TEST_P(NandCommitTest, CommitOutcome) {
  const CommitCase& c = GetParam();
  {
    // The commit is the last transfer of a rewrite: count them on a clean run.
    emulator::RecorderModel clean = model;
    emulator::EmulatedBus cleanBus{clean};
    DeviceLink cleanLink = link;
    cleanLink.driver = &cleanBus;
    ASSERT_TRUE(RewriteNandBootArea(cleanLink, replacer));
    if (c.recorderGone) {
      model.leaveAfterTransfer = clean.transfers - 1;
    } else {
      model.requestFaults = {{CommitBootArea, 1, c.fault, 0}};
    }
  }
  EXPECT_EQ(static_cast<bool>(RewriteNandBootArea(link, replacer)), c.accepted);
  EXPECT_EQ(Requests(CommitBootArea).size(), c.recorderGone ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, NandCommitTest,
    ::testing::Values(CommitCase{"no_recorder_found", true, emulator::ControlFault::Stall, false},
                      CommitCase{"refused_by_a_present_recorder", false, emulator::ControlFault::Stall, true},
                      CommitCase{"restarted_before_answering", false, emulator::ControlFault::StallAfterExecuting,
                                 true}),
    [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(NandRewriteTest, ACommitAnsweredZeroFails) {
  model.commitBootAreaReply = 0;
  EXPECT_EQ(RewriteNandBootArea(link, replacer).failure, StepFailure::CommitRefused);
  EXPECT_EQ(Requests(CommitBootArea).size(), 1u);
}

struct ShortReadCase {
  const char* name;
  emulator::BulkFault fault;
};

// Cases print as their name, which keeps the test names short and stable.
void PrintTo(const ShortReadCase& c, std::ostream* out) { *out << c.name; }

class NandShortReadTest : public NandRewriteTest, public ::testing::WithParamInterface<ShortReadCase> {};

TEST_P(NandShortReadTest, AShortReadOfBlockZeroLeavesTheBlockAlone) {
  model.bulkFault = GetParam().fault;
  model.bulkFaultTransfer = 4;
  EXPECT_EQ(RewriteNandBootArea(link, replacer).failure, StepFailure::BlockReadShort);
  EXPECT_TRUE(Requests(NandEraseBlock).empty());
  EXPECT_TRUE(Requests(NandWritePages).empty());
  EXPECT_EQ(model.nand, originalNand);
}

INSTANTIATE_TEST_SUITE_P(Faults, NandShortReadTest,
                         ::testing::Values(ShortReadCase{"failed", emulator::BulkFault::Fail},
                                           ShortReadCase{"zero_bytes", emulator::BulkFault::Zero}),
                         [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(NandRewriteTest, NoRecorderAtAllFailsBeforeAnyErase) {
  model.onBus = false;
  EXPECT_FALSE(RewriteNandBootArea(link, replacer));
  EXPECT_TRUE(model.log.empty());
}

TEST_F(RecorderFixture, EraseStatusDecides) {
  EXPECT_TRUE(EraseNandBlock(link, 0));
  model.failRequestCodes = {NandStatus};  // a status request not carried out counts as success
  EXPECT_TRUE(EraseNandBlock(link, 0));
  model.failRequestCodes.clear();
  model.nandStatusReply = 0x80;
  const StepResult refused = EraseNandBlock(link, 0);
  EXPECT_EQ(refused.failure, StepFailure::EraseNotConfirmed);
  EXPECT_EQ(refused.nandEraseStatus, std::optional<std::uint8_t>{0x80});
}

}  // namespace
}  // namespace k24::test
