// Why a procedure failed, as it tells it: each fault the recorder model can
// be told to make, on each procedure, and the reason and the failed request
// (code, value, direction, and what came back) that the procedure reports.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <vector>

#include "recorder/firmware_replacement.h"
#include "recorder/flash_programming.h"
#include "recorder/nand_boot_area.h"
#include "testing/recorder_fixture.h"
#include "testing/request_names.h"

namespace k24::test {
namespace {

enum class Procedure { Prepare, Program, WriteFirmware, StartFirmware, NandRewrite };

struct ExpectedRequest {
  std::uint8_t code;
  std::uint16_t value;
  std::uint8_t direction;
  LinkStatus status;
  std::uint32_t transferred = 0;
};

struct ReasonCase {
  const char* name;
  Procedure procedure;
  void (*setUp)(emulator::RecorderModel&);
  StepFailure failure;
  std::optional<ExpectedRequest> request = std::nullopt;
  int failedRequests = 0;
  std::uint32_t page = 0;
  std::uint32_t bytesMoved = 0;
  std::uint32_t bytesExpected = 0;
  std::size_t mismatchOffset = 0;
  std::optional<std::uint8_t> eraseStatus = std::nullopt;
  int transfers = 0;  // when not 0: the transfers the recorder saw, the one that ended the step the last
};

void PrintTo(const ReasonCase& c, std::ostream* out) { *out << c.name; }

// A clean NAND rewrite is 267 transfers: the block read (1 + 9 bulk), erase
// and status, 64 page writes and 63 page reads (request and bulk each), and
// the commit.
constexpr int kNandRewriteTransfers = 267;
constexpr std::uint32_t kBlock = 135'168;

// Runs one procedure against the recorder model.
class ProcedureFixture : public RecorderFixture {
 protected:
  ProcedureFixture() : image(0xFC00) {
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    emulator::InstallFirmware(model, 0x0102, "K24A1");
    model.bootLoaderVersion = 0x0100;
  }

  StepResult RunProcedure(Procedure procedure) {
    switch (procedure) {
      case Procedure::Prepare: return PrepareForProgramming(link);
      case Procedure::Program:
        model.mode = emulator::RecorderMode::Programming;
        return ProgramFlashImage(link, image);
      case Procedure::WriteFirmware: return WriteFirmware(link, image);
      case Procedure::StartFirmware: return StartNewFirmware(link);
      case Procedure::NandRewrite:
        model.mode = emulator::RecorderMode::BootLoader;
        model.bootLoaderVersion = 0x00FF;
        return RewriteNandBootArea(link, image);
    }
    return {};
  }

  std::vector<std::uint8_t> image;
};

class StepReasonTest : public ProcedureFixture, public ::testing::WithParamInterface<ReasonCase> {};

TEST_P(StepReasonTest, TellsWhyItFailed) {
  const ReasonCase& c = GetParam();
  c.setUp(model);
  const StepResult result = RunProcedure(c.procedure);
  EXPECT_FALSE(result);
  EXPECT_EQ(result.failure, c.failure) << emulator::DescribeLog(model);
  ASSERT_EQ(result.request.has_value(), c.request.has_value());
  if (c.request) {
    EXPECT_EQ(result.request->code, c.request->code);
    EXPECT_EQ(result.request->value, c.request->value);
    EXPECT_EQ(result.request->index, 0);
    EXPECT_EQ(result.request->direction, c.request->direction);
    EXPECT_EQ(result.request->status, c.request->status);
    EXPECT_EQ(result.request->transferred, c.request->transferred);
  }
  EXPECT_EQ(result.failedRequests, c.failedRequests);
  EXPECT_EQ(result.page, c.page);
  EXPECT_EQ(result.bytesMoved, c.bytesMoved);
  EXPECT_EQ(result.bytesExpected, c.bytesExpected);
  EXPECT_EQ(result.mismatchOffset, c.mismatchOffset);
  EXPECT_EQ(result.nandEraseStatus, c.eraseStatus);
  if (c.transfers != 0) {
    EXPECT_EQ(model.transfers, c.transfers) << emulator::DescribeLog(model);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StepReasonTest,
    ::testing::Values(
        // Flash programming: the first failed request, and how many failed.
        ReasonCase{.name = "third_write_stalled",
                   .procedure = Procedure::Program,
                   .setUp = [](emulator::RecorderModel& m) {
                     m.requestFaults = {{WriteFlash, 3, emulator::ControlFault::Stall, 0}};
                   },
                   .failure = StepFailure::RequestFailed,
                   .request = ExpectedRequest{WriteFlash, 0x0080, kDirectionOut, LinkStatus::Failed},
                   .failedRequests = 1},
        // A recorder that stops answering gets no more requests: each would
        // wait out the driver's time limit. Refused ones before it count.
        ReasonCase{.name = "no_answer_from_the_fourth_write_on",
                   .procedure = Procedure::Program,
                   .setUp = [](emulator::RecorderModel& m) {
                     m.transferFaults = {{5, emulator::TransferFaultKind::NoAnswer, -1}};
                   },
                   .failure = StepFailure::RequestFailed,
                   .request = ExpectedRequest{WriteFlash, 0x00C0, kDirectionOut, LinkStatus::TimedOut},
                   .failedRequests = 1,
                   .transfers = 5},
        ReasonCase{.name = "refused_write_then_no_answer_from_the_second_erase_on",
                   .procedure = Procedure::Program,
                   .setUp = [](emulator::RecorderModel& m) {
                     m.requestFaults = {{WriteFlash, 2, emulator::ControlFault::Stall, 0}};
                     m.stopAnsweringAfterRequest = 9;
                   },
                   .failure = StepFailure::RequestFailed,
                   .request = ExpectedRequest{WriteFlash, 0x0040, kDirectionOut, LinkStatus::Failed},
                   .failedRequests = 2,
                   .transfers = 10},
        ReasonCase{.name = "every_write_refused",
                   .procedure = Procedure::Program,
                   .setUp = [](emulator::RecorderModel& m) { m.failRequestCodes = {WriteFlash}; },
                   .failure = StepFailure::RequestFailed,
                   .request = ExpectedRequest{WriteFlash, 0x0000, kDirectionOut, LinkStatus::Failed},
                   .failedRequests = 168},
        ReasonCase{.name = "recorder_gone_before_programming",
                   .procedure = Procedure::Program,
                   .setUp = [](emulator::RecorderModel& m) { m.onBus = false; },
                   .failure = StepFailure::RequestFailed,
                   .request = ExpectedRequest{ErasePage, 0x0000, kDirectionIn, LinkStatus::NoRecorder},
                   .failedRequests = 189},
        // Programming state and the firmware's start: the waits after a restart.
        ReasonCase{.name = "never_back_from_programming_restart",
                   .procedure = Procedure::Prepare,
                   .setUp = [](emulator::RecorderModel& m) { m.neverReturnAfterRestart = true; },
                   .failure = StepFailure::RecorderDidNotReturn},
        ReasonCase{.name = "restart_refused_so_never_left",
                   .procedure = Procedure::Prepare,
                   .setUp = [](emulator::RecorderModel& m) {
                     m.requestFaults = {{Restart, 0, emulator::ControlFault::Stall, 0}};
                   },
                   .failure = StepFailure::RecorderDidNotLeave},
        ReasonCase{.name = "firmware_finish_refused",
                   .procedure = Procedure::WriteFirmware,
                   .setUp = [](emulator::RecorderModel& m) {
                     m.requestFaults = {{FinishFirmware, 1, emulator::ControlFault::Stall, 0}};
                   },
                   .failure = StepFailure::RequestFailed,
                   .request = ExpectedRequest{FinishFirmware, 0, kDirectionIn, LinkStatus::Failed},
                   .failedRequests = 1},
        ReasonCase{.name = "firmware_write_never_in_programming_state",
                   .procedure = Procedure::WriteFirmware,
                   .setUp = [](emulator::RecorderModel& m) { m.neverReturnFromRestart = 1; },
                   .failure = StepFailure::RecorderDidNotReturn},
        ReasonCase{.name = "new_firmware_never_back",
                   .procedure = Procedure::StartFirmware,
                   .setUp = [](emulator::RecorderModel& m) { m.neverReturnAfterRestart = true; },
                   .failure = StepFailure::RecorderDidNotReturn},
        // The NAND rewrite.
        ReasonCase{.name = "block_read_failed_at_its_fourth_transfer",
                   .procedure = Procedure::NandRewrite,
                   .setUp = [](emulator::RecorderModel& m) {
                     m.bulkFault = emulator::BulkFault::Fail;
                     m.bulkFaultTransfer = 4;
                   },
                   .failure = StepFailure::BlockReadShort,
                   .bytesMoved = 3 * 16'384,
                   .bytesExpected = kBlock},
        ReasonCase{.name = "block_read_request_refused",
                   .procedure = Procedure::NandRewrite,
                   .setUp = [](emulator::RecorderModel& m) {
                     m.requestFaults = {{NandReadPages, 1, emulator::ControlFault::Stall, 0}};
                   },
                   .failure = StepFailure::BlockReadShort,
                   .request = ExpectedRequest{NandReadPages, 0, kDirectionOut, LinkStatus::Failed},
                   .bytesMoved = 0,
                   .bytesExpected = kBlock},
        ReasonCase{.name = "sixth_page_write_refused",
                   .procedure = Procedure::NandRewrite,
                   .setUp = [](emulator::RecorderModel& m) {
                     m.requestFaults = {{NandWritePages, 6, emulator::ControlFault::Stall, 0}};
                   },
                   .failure = StepFailure::PageNotWritten,
                   .request = ExpectedRequest{NandWritePages, 0, kDirectionOut, LinkStatus::Failed},
                   .failedRequests = 1,
                   .page = 5,
                   .bytesMoved = 0,
                   .bytesExpected = 2112},
        // Block 0 arrives in 9 bulk reads; the write of page 0 is bulk transfer 10.
        ReasonCase{.name = "page_zero_bulk_moved_nothing",
                   .procedure = Procedure::NandRewrite,
                   .setUp = [](emulator::RecorderModel& m) {
                     m.bulkFault = emulator::BulkFault::Zero;
                     m.bulkFaultTransfer = 10;
                   },
                   .failure = StepFailure::PageNotWritten,
                   .page = 0,
                   .bytesMoved = 0,
                   .bytesExpected = 2112},
        // The read-back stops at the first page the recorder gives no answer
        // for: transfers 141 and 142 read back page 1, 145 asks for page 3.
        ReasonCase{.name = "no_answer_to_a_read_back_request",
                   .procedure = Procedure::NandRewrite,
                   .setUp = [](emulator::RecorderModel& m) {
                     m.transferFaults = {{145, emulator::TransferFaultKind::NoAnswer, -1}};
                   },
                   .failure = StepFailure::ReadBackNoAnswer,
                   .request = ExpectedRequest{NandReadPages, 0, kDirectionOut, LinkStatus::TimedOut},
                   .failedRequests = 1,
                   .page = 3,
                   .bytesMoved = 0,
                   .bytesExpected = 2112,
                   .transfers = 145},
        ReasonCase{.name = "no_answer_to_a_read_back_bulk_read",
                   .procedure = Procedure::NandRewrite,
                   .setUp = [](emulator::RecorderModel& m) {
                     m.transferFaults = {{146, emulator::TransferFaultKind::NoAnswer, -1}};
                   },
                   .failure = StepFailure::ReadBackNoAnswer,
                   .page = 3,
                   .bytesMoved = 0,
                   .bytesExpected = 2112,
                   .transfers = 146},
        // A page write whose request got no answer sends no pages after it.
        ReasonCase{.name = "no_answer_to_a_page_write_request",
                   .procedure = Procedure::NandRewrite,
                   .setUp = [](emulator::RecorderModel& m) {
                     m.transferFaults = {{15, emulator::TransferFaultKind::NoAnswer, -1}};
                   },
                   .failure = StepFailure::PageNotWritten,
                   .request = ExpectedRequest{NandWritePages, 0, kDirectionOut, LinkStatus::TimedOut},
                   .failedRequests = 1,
                   .page = 1,
                   .bytesMoved = 0,
                   .bytesExpected = 2112,
                   .transfers = 15},
        ReasonCase{.name = "read_back_differs",
                   .procedure = Procedure::NandRewrite,
                   .setUp = [](emulator::RecorderModel& m) { m.corruptNandOffset = 2112 + 0x123; },
                   .failure = StepFailure::ReadBackMismatch,
                   .mismatchOffset = 0x123},
        ReasonCase{.name = "erase_status_kept_beside_the_read_back",
                   .procedure = Procedure::NandRewrite,
                   .setUp = [](emulator::RecorderModel& m) {
                     m.nandStatusReply = 0x41;
                     m.corruptNandOffset = 2112 + 0x3BFF;
                   },
                   .failure = StepFailure::ReadBackMismatch,
                   .mismatchOffset = 0x3BFF,
                   .eraseStatus = std::uint8_t{0x41}},
        ReasonCase{.name = "commit_answered_zero",
                   .procedure = Procedure::NandRewrite,
                   .setUp = [](emulator::RecorderModel& m) { m.commitBootAreaReply = 0; },
                   .failure = StepFailure::CommitRefused,
                   .request = ExpectedRequest{CommitBootArea, 0, kDirectionIn, LinkStatus::Ok, 1}},
        ReasonCase{.name = "no_recorder_for_the_commit",
                   .procedure = Procedure::NandRewrite,
                   .setUp = [](emulator::RecorderModel& m) { m.leaveAfterTransfer = kNandRewriteTransfers - 1; },
                   .failure = StepFailure::RequestFailed,
                   .request = ExpectedRequest{CommitBootArea, 0, kDirectionIn, LinkStatus::NoRecorder},
                   .failedRequests = 1}),
    [](const auto& instance) { return std::string(instance.param.name); });

struct NeverReadCase {
  const char* name;
  Procedure procedure;
  std::uint8_t request;
  std::uint32_t bytes;
};

void PrintTo(const NeverReadCase& c, std::ostream* out) { *out << c.name; }

class NeverReadReplyTest : public ProcedureFixture, public ::testing::WithParamInterface<NeverReadCase> {};

// Replies the procedures never interpret: cut short on every such request of
// a procedure, they still count as answered, and the procedure ends well. A
// commit that sends no byte leaves the 1 preset for it: accepted, and the
// recorder's return decides.
TEST_P(NeverReadReplyTest, ACutReplyIsStillAnAnswer) {
  model.requestFaults = {{GetParam().request, 0, emulator::ControlFault::ShortReply, GetParam().bytes}};
  EXPECT_TRUE(RunProcedure(GetParam().procedure)) << emulator::DescribeLog(model);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, NeverReadReplyTest,
    ::testing::Values(NeverReadCase{"every_erase_1_of_2", Procedure::Program, ErasePage, 1},
                      NeverReadCase{"every_erase_0_of_2", Procedure::Program, ErasePage, 0},
                      NeverReadCase{"finish_firmware_2_of_4", Procedure::WriteFirmware, FinishFirmware, 2},
                      NeverReadCase{"commit_0_of_1", Procedure::NandRewrite, CommitBootArea, 0}),
    [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(ProcedureFixture, ACleanRewriteHasTheTransferCountTheCommitCaseReliesOn) {
  EXPECT_TRUE(RunProcedure(Procedure::NandRewrite));
  EXPECT_EQ(model.transfers, kNandRewriteTransfers);
}

}  // namespace
}  // namespace k24::test
