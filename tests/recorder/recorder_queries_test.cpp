#include <gtest/gtest.h>

#include <ostream>

#include <string>

#include "recorder/recorder_queries.h"
#include "recorder/requests.h"
#include "testing/recorder_fixture.h"
#include "testing/request_names.h"

namespace k24::test {
namespace {

struct VersionCase {
  const char* name;
  bool bootLoaderAnswers;
  VersionWord bootLoaderReply;
  bool firmwareAnswers;
  VersionWord firmwareReply;
  VersionWord expectedFirmware;
  VersionWord expectedBootLoader;
};

// Cases print as their name, which keeps the test names short and stable.
void PrintTo(const VersionCase& c, std::ostream* out) { *out << c.name; }

class VersionQueryTest : public RecorderFixture, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionQueryTest, FirmwareThenBootLoader) {
  const VersionCase& c = GetParam();
  model.bootLoaderAnswersVersion = c.bootLoaderAnswers;
  model.bootLoaderVersion = c.bootLoaderReply;
  model.firmwareAnswersVersion = c.firmwareAnswers;
  model.firmwareVersion = c.firmwareReply;
  EXPECT_EQ(k24::GetFirmwareVersion(link), c.expectedFirmware);
  EXPECT_EQ(k24::GetBootLoaderVersion(link), c.expectedBootLoader);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, VersionQueryTest,
    ::testing::Values(
        // The boot loader request fails while the firmware answers: that boot loader is 1.0.
        VersionCase{"boot_loader_silent_firmware_2_3", false, 0, true, 0x0203, 0x0203, 0x0100},
        VersionCase{"neither_answers", false, 0, false, 0, 0, 0},
        // Reply bytes 0x05, 0x01: minor first.
        VersionCase{"boot_loader_1_5", true, 0x0105, true, 0x0102, 0x0102, 0x0105},
        VersionCase{"boot_loader_answers_zero", true, 0, true, 0x0102, 0x0102, 0},
        VersionCase{"boot_loader_only", true, 0x00FF, false, 0, 0, 0x00FF}),
    [](const auto& instance) { return std::string(instance.param.name); });

// One byte of a two-byte version is no version: the boot loader query falls
// back as when it fails (1.0 with answering firmware), never reads "0.2".
TEST_F(RecorderFixture, CutVersionRepliesAreFailures) {
  model.bootLoaderVersion = 0x0102;
  model.requestFaults = {{GetBootLoaderVersion, 0, emulator::ControlFault::ShortReply, 1}};
  EXPECT_EQ(k24::GetBootLoaderVersion(link), 0x0100);
  model.requestFaults = {{GetFirmwareVersion, 0, emulator::ControlFault::ShortReply, 1}};
  EXPECT_EQ(k24::GetFirmwareVersion(link), 0);
}

TEST_F(RecorderFixture, VersionReplyIsReadMinorByteFirst) {
  model.bootLoaderVersion = 0x0105;
  k24::GetBootLoaderVersion(link);
  ASSERT_EQ(Requests(GetBootLoaderVersion).size(), 1u);
  EXPECT_EQ(Requests(GetBootLoaderVersion)[0]->data, (std::vector<std::uint8_t>{0x05, 0x01}));
}

std::string Text(const SerialNumberText& serial) {
  return std::string(reinterpret_cast<const char*>(serial.data()));
}

TEST_F(RecorderFixture, SerialNumberComesFromTheFirmwareWhenItAnswered) {
  emulator::SetSerialNumber(model, "ABCDE12345");
  const SerialNumberText serial = ReadSerialNumber(link, 0x0102).text;
  EXPECT_EQ(Text(serial), "ABCDE12345");
  EXPECT_EQ(Requests(GetSerialNumber).size(), 1u);
  EXPECT_TRUE(Requests(ReadFlash).empty());
}

TEST_F(RecorderFixture, SerialNumberComesFromFlashWithoutFirmwareCutAtTwenty) {
  const std::string stored = "SERIAL-FROM-FLASH-0123456789";
  std::copy(stored.begin(), stored.end(), model.flash.begin() + 0xDE00);
  const SerialNumberText serial = ReadSerialNumber(link, 0).text;
  EXPECT_EQ(Text(serial), stored.substr(0, 20));
  ASSERT_EQ(Requests(ReadFlash).size(), 1u);
  EXPECT_EQ(Requests(ReadFlash)[0]->value, 0xDE00);
  EXPECT_TRUE(Requests(GetSerialNumber).empty());
}

TEST_F(RecorderFixture, TwentyOneCharacterReplyIsShownCutButKeptWhole) {
  std::fill_n(model.flash.begin() + 0xDE00, 21, std::uint8_t{'Z'});
  const SerialNumber serial = ReadSerialNumber(link, 0x0102);
  EXPECT_EQ(Text(serial.text), std::string(20, 'Z'));
  EXPECT_EQ(serial.text[20], 0);
  SerialNumberText twentyOne;
  twentyOne.fill('Z');
  EXPECT_EQ(serial.asRead, twentyOne);
  EXPECT_TRUE(serial.answered);
}

// A reply that fails or comes back shorter than asked is no serial number:
// shown empty and never to be written back.
TEST_F(RecorderFixture, FailedOrCutSerialRequestsGiveNoNumber) {
  emulator::SetSerialNumber(model, "ABCDE12345");
  const emulator::RequestFault cutSerial{GetSerialNumber, 0, emulator::ControlFault::ShortReply, 1};
  const emulator::RequestFault cutFlashRead{ReadFlash, 0, emulator::ControlFault::ShortReply, 1};
  const std::vector<std::vector<emulator::RequestFault>> faults = {
      {{GetSerialNumber, 0, emulator::ControlFault::Stall, 0}, {ReadFlash, 0, emulator::ControlFault::Stall, 0}},
      {cutSerial, cutFlashRead}};
  for (const auto& each : faults) {
    model.requestFaults = each;
    for (const VersionWord firmware : {VersionWord{0x0102}, VersionWord{0}}) {
      const SerialNumber serial = ReadSerialNumber(link, firmware);
      EXPECT_EQ(Text(serial.text), "") << firmware;
      EXPECT_EQ(serial.asRead, SerialNumberText{});
      EXPECT_FALSE(serial.answered);
    }
  }
}

TEST_F(RecorderFixture, RestartIsSentWithoutDataAndTheRecorderLeaves) {
  RestartRecorder(link);
  ASSERT_EQ(Requests(Restart).size(), 1u);
  EXPECT_EQ(Requests(Restart)[0]->length, 0u);
  EXPECT_EQ(Requests(Restart)[0]->direction, 1);
  EXPECT_FALSE(model.onBus);
}

// The catalogue fixes each request's length: data of another size is a
// mistake on the host's side and never reaches the recorder.
TEST_F(RecorderFixture, RequestWithDataNotOfItsLengthIsNeverSent) {
  std::array<std::uint8_t, 3> tooLong{};
  EXPECT_EQ(SendRequest(link, kRequestGetFirmwareVersion, 0, tooLong).status, LinkStatus::Failed);
  EXPECT_EQ(SendRequest(link, kRequestGetSerialNumber, 0).status, LinkStatus::Failed);
  EXPECT_TRUE(model.log.empty());
}

}  // namespace
}  // namespace k24::test
