// The update history: the record each run that reached the recorder leaves,
// read back from an in-memory store after whole dialogues against the
// recorder model; its formatting; and --history.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "dialogue_fixture.h"
#include "history/update_history.h"
#include "testing/request_names.h"

namespace k24::test {
namespace {

class HistoryTest : public DialogueFixture {
 public:
  // For the cases' set-up functions.
  using DialogueFixture::console;
  using DialogueFixture::history;
  using DialogueFixture::images;
  using DialogueFixture::lock;
  using DialogueFixture::model;
  using DialogueFixture::ports;
  using DialogueFixture::Run;

 protected:
  HistoryTest() {
    emulator::InstallFirmware(model, 0x0102, "K24A1");
    emulator::SetSerialNumber(model, "ABCDE12345");
    wallClock.stepSeconds = 65;  // the record is closed 65 s after it was opened
  }

  // The run's last record: how it ended. Any before it are the unfinished
  // records the run appended as it began to write.
  std::string Record() const {
    EXPECT_FALSE(history.records.empty()) << history.text;
    for (std::size_t i = 0; i + 1 < history.records.size(); ++i) {
      EXPECT_NE(history.records[i].find("\noutcome: unfinished\n"), std::string::npos) << history.records[i];
    }
    return history.records.empty() ? std::string() : history.records.back();
  }

  // The record from its first step (or, with no step, from boot-loader-after)
  // to its end: what the run did and left, without the lines every record has.
  std::string Tail() const {
    const std::string record = Record();
    std::size_t from = record.find("\nstep: ");
    if (from == std::string::npos) from = record.find("\nboot-loader-after: ");
    return from == std::string::npos ? record : record.substr(from + 1);
  }

  // The lines every record begins with; `ended` is its second line.
  std::string Head(const char* bootLoaderBefore, const char* firmwareBefore,
                   const std::string& ended = "ended: 2026-12-10T10:54:25Z") const {
    return std::string("run: 2026-12-10T10:53:20Z\n") + ended + "\n" +
           "program: k24update " + K24_EXPECTED_VERSION + "\n" + "sample-images: yes\n" +
           "image-sha256-fwc: " + Sha256Hex(imageDigests.firmware) + "\n" +
           "image-sha256-brc: " + Sha256Hex(imageDigests.nandReplacer) + "\n" +
           "image-sha256-brc20: " + Sha256Hex(imageDigests.flashReplacer) + "\n" +
           "diagnostic-mode: no\n" + "serial-number: ABCDE12345\n" + "boot-loader-before: " + bootLoaderBefore +
           "\n" + "firmware-before: " + firmwareBefore + "\n" + "firmware-offered: 2.0\n" +
           "boot-loader-carried: 1.2\n";
  }
};

// The flash path's three records: one as each procedure begins to write
// (the clock is read for each), then the finished one.
TEST_F(HistoryTest, FlashPathUpdateWholeRecords) {
  model.bootLoaderVersion = 0x0100;
  Type({'Y', 'L', 'Y', ' '});
  EXPECT_EQ(Run(), 0);
  ASSERT_EQ(history.records.size(), 3u) << history.text;
  EXPECT_EQ(history.records[0], Head("1.0", "1.2", "writing-began: 2026-12-10T10:54:25Z") +
                                    "step: identity-check: K24A1 accepted\n"
                                    "writing: boot-loader-upgrade\n"
                                    "boot-loader-after: unknown\n"
                                    "firmware-after: unknown\n"
                                    "outcome: unfinished\n"
                                    "\n");
  EXPECT_EQ(history.records[1], Head("1.0", "1.2", "writing-began: 2026-12-10T10:55:30Z") +
                                    "step: identity-check: K24A1 accepted\n"
                                    "step: boot-loader-prepare: ok\n"
                                    "step: boot-loader-program-replacer: ok\n"
                                    "step: boot-loader-restart: ok\n"
                                    "writing: firmware-replacement\n"
                                    "boot-loader-after: 1.2\n"
                                    "firmware-after: unknown\n"
                                    "outcome: unfinished\n"
                                    "\n");
  EXPECT_EQ(Record(), Head("1.0", "1.2", "ended: 2026-12-10T10:56:35Z") +
                          "step: identity-check: K24A1 accepted\n"
                          "step: boot-loader-prepare: ok\n"
                          "step: boot-loader-program-replacer: ok\n"
                          "step: boot-loader-restart: ok\n"
                          "step: firmware-write: ok\n"
                          "step: firmware-start: ok\n"
                          "step: serial-number-write: sent ABCDEW12345 (result not examined: ok)\n"
                          "step: firmware-restart: sent\n"
                          "boot-loader-after: 1.2\n"
                          "firmware-after: 2.0\n"
                          "outcome: updated\n"
                          "\n");
  EXPECT_EQ(history.text, history.records[0] + history.records[1] + Record())
      << "the store holds the records as they were formatted";
}

TEST_F(HistoryTest, NandPathUpdate) {
  model.bootLoaderVersion = 0x00FF;
  Type({'Y', 'L', 'Y', ' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Tail(),
            "step: identity-check: K24A1 accepted\n"
            "step: boot-loader-nand-rewrite: ok\n"
            "step: boot-loader-restart: ok\n"
            "step: firmware-write: ok\n"
            "step: firmware-start: ok\n"
            "step: serial-number-write: sent ABCDEW12345 (result not examined: ok)\n"
            "step: firmware-restart: sent\n"
            "boot-loader-after: 1.2\n"
            "firmware-after: 2.0\n"
            "outcome: updated\n"
            "\n");
}

// A failure: the step, the reason, the request and what came back, and what
// the run left ("unknown" from the moment a write began that did not end well).
struct FailureCase {
  const char* name;
  VersionWord bootLoader;
  void (*breakRecorder)(emulator::RecorderModel&);
  std::string tail;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class FailureRecordTest : public HistoryTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureRecordTest, SaysWhereAndWhy) {
  model.bootLoaderVersion = GetParam().bootLoader;
  GetParam().breakRecorder(model);
  Type({'Y', 'L', 'Y', ' '});
  console.keys.resize(GetParam().bootLoader < 0x0102 ? 4 : 3);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Tail(), GetParam().tail) << console.output;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailureRecordTest,
    ::testing::Values(
        FailureCase{"finish_firmware_refused", 0x0102,
                    [](emulator::RecorderModel& m) {
                      m.requestFaults = {{FinishFirmware, 1, emulator::ControlFault::Stall, 0}};
                    },
                    "step: identity-check: K24A1 accepted\n"
                    "step: firmware-write: failed: request-failed\n"
                    "failed-step: firmware-write\n"
                    "failure: request-failed\n"
                    "failed-request: 0x26 FinishFirmware, in, value 0x0000, index 0x0000, length 4\n"
                    "request-result: driver failure\n"
                    "boot-loader-after: 1.2\n"
                    "firmware-after: unknown\n"
                    "outcome: firmware-replacement-failed\n\n"},
        // Requests 7 to 10 erase the first page and write three chunks; the
        // recorder answers nothing from the fourth chunk on.
        FailureCase{"firmware_write_unanswered", 0x0102,
                    [](emulator::RecorderModel& m) { m.stopAnsweringAfterRequest = 10; },
                    "step: identity-check: K24A1 accepted\n"
                    "step: firmware-write: failed: request-failed\n"
                    "failed-step: firmware-write\n"
                    "failure: request-failed\n"
                    "failed-request: 0x21 WriteFlash, out, value 0x00C0, index 0x0000, length 64\n"
                    "request-result: no answer within the driver's time limit\n"
                    "boot-loader-after: 1.2\n"
                    "firmware-after: unknown\n"
                    "outcome: firmware-replacement-failed\n\n"},
        // Request 74 asks to read back page 3 (4 queries, the block read, the
        // erase and its status, 64 page writes, pages 1 and 2 read back).
        FailureCase{"nand_read_back_unanswered", 0x00FF,
                    [](emulator::RecorderModel& m) { m.stopAnsweringAfterRequest = 73; },
                    "step: identity-check: K24A1 accepted\n"
                    "step: boot-loader-nand-rewrite: failed: nand-read-back-no-answer\n"
                    "failed-step: boot-loader-nand-rewrite\n"
                    "failure: nand-read-back-no-answer\n"
                    "failed-request: 0xE0 NandReadPages, out, value 0x0000, index 0x0000, length 19\n"
                    "request-result: no answer within the driver's time limit\n"
                    "nand-page: 3\n"
                    "boot-loader-after: unknown\n"
                    "firmware-after: 1.2\n"
                    "outcome: boot-loader-upgrade-failed\n\n"},
        // Every request of the programming is sent; the first failure is the one named.
        FailureCase{"firmware_writes_refused", 0x0102,
                    [](emulator::RecorderModel& m) {
                      m.requestFaults = {{WriteFlash, 10, emulator::ControlFault::Stall, 0},
                                         {WriteFlash, 12, emulator::ControlFault::Stall, 0}};
                    },
                    "step: identity-check: K24A1 accepted\n"
                    "step: firmware-write: failed: request-failed\n"
                    "failed-step: firmware-write\n"
                    "failure: request-failed\n"
                    "failed-request: 0x21 WriteFlash, out, value 0x0240, index 0x0000, length 64\n"
                    "request-result: driver failure\n"
                    "failed-requests: 2\n"
                    "boot-loader-after: 1.2\n"
                    "firmware-after: unknown\n"
                    "outcome: firmware-replacement-failed\n\n"},
        FailureCase{"replacer_erase_refused", 0x0100,
                    [](emulator::RecorderModel& m) {
                      m.requestFaults = {{ErasePage, 3, emulator::ControlFault::Stall, 0}};
                    },
                    "step: identity-check: K24A1 accepted\n"
                    "step: boot-loader-prepare: ok\n"
                    "step: boot-loader-program-replacer: failed: request-failed\n"
                    "failed-step: boot-loader-program-replacer\n"
                    "failure: request-failed\n"
                    "failed-request: 0x22 ErasePage, in, value 0x0200, index 0x0000, length 2\n"
                    "request-result: driver failure\n"
                    "boot-loader-after: 1.0\n"
                    "firmware-after: unknown\n"
                    "outcome: boot-loader-upgrade-failed\n\n"},
        FailureCase{"lost_after_the_replacer", 0x0100,
                    [](emulator::RecorderModel& m) { m.neverReturnFromRestart = 2; },
                    "step: identity-check: K24A1 accepted\n"
                    "step: boot-loader-prepare: ok\n"
                    "step: boot-loader-program-replacer: ok\n"
                    "step: boot-loader-restart: failed: recorder-did-not-return\n"
                    "failed-step: boot-loader-restart\n"
                    "failure: recorder-did-not-return\n"
                    "boot-loader-after: unknown\n"
                    "firmware-after: unknown\n"
                    "outcome: boot-loader-upgrade-failed\n\n"},
        FailureCase{"lost_before_the_firmware", 0x0100,
                    [](emulator::RecorderModel& m) { m.neverReturnFromRestart = 3; },
                    "step: identity-check: K24A1 accepted\n"
                    "step: boot-loader-prepare: ok\n"
                    "step: boot-loader-program-replacer: ok\n"
                    "step: boot-loader-restart: ok\n"
                    "step: firmware-write: failed: recorder-did-not-return\n"
                    "failed-step: firmware-write\n"
                    "failure: recorder-did-not-return\n"
                    "boot-loader-after: 1.2\n"
                    "firmware-after: unknown\n"
                    "outcome: firmware-replacement-failed\n\n"},
        // Block 0 could not be read whole: nothing was written.
        FailureCase{"nand_block_read_short", 0x00FF,
                    [](emulator::RecorderModel& m) {
                      m.bulkFault = emulator::BulkFault::Fail;
                      m.bulkFaultTransfer = 2;
                    },
                    "step: identity-check: K24A1 accepted\n"
                    "step: boot-loader-nand-rewrite: failed: nand-block-read-short\n"
                    "failed-step: boot-loader-nand-rewrite\n"
                    "failure: nand-block-read-short\n"
                    "bulk-bytes: 16384 of 135168\n"
                    "boot-loader-after: 0.255\n"
                    "firmware-after: 1.2\n"
                    "outcome: boot-loader-upgrade-failed\n\n"},
        FailureCase{"nand_read_back_differs", 0x00FF,
                    [](emulator::RecorderModel& m) {
                      m.corruptNandOffset = 2112 + 0x1234;
                      m.nandStatusReply = 0x01;
                    },
                    "step: identity-check: K24A1 accepted\n"
                    "step: boot-loader-nand-rewrite: failed: nand-read-back-mismatch\n"
                    "failed-step: boot-loader-nand-rewrite\n"
                    "failure: nand-read-back-mismatch\n"
                    "read-back-mismatch-offset: 0x1234\n"
                    "nand-erase-status: 0x01\n"
                    "boot-loader-after: unknown\n"
                    "firmware-after: 1.2\n"
                    "outcome: boot-loader-upgrade-failed\n\n"},
        FailureCase{"nand_commit_refused", 0x00FF,
                    [](emulator::RecorderModel& m) { m.commitBootAreaReply = 0; },
                    "step: identity-check: K24A1 accepted\n"
                    "step: boot-loader-nand-rewrite: failed: boot-area-commit-refused\n"
                    "failed-step: boot-loader-nand-rewrite\n"
                    "failure: boot-area-commit-refused\n"
                    "failed-request: 0xC5 CommitBootArea, in, value 0x0000, index 0x0000, length 1\n"
                    "request-result: ok\n"
                    "commit-reply: 0x00\n"
                    "boot-loader-after: unknown\n"
                    "firmware-after: 1.2\n"
                    "outcome: boot-loader-upgrade-failed\n\n"},
        FailureCase{"nand_page_write_refused", 0x00FF,
                    [](emulator::RecorderModel& m) {
                      m.requestFaults = {{NandWritePages, 9, emulator::ControlFault::Stall, 0}};
                    },
                    "step: identity-check: K24A1 accepted\n"
                    "step: boot-loader-nand-rewrite: failed: nand-page-not-written\n"
                    "failed-step: boot-loader-nand-rewrite\n"
                    "failure: nand-page-not-written\n"
                    "failed-request: 0xE1 NandWritePages, out, value 0x0000, index 0x0000, length 19\n"
                    "request-result: driver failure\n"
                    "nand-page: 8\n"
                    "bulk-bytes: 0 of 2112\n"
                    "boot-loader-after: unknown\n"
                    "firmware-after: 1.2\n"
                    "outcome: boot-loader-upgrade-failed\n\n"}),
    [](const auto& instance) { return std::string(instance.param.name); });

// Runs that ended before anything was written: how they ended, and the
// recorder left as it was.
struct EndCase {
  const char* name;
  VersionWord bootLoader;
  void (*setUp)(HistoryTest&);
  std::vector<std::uint16_t> keys;
  std::string tail;
};

void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }

class RunEndTest : public HistoryTest, public ::testing::WithParamInterface<EndCase> {
 public:
  static void Nothing(HistoryTest&) {}
};

TEST_P(RunEndTest, IsRecordedWithTheRecorderAsItWas) {
  model.bootLoaderVersion = GetParam().bootLoader;
  GetParam().setUp(*this);
  console.keys.assign(GetParam().keys.begin(), GetParam().keys.end());
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Tail(), GetParam().tail);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, RunEndTest,
    ::testing::Values(
        EndCase{"declined_at_the_offer", 0x0100, RunEndTest::Nothing, {'n'},
                "boot-loader-after: 1.0\nfirmware-after: 1.2\noutcome: declined-at-offer\n\n"},
        EndCase{"declined_at_the_warning", 0x0100, RunEndTest::Nothing, {'Y', 0x1B},
                "boot-loader-after: 1.0\nfirmware-after: 1.2\noutcome: declined-at-warning\n\n"},
        EndCase{"declined_at_the_boot_loader_prompt", 0x0100, RunEndTest::Nothing, {'Y', 'L', 'N'},
                "step: identity-check: K24A1 accepted\n"
                "boot-loader-after: 1.0\nfirmware-after: 1.2\noutcome: declined-at-boot-loader-prompt\n\n"},
        EndCase{"another_model", 0x0102,
                [](HistoryTest& f) {
                  emulator::SetIdentity(f.model, std::vector<std::uint8_t>{'K', '2', '4', 'B', 0xFF});
                },
                {'Y', 'L', ' '},
                "step: identity-check: K24B\\xFF refused\n"
                "boot-loader-after: 1.2\nfirmware-after: 1.2\noutcome: not-compatible\n\n"},
        EndCase{"sample_images_for_a_real_recorder", 0x0100,
                [](HistoryTest& f) { f.ports.sampleImagesOnly = true; }, {'Y', 'L', ' '},
                "boot-loader-after: 1.0\nfirmware-after: 1.2\noutcome: sample-images-not-loaded\n\n"},
        EndCase{"boot_loader_image_damaged", 0x0100,
                [](HistoryTest& f) { emulator::FlipBit(f.images, "BRC20", 0x100, 1); }, {'Y', 'L', ' '},
                "step: identity-check: K24A1 accepted\n"
                "boot-loader-after: 1.0\nfirmware-after: 1.2\noutcome: boot-loader-image-damaged\n\n"}),
    [](const auto& instance) { return std::string(instance.param.name); });

// Ended before the serial number was read, or the offer known.
TEST_F(HistoryTest, NoBootLoaderAndDamagedFirmwareImageAreRecordedWithWhatWasKnown) {
  model.bootLoaderAnswersVersion = false;
  model.firmwareAnswersVersion = false;
  Type({' '});
  Run();
  EXPECT_NE(Record().find("serial-number: (not read)\nboot-loader-before: unavailable\nfirmware-before: "
                          "unavailable\nfirmware-offered: unknown\nboot-loader-carried: unknown\n"),
            std::string::npos)
      << Record();
  EXPECT_EQ(Tail(), "boot-loader-after: unavailable\nfirmware-after: unavailable\noutcome: no-boot-loader\n\n");

  history.records.clear();
  model.bootLoaderAnswersVersion = model.firmwareAnswersVersion = true;
  emulator::FlipBit(images, "FWC", 0x2000, 0);
  Type({' '});
  Run();
  EXPECT_NE(Record().find("firmware-offered: unknown\n"), std::string::npos) << Record();
  EXPECT_EQ(Tail(), "boot-loader-after: 1.0\nfirmware-after: 1.2\noutcome: firmware-image-damaged\n\n");
}

TEST_F(HistoryTest, DiagnosticModeAndAnUnreadSerialNumberAreSaid) {
  model.bootLoaderVersion = 0x0102;
  model.requestFaults = {{GetSerialNumber, 0, emulator::ControlFault::ShortReply, 1}};
  Type({'Y', 'L', ' '});
  Run(DialogueOptions{true, std::nullopt});
  EXPECT_NE(Record().find("diagnostic-mode: yes\nserial-number: (not read)\n"), std::string::npos) << Record();
  EXPECT_NE(Record().find("step: serial-number-write: not sent: the serial number was not read\n"), std::string::npos)
      << Record();
}

struct NoRecordCase {
  const char* name;
  void (*setUp)(HistoryTest&);
  std::vector<std::uint16_t> keys;
};

void PrintTo(const NoRecordCase& c, std::ostream* out) { *out << c.name; }

class NoRecordTest : public HistoryTest, public ::testing::WithParamInterface<NoRecordCase> {};

// Only a run that reached the recorder (found it and read its versions) is
// recorded.
TEST_P(NoRecordTest, WithoutReachingTheRecorder) {
  GetParam().setUp(*this);
  console.keys.assign(GetParam().keys.begin(), GetParam().keys.end());
  Run();
  EXPECT_TRUE(history.records.empty()) << history.text;
  EXPECT_EQ(console.errors, "");
}

INSTANTIATE_TEST_SUITE_P(
    Ends, NoRecordTest,
    ::testing::Values(NoRecordCase{"lock_held",
                                   [](HistoryTest& f) { f.lock.outcome = LockOutcome::HeldElsewhere; }, {' '}},
                      NoRecordCase{"esc_while_not_connected",
                                   [](HistoryTest& f) { f.model.onBus = false; },
                                   {kKeyEsc}}),
    [](const auto& instance) { return std::string(instance.param.name); });

// A history that cannot be written: one line on standard error, and the
// dialogue's output and exit code exactly as they are with a history.
struct UnwritableCase {
  const char* name;
  VersionWord bootLoader;
  std::vector<std::uint16_t> keys;
};

void PrintTo(const UnwritableCase& c, std::ostream* out) { *out << c.name; }

class UnwritableHistoryTest : public ::testing::TestWithParam<UnwritableCase> {
 protected:
  struct Outcome {
    int exitCode;
    std::string output;
    std::string errors;
  };
  static Outcome RunWith(bool writable) {
    struct Fixture : HistoryTest {
      void TestBody() override {}
    } run;
    run.model.bootLoaderVersion = GetParam().bootLoader;
    run.console.keys.assign(GetParam().keys.begin(), GetParam().keys.end());
    run.history.location = "/home/op/.local/state/k24update/history.log";
    if (!writable) run.history.failWith = "Permission denied";
    const int exitCode = run.Run();
    return {exitCode, run.console.output, run.console.errors};
  }
};

TEST_P(UnwritableHistoryTest, CostsOneLineOnStandardErrorAndNothingElse) {
  const Outcome recorded = RunWith(true);
  const Outcome unrecorded = RunWith(false);
  EXPECT_EQ(recorded.errors, "");
  EXPECT_EQ(unrecorded.errors,
            "k24update: could not write the update history /home/op/.local/state/k24update/history.log: "
            "Permission denied\n");
  EXPECT_EQ(unrecorded.output, recorded.output);
  EXPECT_EQ(unrecorded.exitCode, recorded.exitCode);
}

INSTANTIATE_TEST_SUITE_P(Runs, UnwritableHistoryTest,
                         ::testing::Values(UnwritableCase{"updated", 0x0100, {'Y', 'L', 'Y', ' '}},
                                           UnwritableCase{"declined", 0x0100, {'n'}},
                                           UnwritableCase{"no_boot_loader", 0x0000, {' '}}),
                         [](const auto& instance) { return std::string(instance.param.name); });

// The record of a procedure's outcome is appended inside its critical
// section, right after "OK" or "Failed": a Ctrl+C held during the procedure
// ends the program as that section ends, and the record is there by then.
class WatchedStore final : public HistoryStore {
 public:
  WatchedStore(emulator::ScriptedConsole& console, const emulator::RecorderModel& model)
      : console_(console), model_(model) {}
  HistoryWrite Append(std::string_view record) override {
    sectionsOpen = console_.inCriticalSection;
    outputSoFar = console_.output;
    appended = record;
    Seen seen{std::string(record), sectionsOpen, outputSoFar, {}};
    for (const emulator::LoggedTransfer& each : model_.log) seen.requestsSoFar.push_back(each.request);
    appends.push_back(seen);
    return {true, "watched", ""};
  }
  HistoryRead Read(const HistorySink&) override { return {}; }
  HistoryRead ReadTail(std::size_t, std::string&) override { return {}; }
  // The last append.
  int sectionsOpen = -1;
  std::string outputSoFar;
  std::string appended;
  // Every append, and what had happened by then.
  struct Seen {
    std::string record;
    int sectionsOpen;
    std::string outputSoFar;
    std::vector<std::uint8_t> requestsSoFar;  // the recorder's requests, by code
  };
  std::vector<Seen> appends;

 private:
  emulator::ScriptedConsole& console_;
  const emulator::RecorderModel& model_;
};

struct SectionCase {
  const char* name;
  VersionWord bootLoader;
  void (*breakRecorder)(emulator::RecorderModel&);
  std::vector<std::uint16_t> keys;
  const char* outputEnd;  // the output when the record was appended ends with this
  int sectionsOpen;       // the procedure's section and the record's own
};

void PrintTo(const SectionCase& c, std::ostream* out) { *out << c.name; }

class RecordInSectionTest : public HistoryTest, public ::testing::WithParamInterface<SectionCase> {};

TEST_P(RecordInSectionTest, AppendedBeforeTheSectionEnds) {
  WatchedStore store(console, model);
  ports.history = &store;
  model.bootLoaderVersion = GetParam().bootLoader;
  GetParam().breakRecorder(model);
  console.keys.assign(GetParam().keys.begin(), GetParam().keys.end());
  Run();
  EXPECT_EQ(store.sectionsOpen, GetParam().sectionsOpen);
  const std::string end = GetParam().outputEnd;
  ASSERT_GE(store.outputSoFar.size(), end.size());
  EXPECT_EQ(store.outputSoFar.substr(store.outputSoFar.size() - end.size()), end);
  EXPECT_EQ(console.inCriticalSection, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Procedures, RecordInSectionTest,
    ::testing::Values(
        SectionCase{"updated", 0x0102, [](emulator::RecorderModel&) {}, {'Y', 'L', ' '},
                    "Replacing firmware...OK\n", 2},
        SectionCase{"firmware_failed", 0x0102, [](emulator::RecorderModel& m) { m.failRequestCodes = {WriteFlash}; },
                    {'Y', 'L', ' '}, "Replacing firmware...Failed\n", 2},
        SectionCase{"boot_loader_failed", 0x0100,
                    [](emulator::RecorderModel& m) { m.failRequestCodes = {WriteFlash}; }, {'Y', 'L', 'Y', ' '},
                    "Replacing Boot Loader...Failed\n", 2},
        // Outside a procedure the record opens a section of its own.
        SectionCase{"declined", 0x0100, [](emulator::RecorderModel&) {}, {'Y', 'L', 'n'},
                    "Press 'Y' to upgrade Boot Loader 1.0 to version 1.2 or other key to exit.\n", 1}),
    [](const auto& instance) { return std::string(instance.param.name); });

std::string EndOf(const std::string& text, std::size_t length) {
  return text.size() < length ? text : text.substr(text.size() - length);
}

// Each procedure is on record, as unfinished, before its first write: a run
// ended while it writes (killed, the power lost) leaves a record that says
// so. Appended inside the procedure's section, before "Replacing ...".
struct BegunCase {
  const char* name;
  VersionWord bootLoader;
  std::vector<std::uint16_t> keys;
  std::vector<std::string> writing;       // each unfinished record's "writing:", in order
  std::vector<std::string> outputBefore;  // the output ends with this when it is appended
};

void PrintTo(const BegunCase& c, std::ostream* out) { *out << c.name; }

class BegunRecordTest : public HistoryTest, public ::testing::WithParamInterface<BegunCase> {};

TEST_P(BegunRecordTest, PrecedesEachProcedure) {
  WatchedStore store(console, model);
  ports.history = &store;
  model.bootLoaderVersion = GetParam().bootLoader;
  console.keys.assign(GetParam().keys.begin(), GetParam().keys.end());
  Run();
  ASSERT_EQ(store.appends.size(), GetParam().writing.size() + 1);
  for (std::size_t i = 0; i < GetParam().writing.size(); ++i) {
    SCOPED_TRACE(GetParam().writing[i]);
    const WatchedStore::Seen& begun = store.appends[i];
    EXPECT_NE(begun.record.find("\nwriting: " + GetParam().writing[i] + "\n"), std::string::npos) << begun.record;
    EXPECT_NE(begun.record.find("\noutcome: unfinished\n\n"), std::string::npos) << begun.record;
    EXPECT_EQ(begun.sectionsOpen, 2) << "the procedure's section and the record's own";
    EXPECT_EQ(EndOf(begun.outputSoFar, GetParam().outputBefore[i].size()), GetParam().outputBefore[i]);
  }
  // Before the first one nothing but the queries reached the recorder.
  for (const std::uint8_t code : store.appends.front().requestsSoFar) {
    EXPECT_TRUE(code == GetFirmwareVersion || code == GetBootLoaderVersion || code == GetSerialNumber ||
                code == ReadFlash)
        << "request 0x" << std::hex << int{code} << " before the first record of the writing";
  }
  EXPECT_NE(store.appends.back().record.find("\noutcome: updated\n\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, BegunRecordTest,
    ::testing::Values(
        BegunCase{"flash_path", 0x0100, {'Y', 'L', 'Y', ' '}, {"boot-loader-upgrade", "firmware-replacement"},
                  {" to version 1.2 or other key to exit.\n", "Replacing Boot Loader...OK\n"}},
        BegunCase{"nand_path", 0x00FF, {'Y', 'L', 'Y', ' '}, {"boot-loader-upgrade", "firmware-replacement"},
                  {" to version 1.2 or other key to exit.\n", "Replacing Boot Loader...OK\n"}},
        BegunCase{"no_upgrade", 0x0102, {'Y', 'L', ' '}, {"firmware-replacement"},
                  {"Press 'L' to confirm load or other key to exit.\n"}}),
    [](const auto& instance) { return std::string(instance.param.name); });

// A signal held during a procedure ends the program as its section ends; by
// then the run's record is closed and names it. After a boot loader upgrade
// that ended well the firmware is never written: the outcome says so.
struct HeldSignalCase {
  const char* name;
  VersionWord bootLoader;
  std::vector<std::uint16_t> keys;
  int section;  // the outermost critical section, from 1, in which the signal comes
  const char* signal;
  std::string tail;  // the last record, from its first step
};

void PrintTo(const HeldSignalCase& c, std::ostream* out) { *out << c.name; }

class HeldSignalRecordTest : public HistoryTest, public ::testing::WithParamInterface<HeldSignalCase> {};

TEST_P(HeldSignalRecordTest, IsClosedBeforeTheSignalActs) {
  model.bootLoaderVersion = GetParam().bootLoader;
  console.keys.assign(GetParam().keys.begin(), GetParam().keys.end());
  console.signalInSection = GetParam().section;
  console.signalName = GetParam().signal;
  std::vector<std::string> recordsWhenItActs;
  std::string outputWhenItActs;
  console.onSignalActs = [&] {
    recordsWhenItActs = history.records;
    outputWhenItActs = console.output;
  };
  Run();
  ASSERT_TRUE(console.signalActed);
  ASSERT_FALSE(recordsWhenItActs.empty());
  const std::string& last = recordsWhenItActs.back();
  EXPECT_EQ(last.substr(last.find("\nstep: ") + 1), GetParam().tail) << outputWhenItActs;
  EXPECT_EQ(recordsWhenItActs.size(), 2u) << "the procedure's unfinished record, then the closed one";
}

INSTANTIATE_TEST_SUITE_P(
    Sections, HeldSignalRecordTest,
    ::testing::Values(
        HeldSignalCase{"flash_boot_loader_upgrade", 0x0100, {'Y', 'L', 'Y', ' '}, 1, "SIGINT",
                       "step: identity-check: K24A1 accepted\n"
                       "step: boot-loader-prepare: ok\n"
                       "step: boot-loader-program-replacer: ok\n"
                       "step: boot-loader-restart: ok\n"
                       "boot-loader-after: 1.2\n"
                       "firmware-after: unknown\n"
                       "signal: SIGINT\n"
                       "outcome: ended-by-signal-after-boot-loader-upgrade\n\n"},
        HeldSignalCase{"nand_boot_loader_upgrade", 0x00FF, {'Y', 'L', 'Y', ' '}, 1, "SIGQUIT",
                       "step: identity-check: K24A1 accepted\n"
                       "step: boot-loader-nand-rewrite: ok\n"
                       "step: boot-loader-restart: ok\n"
                       "boot-loader-after: 1.2\n"
                       "firmware-after: 1.2\n"
                       "signal: SIGQUIT\n"
                       "outcome: ended-by-signal-after-boot-loader-upgrade\n\n"},
        HeldSignalCase{"firmware_replacement", 0x0102, {'Y', 'L', ' '}, 1, "SIGTERM",
                       "step: identity-check: K24A1 accepted\n"
                       "step: firmware-write: ok\n"
                       "step: firmware-start: ok\n"
                       "step: serial-number-write: sent ABCDEW12345 (result not examined: ok)\n"
                       "step: firmware-restart: sent\n"
                       "boot-loader-after: 1.2\n"
                       "firmware-after: 2.0\n"
                       "signal: SIGTERM\n"
                       "outcome: updated\n\n"}),
    [](const auto& instance) { return std::string(instance.param.name); });

// The next run says so when the history's last run that began writing never
// finished: one line on standard error, under the lock, before the recorder
// is looked for. What came before in the history, and whether it is said.
struct UnfinishedCase {
  const char* name;
  std::string before;
  bool told;
};

void PrintTo(const UnfinishedCase& c, std::ostream* out) { *out << c.name; }

class UnfinishedRunTest : public HistoryTest, public ::testing::WithParamInterface<UnfinishedCase> {};

const std::string kBegunRecord =
    "run: 2026-12-09T08:00:00Z\nserial-number: ZYXWV98765\nwriting: firmware-replacement\noutcome: unfinished\n\n";
const std::string kItsEnd = "run: 2026-12-09T08:00:00Z\nserial-number: ZYXWV98765\noutcome: updated\n\n";
const std::string kLaterRunThatWroteNothing =
    "run: 2026-12-09T09:00:00Z\nserial-number: ZYXWV98765\noutcome: declined-at-offer\n\n";

TEST_P(UnfinishedRunTest, IsToldByTheNextRun) {
  history.location = "/home/op/.local/state/k24update/history.log";
  history.Append(GetParam().before);
  Type({'n'});
  Run();
  EXPECT_EQ(console.errors,
            GetParam().told ? "k24update: an earlier run (run: 2026-12-09T08:00:00Z, serial number ZYXWV98765) ended "
                              "while it was writing to a recorder; its record is in "
                              "/home/op/.local/state/k24update/history.log (k24update --history), and \"An "
                              "interrupted update\" in the README says what to do\n"
                            : "");
  EXPECT_EQ(console.output.rfind(kBanner, 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Histories, UnfinishedRunTest,
    ::testing::Values(UnfinishedCase{"begun_and_never_ended", kBegunRecord, true},
                      UnfinishedCase{"begun_and_ended", kBegunRecord + kItsEnd, false},
                      UnfinishedCase{"begun_then_a_later_run_that_wrote_nothing",
                                     kBegunRecord + kLaterRunThatWroteNothing, true},
                      UnfinishedCase{"begun_twice_and_ended", kBegunRecord + kBegunRecord + kItsEnd, false},
                      UnfinishedCase{"begun_twice_and_never_ended", kBegunRecord + kBegunRecord, true},
                      UnfinishedCase{"only_a_run_that_wrote_nothing", kLaterRunThatWroteNothing, false}),
    [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(HistoryTest, EachRunAppendsOneRecordAfterTheOthers) {
  model.bootLoaderVersion = 0x0102;
  Type({'n'});
  Run();
  Type({'Y', 'L', ' '});
  Run();
  ASSERT_EQ(history.records.size(), 3u);
  EXPECT_NE(history.records[0].find("outcome: declined-at-offer\n\n"), std::string::npos);
  EXPECT_NE(history.records[1].find("outcome: unfinished\n\n"), std::string::npos);
  EXPECT_NE(history.records[2].find("outcome: updated\n\n"), std::string::npos);
  EXPECT_EQ(history.text, history.records[0] + history.records[1] + history.records[2]);
}

// The lines that say why a step failed, for each reason.
struct FailureLinesCase {
  const char* name;
  StepResult result;
  std::string lines;  // after "failed-step: write"
};

void PrintTo(const FailureLinesCase& c, std::ostream* out) { *out << c.name; }

class FailureLinesTest : public ::testing::TestWithParam<FailureLinesCase> {};

SentRequest Request(std::uint8_t code, std::uint8_t direction, std::uint16_t value, std::uint16_t length,
                    LinkStatus status, std::uint32_t transferred = 0) {
  SentRequest request;
  request.code = code;
  request.direction = direction;
  request.value = value;
  request.length = length;
  request.status = status;
  request.transferred = transferred;
  return request;
}

TEST_P(FailureLinesTest, FollowTheFailedStep) {
  UpdateRecord record;
  record.steps.push_back({"write", GetParam().result, {}});
  const std::string text = FormatUpdateRecord(record);
  const std::size_t from = text.find("failed-step: write\n");
  const std::size_t to = text.find("boot-loader-after: ");
  ASSERT_NE(from, std::string::npos) << text;
  EXPECT_EQ(text.substr(from, to - from), "failed-step: write\n" + GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, FailureLinesTest,
    ::testing::Values(
        FailureLinesCase{"request_no_recorder",
                         {.failure = StepFailure::RequestFailed,
                          .request = Request(0x22, kDirectionIn, 0x0000, 2, LinkStatus::NoRecorder),
                          .failedRequests = 189},
                         "failure: request-failed\n"
                         "failed-request: 0x22 ErasePage, in, value 0x0000, index 0x0000, length 2\n"
                         "request-result: no recorder found, nothing sent\n"
                         "failed-requests: 189\n"},
        FailureLinesCase{"request_of_an_unknown_code",
                         {.failure = StepFailure::RequestFailed,
                          .request = Request(0x99, kDirectionOut, 0xABCD, 3, LinkStatus::Failed),
                          .failedRequests = 1},
                         "failure: request-failed\n"
                         "failed-request: 0x99 (unknown), out, value 0xABCD, index 0x0000, length 3\n"
                         "request-result: driver failure\n"},
        FailureLinesCase{"did_not_leave", {.failure = StepFailure::RecorderDidNotLeave},
                         "failure: recorder-did-not-leave\n"},
        FailureLinesCase{"image_too_short", {.failure = StepFailure::ImageTooShort}, "failure: image-too-short\n"},
        FailureLinesCase{"page_bytes_short",
                         {.failure = StepFailure::PageNotWritten, .bytesMoved = 1056, .bytesExpected = 2112, .page = 63},
                         "failure: nand-page-not-written\nnand-page: 63\nbulk-bytes: 1056 of 2112\n"},
        FailureLinesCase{"erase_not_confirmed",
                         {.failure = StepFailure::EraseNotConfirmed,
                          .request = Request(0xD2, kDirectionIn, 0, 1, LinkStatus::Ok, 1),
                          .nandEraseStatus = std::uint8_t{0xC0}},
                         "failure: nand-erase-not-confirmed\n"
                         "failed-request: 0xD2 NandStatus, in, value 0x0000, index 0x0000, length 1\n"
                         "request-result: ok\n"
                         "nand-erase-status: 0xC0\n"}),
    [](const auto& instance) { return std::string(instance.param.name); });

struct TimeCase {
  std::int64_t seconds;
  const char* text;
};

class Iso8601Test : public ::testing::TestWithParam<TimeCase> {};

TEST_P(Iso8601Test, IsUtc) { EXPECT_EQ(Iso8601Utc(GetParam().seconds), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Times, Iso8601Test,
                         ::testing::Values(TimeCase{0, "1970-01-01T00:00:00Z"},
                                           TimeCase{-1, "1969-12-31T23:59:59Z"},
                                           TimeCase{951'782'400, "2000-02-29T00:00:00Z"},
                                           TimeCase{1'796'900'000, "2026-12-10T10:53:20Z"},
                                           TimeCase{4'107'542'399, "2100-02-28T23:59:59Z"},
                                           TimeCase{4'107'542'400, "2100-03-01T00:00:00Z"}));

struct PathCase {
  const char* name;
  const char* xdgStateHome;
  const char* home;
  std::optional<std::string> path;
};

void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }

class HistoryPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(HistoryPathTest, FollowsXdgStateHomeThenHome) {
  EXPECT_EQ(HistoryPathFromEnvironment(GetParam().xdgStateHome, GetParam().home), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Variables, HistoryPathTest,
    ::testing::Values(
        PathCase{"xdg_set", "/var/state", "/home/op", "/var/state/k24update/history.log"},
        PathCase{"xdg_with_a_trailing_slash", "/var/state/", "/home/op", "/var/state/k24update/history.log"},
        PathCase{"xdg_with_several_trailing_slashes", "/var/state///", "/home/op", "/var/state/k24update/history.log"},
        PathCase{"xdg_empty", "", "/home/op", "/home/op/.local/state/k24update/history.log"},
        PathCase{"xdg_relative", "state", "/home/op", "/home/op/.local/state/k24update/history.log"},
        PathCase{"xdg_unset", nullptr, "/home/op", "/home/op/.local/state/k24update/history.log"},
        PathCase{"home_relative_too", "state", "op", std::nullopt},
        PathCase{"neither_set", nullptr, nullptr, std::nullopt},
        PathCase{"xdg_set_home_unset", "/var/state", nullptr, "/var/state/k24update/history.log"}),
    [](const auto& instance) { return std::string(instance.param.name); });

struct ShowCase {
  const char* name;
  void (*setUp)(emulator::MemoryHistoryStore&);
  int exitCode;
  std::string out;
  std::string error;
  const char* outputFails = nullptr;  // standard output takes nothing, for this reason
};

void PrintTo(const ShowCase& c, std::ostream* out) { *out << c.name; }

class ShowHistoryTest : public ::testing::TestWithParam<ShowCase> {};

TEST_P(ShowHistoryTest, PrintsTheHistoryAsItIs) {
  emulator::MemoryHistoryStore store;
  store.location = "/s/k24update/history.log";
  store.pieceSize = 8;
  GetParam().setUp(store);
  std::string out;
  std::string error;
  const auto sink = [&](std::string_view piece, std::string& reason) {
    EXPECT_FALSE(piece.empty());
    if (GetParam().outputFails != nullptr) {
      reason = GetParam().outputFails;
      return false;
    }
    out += piece;
    return true;
  };
  EXPECT_EQ(ShowHistory(store, sink, error), GetParam().exitCode);
  EXPECT_EQ(out, GetParam().out);
  EXPECT_EQ(error, GetParam().error);
}

void TwoRecords(emulator::MemoryHistoryStore& s) {
  s.Append("run: a\noutcome: updated\n\n");
  s.Append("run: b\noutcome: declined-at-offer\n\n");
}

// Runs that began writing: each run is shown once, by its last record.
constexpr const char* kBegunA = "run: a\nwriting: boot-loader-upgrade\noutcome: unfinished\n\n";
constexpr const char* kBegunAAgain = "run: a\nwriting: firmware-replacement\noutcome: unfinished\n\n";
constexpr const char* kEndA = "run: a\noutcome: updated\n\n";
constexpr const char* kB = "run: b\noutcome: declined-at-offer\n\n";

INSTANTIATE_TEST_SUITE_P(
    Stores, ShowHistoryTest,
    ::testing::Values(
        ShowCase{"two_records", TwoRecords, 0, "run: a\noutcome: updated\n\nrun: b\noutcome: declined-at-offer\n\n",
                 ""},
        // As with the file: one that is there and empty is an empty history.
        ShowCase{"there_and_empty", [](emulator::MemoryHistoryStore& s) { s.exists = true; }, 0, "", ""},
        ShowCase{"none_yet", [](emulator::MemoryHistoryStore&) {}, kExitNoHistory, "",
                 "k24update: no update history yet: /s/k24update/history.log does not exist\n"},
        ShowCase{"unreadable", [](emulator::MemoryHistoryStore& s) { s.failWith = "Permission denied"; },
                 kExitNoHistory, "",
                 "k24update: could not read the update history /s/k24update/history.log: Permission denied\n"},
        ShowCase{"begun_then_ended",
                 [](emulator::MemoryHistoryStore& s) {
                   s.Append(kBegunA);
                   s.Append(kBegunAAgain);
                   s.Append(kEndA);
                   s.Append(kB);
                 },
                 0, std::string(kEndA) + kB, ""},
        // Ended while it wrote: its last record is shown as it is, with the
        // next run's after it.
        ShowCase{"begun_and_never_ended",
                 [](emulator::MemoryHistoryStore& s) {
                   s.Append(kBegunA);
                   s.Append(kBegunAAgain);
                   s.Append(kB);
                 },
                 0, std::string(kBegunAAgain) + kB, ""},
        ShowCase{"begun_and_never_ended_at_the_end",
                 [](emulator::MemoryHistoryStore& s) {
                   s.Append(kB);
                   s.Append(kBegunA);
                 },
                 0, std::string(kB) + kBegunA, ""},
        // Text that is no record of this program's goes out as it is, a cut
        // short record at the end too.
        ShowCase{"other_text",
                 [](emulator::MemoryHistoryStore& s) {
                   s.Append("\n\nnot a record\n\n");
                   s.Append(kBegunA);
                   s.Append("run: a\ncut sh");
                 },
                 0, "\n\nnot a record\n\nrun: a\ncut sh", ""},
        ShowCase{"standard_output_refuses", TwoRecords, kExitNoHistory, "",
                 "k24update: could not show the update history /s/k24update/history.log: standard output: No space "
                 "left on device\n",
                 "standard output: No space left on device"}),
    [](const auto& instance) { return std::string(instance.param.name); });

}  // namespace
}  // namespace k24::test
