#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "dialogue_fixture.h"
#include "tools/sample_images.h"
#include "testing/request_names.h"

namespace k24::test {
namespace {

std::string Report(const char* bootLoader, const char* firmware, const char* serial) {
  return std::string(kBanner) + kConnected + "Current Boot Loader version: " + bootLoader + "\n" +
         "Current firmware version: " + firmware + "\n" + "Serial number: " + serial + "\n" +
         "Press 'Y' to load firmware version 2.0 or other key to exit.\n"
         "\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n"
         "Press 'L' to confirm load or other key to exit.\n";
}

std::string UpgradePrompt(const char* from) {
  return std::string("\nIt is necessary to upgrade Boot Loader before firmware loading.\n") +
         "Press 'Y' to upgrade Boot Loader " + from + " to version 1.2 or other key to exit.\n";
}

const std::string kEnding = "Press any key to exit...\n";
const std::string kUpgradeFailed = "Failed\nPress any key to exit.\n";

// Codes of the requests a programming of 21 pages sends.
std::vector<std::uint8_t> Programming() {
  std::vector<std::uint8_t> codes;
  for (int page = 0; page < 21; ++page) {
    codes.push_back(ErasePage);
    codes.insert(codes.end(), 8, WriteFlash);
  }
  return codes;
}

std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class UpdateTest : public DialogueFixture {
 protected:
  UpdateTest() {
    emulator::InstallFirmware(model, 0x0102, "K24A1");
    emulator::SetSerialNumber(model, "ABCDE12345");
  }

  bool FlashHoldsTheFirmware() const {
    const FlashImage firmware = BuildSampleFirmwareImage();
    return std::equal(firmware.begin(), firmware.begin() + 0x2A00, model.flash.begin());
  }

  std::vector<std::uint8_t> Codes() const { return emulator::RequestCodes(model); }

  // Types the keys of a whole update: 'Y' and 'L', the upgrade's 'Y' when
  // this boot loader is older than the replacer's, and a key to end. Returns
  // whether the boot loader is upgraded.
  bool TypeAWholeUpdate(VersionWord bootLoader) {
    const bool upgrade = bootLoader < 0x0102;
    Type(upgrade ? std::initializer_list<std::uint16_t>{'Y', 'L', 'Y', ' '}
                 : std::initializer_list<std::uint16_t>{'Y', 'L', ' '});
    return upgrade;
  }

  // All a whole update that went well says, from boot loader 1.0 (upgraded) or 1.2.
  static std::string WholeUpdateSaid(bool upgrade) {
    const char* bootLoader = upgrade ? "1.0" : "1.2";
    return Report(bootLoader, "1.2", "ABCDE12345") +
           (upgrade ? UpgradePrompt(bootLoader) + "Replacing Boot Loader...OK\n" : "") +
           "Replacing firmware...OK\n" + kEnding;
  }
};

TEST_F(UpdateTest, FullUpdateWithFlashProgrammedBootLoader) {
  model.bootLoaderVersion = 0x0100;
  Type({'Y', 'L', 'y', ' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, Report("1.0", "1.2", "ABCDE12345") + UpgradePrompt("1.0") +
                                "Replacing Boot Loader...OK\nReplacing firmware...OK\n" + kEnding);
  // The identity is read once, before anything is written.
  EXPECT_EQ(Codes(), Concat({{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber, ReadFlash},
                             {ErasePage, Restart},
                             Programming(),
                             {Restart},
                             {ErasePage, Restart},
                             Programming(),
                             {FinishFirmware, Restart, PostUpdateQuery, SetSerialNumber, Restart}}));
  EXPECT_TRUE(std::all_of(model.log.begin(), model.log.end(), [](const auto& entry) { return entry.ok; }))
      << emulator::DescribeLog(model);
  EXPECT_TRUE(FlashHoldsTheFirmware());
  EXPECT_EQ(model.bootLoaderVersion, kSampleCarriedBootLoaderVersion);
  EXPECT_EQ(model.firmwareVersion, kSampleFirmwareVersion);
  EXPECT_EQ(emulator::SerialNumberOf(model), "ABCDEW12345");
  EXPECT_EQ(model.restarts, 5);
  EXPECT_TRUE(model.onBus || model.returnPending);
}

TEST_F(UpdateTest, ReplacerForAFlashBootLoaderIsBrc20WithTheFirmwaresPayloadSpliced) {
  model.bootLoaderVersion = 0x0101;
  model.neverReturnFromRestart = 2;  // stop after the replacer is in flash
  Type({'Y', 'L', 'y', ' '});
  Run();
  const FlashImage firmware = BuildSampleFirmwareImage();
  const FlashImage replacer = BuildSampleFlashReplacerImage();
  EXPECT_TRUE(std::equal(replacer.begin(), replacer.begin() + 0x0F00, model.flash.begin()));
  EXPECT_TRUE(std::equal(firmware.begin() + 0xE000, firmware.begin() + 0xE000 + 0x1A00, model.flash.begin() + 0x1000));
}

TEST_F(UpdateTest, FullUpdateWithNandRewrittenBootLoader) {
  model.bootLoaderVersion = 0x00FF;
  Type({'y', 'l', 'Y', ' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, Report("0.255", "1.2", "ABCDE12345") + UpgradePrompt("0.255") +
                                "Replacing Boot Loader...OK\nReplacing firmware...OK\n" + kEnding);
  const std::vector<std::uint8_t> codes = Codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), NandWritePages), 64);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), CommitBootArea), 1);
  // The spliced "BRC" replacer went into NAND pages 1 on.
  const FlashImage firmware = BuildSampleFirmwareImage();
  const FlashImage replacer = BuildSampleNandReplacerImage();
  const auto nandImage = model.nand.begin() + 2112;
  EXPECT_TRUE(std::equal(replacer.begin(), replacer.begin() + 0x0F00, nandImage));
  EXPECT_EQ(nandImage[0x0F00], firmware[0x0001]);
  EXPECT_EQ(nandImage[0x0F03], firmware[0x0045]);
  EXPECT_TRUE(std::equal(firmware.begin() + 0xE000, firmware.begin() + 0xE000 + 0x1A00, nandImage + 0x1000));
  EXPECT_TRUE(std::equal(replacer.begin() + 0x2A00, replacer.begin() + 0x3C00, nandImage + 0x2A00));
  EXPECT_TRUE(FlashHoldsTheFirmware());
  EXPECT_EQ(model.bootLoaderVersion, kSampleCarriedBootLoaderVersion);
  EXPECT_EQ(emulator::SerialNumberOf(model), "ABCDEW12345");
}

TEST_F(UpdateTest, BootLoaderAsNewAsTheCarriedOneIsNotUpgraded) {
  model.bootLoaderVersion = 0x0102;
  Type({'Y', 'L', ' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, Report("1.2", "1.2", "ABCDE12345") + "Replacing firmware...OK\n" + kEnding);
  EXPECT_EQ(Codes(), Concat({{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber, ReadFlash, ErasePage, Restart}, Programming(), {FinishFirmware, Restart, PostUpdateQuery, SetSerialNumber, Restart}}));
  EXPECT_TRUE(FlashHoldsTheFirmware());
}

struct SampleGateCase {
  const char* name;
  bool saidToBeEmulated;  // the environment says the recorder is the emulator
  const char* product;    // what the recorder answers as its product string
  bool written;
};

void PrintTo(const SampleGateCase& c, std::ostream* out) { *out << c.name; }

class SampleImageGateTest : public UpdateTest, public ::testing::WithParamInterface<SampleGateCase> {};

// A build's sample images go only into the tests' recorder model, which says
// so by its product string, and only when the environment says so too; into
// any other recorder the dialogue ends after the confirmations with nothing
// written.
TEST_P(SampleImageGateTest, OnlyTheModelSaidToBeTheEmulatorTakesTheSamples) {
  model.bootLoaderVersion = 0x0102;
  ports.sampleImagesOnly = true;
  ports.recorderSaidToBeEmulated = GetParam().saidToBeEmulated;
  model.productString = GetParam().product;
  Type({'Y', 'L', ' '});
  EXPECT_EQ(Run(), 0);
  if (GetParam().written) {
    EXPECT_EQ(console.output, Report("1.2", "1.2", "ABCDE12345") + "Replacing firmware...OK\n" + kEnding);
    EXPECT_TRUE(FlashHoldsTheFirmware());
  } else {
    EXPECT_EQ(console.output, Report("1.2", "1.2", "ABCDE12345") +
                                  "This k24update carries sample images, not real recorder firmware: nothing was "
                                  "changed on the recorder.\nPress any key to exit.\n");
    EXPECT_EQ(Codes(), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Recorders, SampleImageGateTest,
    ::testing::Values(SampleGateCase{"the_model_said_to_be_the_emulator", true, emulator::kModelProductString, true},
                      SampleGateCase{"the_model_not_said_to_be", false, emulator::kModelProductString, false},
                      SampleGateCase{"another_recorder_said_to_be", true, emulator::kOtherProductString, false},
                      SampleGateCase{"a_recorder_without_a_product_string", true, "", false}),
    [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(UpdateTest, RefusedUpgradeEndsWithNothingChanged) {
  model.bootLoaderVersion = 0x0101;
  Type({'Y', 'L', 'n'});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, Report("1.1", "1.2", "ABCDE12345") + UpgradePrompt("1.1"));
  EXPECT_EQ(Codes(), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber, ReadFlash}));
}

struct BrokenReplacerCase {
  const char* name;
  void (*breakImage)(emulator::MemoryImageSource& images);
};

void PrintTo(const BrokenReplacerCase& c, std::ostream* out) { *out << c.name; }

class BrokenReplacerImageTest : public UpdateTest, public ::testing::WithParamInterface<BrokenReplacerCase> {};

TEST_P(BrokenReplacerImageTest, MissingOrDamagedReplacerImageEndsBeforeTheUpgradePrompt) {
  model.bootLoaderVersion = 0x0101;
  GetParam().breakImage(images);
  Type({'Y', 'L', ' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, Report("1.1", "1.2", "ABCDE12345") +
                                "The boot loader image in this program is missing or damaged.\n"
                                "Press any key to exit.\n");
  EXPECT_EQ(Codes(), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber, ReadFlash}));
}

// A 'y' typed while the boot loader image was being prepared does not answer
// the upgrade prompt that follows.
TEST_F(UpdateTest, KeyTypedAheadDoesNotAnswerTheUpgradePrompt) {
  model.bootLoaderVersion = 0x0100;
  Type({'Y', 'L', 'n'});
  console.typeAheadAfterRead[2] = {'y'};  // right after the 'L'
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, Report("1.0", "1.2", "ABCDE12345") + UpgradePrompt("1.0"));
  EXPECT_EQ(Codes(), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber, ReadFlash}));
}

struct SectionCase {
  const char* name;
  VersionWord bootLoader;
  std::set<std::uint8_t> failingRequests;
  std::vector<std::uint16_t> keys;
  std::string writtenInSections;
};

void PrintTo(const SectionCase& c, std::ostream* out) { *out << c.name; }

class CriticalSectionTest : public UpdateTest, public ::testing::WithParamInterface<SectionCase> {};

// Each procedure that writes to the recorder runs in a critical section of its
// own, from its first message to its result; every section is closed again
// before a key is read, after a failure too.
TEST_P(CriticalSectionTest, EachProcedureRunsInASectionClosedBeforeTheNextKey) {
  model.bootLoaderVersion = GetParam().bootLoader;
  model.failRequestCodes = GetParam().failingRequests;
  console.keys.assign(GetParam().keys.begin(), GetParam().keys.end());
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.outputInCriticalSections, GetParam().writtenInSections);
  EXPECT_EQ(console.criticalSectionEnds, console.criticalSectionBegins);
  EXPECT_EQ(console.inCriticalSection, 0);
  EXPECT_EQ(console.readsInCriticalSection, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Procedures, CriticalSectionTest,
    ::testing::Values(
        SectionCase{"flash_upgrade_then_firmware", 0x0100, {}, {'Y', 'L', 'Y', ' '},
                    "Replacing Boot Loader...OK\nReplacing firmware...OK\n"},
        SectionCase{"nand_upgrade_then_firmware", 0x00FF, {}, {'Y', 'L', 'Y', ' '},
                    "Replacing Boot Loader...OK\nReplacing firmware...OK\n"},
        SectionCase{"firmware_only", 0x0102, {}, {'Y', 'L', ' '}, "Replacing firmware...OK\n"},
        SectionCase{"failed_upgrade", 0x0100, {WriteFlash}, {'Y', 'L', 'Y', ' '}, "Replacing Boot Loader...Failed\n"},
        SectionCase{"failed_firmware", 0x0102, {WriteFlash}, {'Y', 'L', ' '}, "Replacing firmware...Failed\n"}),
    [](const auto& instance) { return std::string(instance.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Images, BrokenReplacerImageTest,
    ::testing::Values(
        BrokenReplacerCase{"missing", [](emulator::MemoryImageSource& images) { images.images.erase("BRC20"); }},
        // The digest was recorded from the image as built: one bit changed since
        // is damage, wherever it is.
        BrokenReplacerCase{"one_bit_flipped",
                           [](emulator::MemoryImageSource& images) { emulator::FlipBit(images, "BRC20", 0x1234, 3); }},
        BrokenReplacerCase{"bit_flipped_in_the_unused_tail",
                           [](emulator::MemoryImageSource& images) { emulator::FlipBit(images, "BRC20", 0xFFFF, 7); }}),
    [](const auto& instance) { return std::string(instance.param.name); });

struct IdentityCase {
  const char* name;
  std::vector<std::uint8_t> identity;
  bool diag;
  bool accepted;
};

// Cases print as their name, which keeps the test names short and stable.
void PrintTo(const IdentityCase& c, std::ostream* out) { *out << c.name; }

class CompatibilityTest : public UpdateTest, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(CompatibilityTest, OnlyAnotherK24IdentityIsRefusedUnlessDiag) {
  model.bootLoaderVersion = 0x0102;
  emulator::SetIdentity(model, GetParam().identity);
  Type({'Y', 'L', ' '});
  EXPECT_EQ(Run(DialogueOptions{GetParam().diag, std::nullopt}), 0);
  if (GetParam().accepted) {
    EXPECT_EQ(console.output, Report("1.2", "1.2", "ABCDE12345") + "Replacing firmware...OK\n" + kEnding);
    EXPECT_TRUE(FlashHoldsTheFirmware());
  } else {
    EXPECT_EQ(console.output, Report("1.2", "1.2", "ABCDE12345") +
                                  "Firmware version is not compatible with this recorder.\n"
                                  "Replacing firmware failed.\n" + kEnding);
    EXPECT_EQ(Codes(), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber, ReadFlash}));
    EXPECT_EQ(model.log.back().value, 0x29F9);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Identities, CompatibilityTest,
    ::testing::Values(IdentityCase{"same", {'K', '2', '4', 'A', '1'}, false, true},
                      IdentityCase{"other_k24", {'K', '2', '4', 'B', '7'}, false, false},
                      // The sample firmware's identity is K24A1: all five bytes count.
                      IdentityCase{"only_the_last_byte_differs", {'K', '2', '4', 'A', '2'}, false, false},
                      IdentityCase{"other_k24_diag", {'K', '2', '4', 'B', '7'}, true, true},
                      IdentityCase{"erased", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false, true},
                      IdentityCase{"other_tag", {'K', '2', '5', 'A', '1'}, false, true}),
    [](const auto& instance) { return std::string(instance.param.name); });

struct UnreadIdentityCase {
  const char* name;
  emulator::ControlFault fault;
  std::uint32_t replyLength;
  bool diag;
  const char* recorded;  // the identity-check step in the run's record
};

void PrintTo(const UnreadIdentityCase& c, std::ostream* out) { *out << c.name; }

class UnreadIdentityTest : public UpdateTest, public ::testing::WithParamInterface<UnreadIdentityCase> {};

// An identity read that failed, or came back short, is no recorder's word:
// nothing is accepted on it (zeros are no "K24" and used to pass), unless
// diag waives the check.
TEST_P(UnreadIdentityTest, AcceptsNothingUnlessDiag) {
  const UnreadIdentityCase& c = GetParam();
  model.bootLoaderVersion = 0x0102;
  model.requestFaults = {{ReadFlash, 1, c.fault, c.replyLength}};
  Type({'Y', 'L', ' '});
  EXPECT_EQ(Run(DialogueOptions{c.diag, std::nullopt}), 0);
  if (c.diag) {
    EXPECT_EQ(console.output, Report("1.2", "1.2", "ABCDE12345") + "Replacing firmware...OK\n" + kEnding);
    EXPECT_TRUE(FlashHoldsTheFirmware());
  } else {
    EXPECT_EQ(console.output, Report("1.2", "1.2", "ABCDE12345") +
                                  "Firmware version is not compatible with this recorder.\n"
                                  "Replacing firmware failed.\n" + kEnding);
    EXPECT_EQ(Codes(), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber, ReadFlash}));
  }
  // The run's final record (those before it mark the writes it began).
  ASSERT_FALSE(history.records.empty());
  EXPECT_NE(history.records.back().find(std::string("\nstep: identity-check: ") + c.recorded + "\n"),
            std::string::npos)
      << history.records.back();
}

INSTANTIATE_TEST_SUITE_P(
    Reads, UnreadIdentityTest,
    ::testing::Values(
        UnreadIdentityCase{"refused", emulator::ControlFault::Stall, 0, false,
                           "read failed (driver failure) refused"},
        UnreadIdentityCase{"cut_short", emulator::ControlFault::ShortReply, 10, false,
                           "read failed (short reply, 10 of 64 bytes) refused"},
        UnreadIdentityCase{"none_of_it", emulator::ControlFault::ShortReply, 0, false,
                           "read failed (short reply, 0 of 64 bytes) refused"},
        UnreadIdentityCase{"cut_short_diag", emulator::ControlFault::ShortReply, 10, true,
                           "read failed (short reply, 10 of 64 bytes) accepted"}),
    [](const auto& instance) { return std::string(instance.param.name); });

// On the flash path the replacer is written over the identity area: the
// recorder's own identity decides, before the upgrade is even offered.
TEST_F(UpdateTest, AnotherModelIsRefusedBeforeTheBootLoaderUpgradeWithNothingWritten) {
  model.bootLoaderVersion = 0x0100;
  emulator::SetIdentity(model, std::vector<std::uint8_t>{'K', '2', '4', 'B', '9'});
  const std::vector<std::uint8_t> flashBefore = model.flash;
  Type({'Y', 'L', ' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, Report("1.0", "1.2", "ABCDE12345") +
                                "Firmware version is not compatible with this recorder.\n"
                                "Replacing firmware failed.\n" + kEnding);
  EXPECT_EQ(Codes(), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber, ReadFlash}));
  EXPECT_EQ(model.flash, flashBefore);
  EXPECT_EQ(model.bootLoaderVersion, 0x0100);
}

TEST_F(UpdateTest, FailedReplacerProgrammingEndsBeforeTheFirmware) {
  model.bootLoaderVersion = 0x0100;
  model.requestFaults = {{WriteFlash, 100, emulator::ControlFault::Stall, 0}};  // a write of the replacer
  Type({'Y', 'L', 'Y', ' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, Report("1.0", "1.2", "ABCDE12345") + UpgradePrompt("1.0") + "Replacing Boot Loader..." +
                                kUpgradeFailed);
  // The replacer's 189 requests, and nothing after them: no restart, no firmware.
  EXPECT_EQ(Codes(), Concat({{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber, ReadFlash, ErasePage, Restart}, Programming()}));
}

struct IgnoredResultCase {
  const char* name;
  VersionWord bootLoader;
  emulator::RequestFault fault;
  const char* why;  // why the update does not look at this result
};

void PrintTo(const IgnoredResultCase& c, std::ostream* out) { *out << c.name; }

class IgnoredResultTest : public UpdateTest, public ::testing::WithParamInterface<IgnoredResultCase> {};

// The results the update deliberately ignores: each failing in turn leaves the
// update, and its "OK", as they are.
TEST_P(IgnoredResultTest, DoesNotChangeTheOutcome) {
  const IgnoredResultCase& c = GetParam();
  model.bootLoaderVersion = c.bootLoader;
  model.requestFaults = {c.fault};
  const bool upgrade = TypeAWholeUpdate(c.bootLoader);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, WholeUpdateSaid(upgrade)) << c.why;
  EXPECT_TRUE(FlashHoldsTheFirmware());
  const auto failed = std::count_if(model.log.begin(), model.log.end(), [](const auto& e) { return !e.ok; });
  EXPECT_GE(failed, 1) << "the fault was never hit";
}

INSTANTIATE_TEST_SUITE_P(
    Requests, IgnoredResultTest,
    ::testing::Values(
        IgnoredResultCase{"post_update_query", 0x0102, {PostUpdateQuery, 0, emulator::ControlFault::Stall, 0},
                          "its reply means nothing to the host"},
        IgnoredResultCase{"set_serial_number", 0x0102, {SetSerialNumber, 0, emulator::ControlFault::Stall, 0},
                          "the firmware is in place; the number is a fix-up"},
        IgnoredResultCase{"preparatory_erase", 0x0102, {ErasePage, 1, emulator::ControlFault::StallAfterExecuting, 0},
                          "only the restart into programming state that follows matters"},
        IgnoredResultCase{"restart", 0x0102, {Restart, 0, emulator::ControlFault::StallAfterExecuting, 0},
                          "the recorder may drop off the bus before it acknowledges"},
        IgnoredResultCase{"restart_flash_path", 0x0100, {Restart, 0, emulator::ControlFault::StallAfterExecuting, 0},
                          "the recorder may drop off the bus before it acknowledges"}),
    [](const auto& instance) { return std::string(instance.param.name); });

struct NeverReadCase {
  const char* name;
  VersionWord bootLoader;
  emulator::RequestFault fault;
};

void PrintTo(const NeverReadCase& c, std::ostream* out) { *out << c.name; }

class NeverReadReplyTest : public UpdateTest, public ::testing::WithParamInterface<NeverReadCase> {};

// Replies the update never interprets, cut short on every request of their
// kind: the recorder took everything, and the update says so.
TEST_P(NeverReadReplyTest, ACutReplyLeavesTheUpdateAsItIs) {
  const NeverReadCase& c = GetParam();
  model.bootLoaderVersion = c.bootLoader;
  model.requestFaults = {c.fault};
  const bool upgrade = TypeAWholeUpdate(c.bootLoader);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, WholeUpdateSaid(upgrade));
  EXPECT_TRUE(FlashHoldsTheFirmware());
  EXPECT_EQ(model.bootLoaderVersion, kSampleCarriedBootLoaderVersion);
  EXPECT_EQ(emulator::SerialNumberOf(model), "ABCDEW12345");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, NeverReadReplyTest,
    ::testing::Values(
        NeverReadCase{"every_erase_1_of_2_on_the_flash_path", 0x0100, {ErasePage, 0, emulator::ControlFault::ShortReply, 1}},
        NeverReadCase{"finish_firmware_2_of_4", 0x0102, {FinishFirmware, 0, emulator::ControlFault::ShortReply, 2}}),
    [](const auto& instance) { return std::string(instance.param.name); });

struct SilentRecorderCase {
  const char* name;
  VersionWord bootLoader;
  int answeredRequests;  // then it answers nothing more
  std::string tail;      // output after the report
};

void PrintTo(const SilentRecorderCase& c, std::ostream* out) { *out << c.name; }

class SilentRecorderTest : public UpdateTest, public ::testing::WithParamInterface<SilentRecorderCase> {};

// A recorder that stops answering in the middle of a procedure: the first
// request (or bulk read) it gives no answer to ends the procedure as failed,
// and nothing more is sent to it, where a refused request would be followed
// by the rest. One driver time limit is all it costs.
TEST_P(SilentRecorderTest, TheFirstTimeOutEndsTheProcedure) {
  const SilentRecorderCase& c = GetParam();
  model.bootLoaderVersion = c.bootLoader;
  model.stopAnsweringAfterRequest = c.answeredRequests;
  model.clock = &clock;
  const bool upgrade = TypeAWholeUpdate(c.bootLoader);
  const std::uint64_t start = clock.nowMs;
  EXPECT_EQ(Run(), 0);
  const char* bootLoader = c.bootLoader == 0x00FF ? "0.255" : upgrade ? "1.0" : "1.2";
  EXPECT_EQ(console.output,
            Report(bootLoader, "1.2", "ABCDE12345") + (upgrade ? UpgradePrompt(bootLoader) : "") + c.tail);
  const auto unanswered =
      std::count_if(model.log.begin(), model.log.end(), [](const auto& entry) { return !entry.answered; });
  EXPECT_EQ(unanswered, 1) << emulator::DescribeLog(model);
  ASSERT_FALSE(model.log.empty());
  EXPECT_FALSE(model.log.back().answered) << "sent on after the time-out";
  EXPECT_LT(clock.nowMs - start, 2 * emulator::kModelDriverTimeLimitMs);
}

INSTANTIATE_TEST_SUITE_P(
    Procedures, SilentRecorderTest,
    ::testing::Values(
        SilentRecorderCase{"replacer_programming", 0x0100, 8, "Replacing Boot Loader..." + kUpgradeFailed},
        SilentRecorderCase{"firmware_programming", 0x0102, 60, "Replacing firmware...Failed\n" + kEnding},
        SilentRecorderCase{"nand_erase", 0x00FF, 5, "Replacing Boot Loader..." + kUpgradeFailed},
        SilentRecorderCase{"nand_erase_status", 0x00FF, 6, "Replacing Boot Loader..." + kUpgradeFailed},
        SilentRecorderCase{"nand_read_back", 0x00FF, 73, "Replacing Boot Loader..." + kUpgradeFailed}),
    [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(UpdateTest, FinishFirmwareFailingEndsWithoutRestart) {
  model.bootLoaderVersion = 0x0102;
  model.failRequestCodes = {FinishFirmware};
  Type({'Y', 'L', ' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, Report("1.2", "1.2", "ABCDE12345") + "Replacing firmware...Failed\n" + kEnding);
  EXPECT_EQ(Codes().back(), FinishFirmware);
}

TEST_F(UpdateTest, RejectedWriteStillSendsEveryRequestThenFails) {
  model.bootLoaderVersion = 0x0102;
  model.failRequestNumber = 6 + 50;  // a WriteFlash in the middle of the firmware
  Type({'Y', 'L', ' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, Report("1.2", "1.2", "ABCDE12345") + "Replacing firmware...Failed\n" + kEnding);
  EXPECT_EQ(Codes(), Concat({{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber, ReadFlash, ErasePage, Restart}, Programming()}));
  EXPECT_EQ(model.log[55].request, WriteFlash);
  EXPECT_FALSE(model.log[55].ok);
}

struct NandFailureCase {
  const char* name;
  void (*breakRecorder)(emulator::RecorderModel&);
  bool commitSent;
  const char* failure;  // the reason the run's record gives
};

void PrintTo(const NandFailureCase& c, std::ostream* out) { *out << c.name; }

class NandFailureTest : public UpdateTest, public ::testing::WithParamInterface<NandFailureCase> {};

TEST_P(NandFailureTest, FailedRewriteEndsBeforeTheFirmwareIsTouched) {
  model.bootLoaderVersion = 0x0080;
  GetParam().breakRecorder(model);
  Type({'Y', 'L', 'Y', ' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output,
            Report("0.128", "1.2", "ABCDE12345") + UpgradePrompt("0.128") + "Replacing Boot Loader..." + kUpgradeFailed);
  const std::vector<std::uint8_t> codes = Codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), CommitBootArea), GetParam().commitSent ? 1 : 0);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), WriteFlash), 0);
  EXPECT_EQ(model.bootLoaderVersion, 0x0080);
  EXPECT_NE(history.text.find(std::string("\nfailure: ") + GetParam().failure + "\n"), std::string::npos)
      << history.text;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, NandFailureTest,
    ::testing::Values(
        NandFailureCase{"read_back_differs", [](emulator::RecorderModel& m) { m.corruptNandReadBack = true; }, false,
                        "nand-read-back-mismatch"},
        NandFailureCase{"commit_refused", [](emulator::RecorderModel& m) { m.commitBootAreaReply = 0; }, true,
                        "boot-area-commit-refused"},
        NandFailureCase{"short_block_read",
                        [](emulator::RecorderModel& m) {
                          m.bulkFault = emulator::BulkFault::Fail;
                          m.bulkFaultTransfer = 1;
                        },
                        false, "nand-block-read-short"}),
    [](const auto& instance) { return std::string(instance.param.name); });

struct LostRecorderCase {
  const char* name;
  VersionWord bootLoader;
  int lostRestart;
  std::string tail;  // output after the report
  std::vector<std::uint8_t> lastCodes;
  const char* failedStep;  // the step whose wait the run's record names
};

void PrintTo(const LostRecorderCase& c, std::ostream* out) { *out << c.name; }

class LostRecorderTest : public UpdateTest, public ::testing::WithParamInterface<LostRecorderCase> {};

TEST_P(LostRecorderTest, ARecorderThatNeverComesBackEndsTheUpdateHonestly) {
  model.bootLoaderVersion = GetParam().bootLoader;
  model.neverReturnFromRestart = GetParam().lostRestart;
  Type({'Y', 'L', 'Y', ' '});
  EXPECT_EQ(Run(), 0);
  const char* bootLoader = GetParam().bootLoader == 0x00FF ? "0.255" : "1.0";
  EXPECT_EQ(console.output, Report(bootLoader, "1.2", "ABCDE12345") + UpgradePrompt(bootLoader) + GetParam().tail);
  const std::vector<std::uint8_t> codes = Codes();
  ASSERT_GE(codes.size(), GetParam().lastCodes.size());
  EXPECT_TRUE(std::equal(GetParam().lastCodes.rbegin(), GetParam().lastCodes.rend(), codes.rbegin()))
      << emulator::DescribeLog(model);
  // Each wait gave up after its bound, on the virtual clock.
  EXPECT_GE(clock.sleptMs, 30'000u);
  EXPECT_LT(clock.sleptMs, 31'000u);
  EXPECT_NE(history.text.find(std::string("\nfailed-step: ") + GetParam().failedStep +
                              "\nfailure: recorder-did-not-return\n"),
            std::string::npos)
      << history.text;
}

INSTANTIATE_TEST_SUITE_P(
    Restarts, LostRecorderTest,
    ::testing::Values(
        LostRecorderCase{"before_replacer", 0x0100, 1, "Replacing Boot Loader..." + kUpgradeFailed, {ErasePage, Restart},
                         "boot-loader-prepare"},
        // The recorder installs the boot loader as it restarts: no "OK" before it is back.
        LostRecorderCase{"after_replacer", 0x0100, 2, "Replacing Boot Loader..." + kUpgradeFailed, {WriteFlash, Restart},
                         "boot-loader-restart"},
        // Only its return shows that the recorder took the boot area: no "OK" without it.
        LostRecorderCase{"after_nand_commit", 0x00FF, 1, "Replacing Boot Loader..." + kUpgradeFailed, {CommitBootArea},
                         "boot-loader-restart"},
        LostRecorderCase{"before_firmware", 0x0100, 3,
                         "Replacing Boot Loader...OK\nReplacing firmware...Failed\n" + kEnding, {Restart, ErasePage, Restart},
                         "firmware-write"},
        LostRecorderCase{"after_finish", 0x0100, 4,
                         "Replacing Boot Loader...OK\nReplacing firmware...Failed\n" + kEnding, {WriteFlash, FinishFirmware, Restart},
                         "firmware-start"}),
    [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(UpdateTest, MarkedSerialWithSameMajorIsNotSent) {
  emulator::InstallFirmware(model, 0x0201, "K24A1");
  emulator::SetSerialNumber(model, "ABCDEW1234");
  model.bootLoaderVersion = 0x0102;
  Type({'Y', 'L', ' '});
  Run();
  const std::vector<std::uint8_t> codes = Codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), SetSerialNumber), 0);
  EXPECT_EQ(emulator::SerialNumberOf(model), "ABCDEW1234");
  EXPECT_EQ(codes.back(), Restart);
}

struct UnreadSerialCase {
  const char* name;
  bool firmwareRuns;
  int failedRequest;  // the serial-number request, by number
};

void PrintTo(const UnreadSerialCase& c, std::ostream* out) { *out << c.name; }

class UnreadSerialTest : public UpdateTest, public ::testing::WithParamInterface<UnreadSerialCase> {};

TEST_P(UnreadSerialTest, ASerialNumberThatCouldNotBeReadIsNeverWrittenBack) {
  model.bootLoaderVersion = 0x0102;
  if (!GetParam().firmwareRuns) model.mode = emulator::RecorderMode::BootLoader;
  model.failRequestNumber = GetParam().failedRequest;
  Type({'Y', 'L', ' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, Report("1.2", GetParam().firmwareRuns ? "1.2" : "unavailable.", "") +
                                "Replacing firmware...OK\n" + kEnding);
  const std::vector<std::uint8_t> codes = Codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), SetSerialNumber), 0);
  EXPECT_EQ(emulator::SerialNumberOf(model), "ABCDE12345");
  EXPECT_TRUE(FlashHoldsTheFirmware());
}

INSTANTIATE_TEST_SUITE_P(Requests, UnreadSerialTest,
                         ::testing::Values(UnreadSerialCase{"from_firmware", true, 3},
                                           UnreadSerialCase{"from_flash", false, 3}),
                         [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(UpdateTest, TwentyOneCharacterSerialSurvivesALaterMajorUpdate) {
  emulator::SetSerialNumber(model, "ABCDEW123456789012345");
  model.bootLoaderVersion = 0x0102;
  Type({'Y', 'L', ' '});
  Run();
  EXPECT_NE(console.output.find("Serial number: ABCDEW12345678901234\n"), std::string::npos);
  const std::string expected = "ABCDEW123456789012345";
  EXPECT_EQ(emulator::SerialBytesOf(model), std::vector<std::uint8_t>(expected.begin(), expected.end()));
}

// A reply cut short is no serial number: it is shown empty and never written back.
TEST_F(UpdateTest, CutSerialNumberReplyIsNeverWrittenBack) {
  model.bootLoaderVersion = 0x0102;
  model.requestFaults = {{GetSerialNumber, 0, emulator::ControlFault::ShortReply, 1}};
  Type({'Y', 'L', ' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, Report("1.2", "1.2", "") + "Replacing firmware...OK\n" + kEnding);
  EXPECT_EQ(emulator::SerialNumberOf(model), "ABCDE12345");
}

TEST_F(UpdateTest, TwentyCharacterSerialIsSentAsTwentyOneBytesWithoutTerminator) {
  emulator::SetSerialNumber(model, "ABCDE123456789012345");
  model.bootLoaderVersion = 0x0102;
  Type({'Y', 'L', ' '});
  Run();
  const std::string expected = "ABCDEW123456789012345";
  EXPECT_EQ(emulator::SerialBytesOf(model), std::vector<std::uint8_t>(expected.begin(), expected.end()));
}

}  // namespace
}  // namespace k24::test
