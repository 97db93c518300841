#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

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

// One byte of a two-byte version is no version, never "0.2". A boot loader
// that answers so could not be identified: 0, as with no boot loader at all,
// and not the 1.0 of a boot loader that does not answer (which would send a
// boot loader of unknown age down the flash path), so the firmware is not
// asked again.
TEST_F(RecorderFixture, CutVersionRepliesAreNoVersion) {
  model.bootLoaderVersion = 0x0102;
  for (const std::uint32_t bytes : {1u, 0u}) {
    SCOPED_TRACE(bytes);
    model.log.clear();
    model.requestFaults = {{GetBootLoaderVersion, 0, emulator::ControlFault::ShortReply, bytes}};
    EXPECT_EQ(k24::GetBootLoaderVersion(link), 0);
    EXPECT_EQ(emulator::RequestCodes(model), std::vector<std::uint8_t>{GetBootLoaderVersion});
    model.requestFaults = {{GetFirmwareVersion, 0, emulator::ControlFault::ShortReply, bytes}};
    EXPECT_EQ(k24::GetFirmwareVersion(link), 0);
  }
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
  const emulator::RequestFault cutSerial{GetSerialNumber, 0, emulator::ControlFault::ShortReply, 5};
  const emulator::RequestFault cutFlashRead{ReadFlash, 0, emulator::ControlFault::ShortReply, 63};
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

// The firmware's answer is a text: the text and its terminating zero are the
// whole number, however many of the 21 bytes that takes. The rest of the
// buffer stays zero, and the number is marked after an update like any other.
TEST_F(RecorderFixture, SerialNumberReplyEndingAtItsTerminatorIsWhole) {
  emulator::SetSerialNumber(model, "ABCDE12345");
  model.requestFaults = {{GetSerialNumber, 0, emulator::ControlFault::ShortReply, 11}};
  const SerialNumber serial = ReadSerialNumber(link, 0x0102);
  EXPECT_TRUE(serial.answered);
  EXPECT_EQ(Text(serial.text), "ABCDE12345");
  SerialNumberText expected{};
  const std::string text = "ABCDE12345";
  std::copy(text.begin(), text.end(), expected.begin());
  EXPECT_EQ(serial.asRead, expected);
}

TEST_F(RecorderFixture, RestartIsSentWithoutDataAndTheRecorderLeaves) {
  RestartRecorder(link);
  ASSERT_EQ(Requests(Restart).size(), 1u);
  EXPECT_EQ(Requests(Restart)[0]->length, 0u);
  EXPECT_EQ(Requests(Restart)[0]->direction, 1);
  EXPECT_FALSE(model.onBus);
}

struct CutReplyCase {
  const char* name;
  const RecorderRequest* request;
  emulator::RecorderMode mode;
  std::uint32_t bytes;  // of the reply the recorder sends
  LinkStatus expected;
};

void PrintTo(const CutReplyCase& c, std::ostream* out) { *out << c.name; }

class CutReplyTest : public RecorderFixture, public ::testing::WithParamInterface<CutReplyCase> {};

// A reply shorter than asked fails its request only where the host reads its
// bytes: the versions, the serial number (whole once its terminator came),
// the flash reads. Replies never interpreted are answers whatever their
// length, and a one-byte reply the caller presets keeps the preset when none
// came. Either way the bytes that did not come are left as the caller set them.
TEST_P(CutReplyTest, FailsOnlyWhereTheReplyIsRead) {
  const CutReplyCase& c = GetParam();
  model.mode = c.mode;
  emulator::SetSerialNumber(model, "ABCDE12345");
  model.requestFaults = {{c.request->code, 0, emulator::ControlFault::ShortReply, c.bytes}};
  std::vector<std::uint8_t> data(c.request->length, 0xA5);
  const SentRequest sent = SendRequest(link, *c.request, 0, data);
  EXPECT_EQ(sent.status, c.expected);
  EXPECT_EQ(sent.transferred, c.bytes);
  EXPECT_TRUE(std::all_of(data.begin() + c.bytes, data.end(), [](std::uint8_t b) { return b == 0xA5; }));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, CutReplyTest,
    ::testing::Values(
        CutReplyCase{"read_flash_63_of_64", &kRequestReadFlash, emulator::RecorderMode::Firmware, 63,
                     LinkStatus::ShortReply},
        CutReplyCase{"boot_loader_version_1_of_2", &kRequestGetBootLoaderVersion, emulator::RecorderMode::Firmware, 1,
                     LinkStatus::ShortReply},
        CutReplyCase{"firmware_version_0_of_2", &kRequestGetFirmwareVersion, emulator::RecorderMode::Firmware, 0,
                     LinkStatus::ShortReply},
        CutReplyCase{"serial_without_its_terminator", &kRequestGetSerialNumber, emulator::RecorderMode::Firmware, 10,
                     LinkStatus::ShortReply},
        CutReplyCase{"serial_with_its_terminator", &kRequestGetSerialNumber, emulator::RecorderMode::Firmware, 11,
                     LinkStatus::Ok},
        CutReplyCase{"erase_page_1_of_2", &kRequestErasePage, emulator::RecorderMode::Programming, 1, LinkStatus::Ok},
        CutReplyCase{"erase_page_0_of_2", &kRequestErasePage, emulator::RecorderMode::Programming, 0, LinkStatus::Ok},
        CutReplyCase{"finish_firmware_2_of_4", &kRequestFinishFirmware, emulator::RecorderMode::Programming, 2,
                     LinkStatus::Ok},
        CutReplyCase{"post_update_query_0_of_4", &kRequestPostUpdateQuery, emulator::RecorderMode::Firmware, 0,
                     LinkStatus::Ok},
        CutReplyCase{"commit_boot_area_0_of_1", &kRequestCommitBootArea, emulator::RecorderMode::BootLoader, 0,
                     LinkStatus::Ok},
        CutReplyCase{"nand_status_0_of_1", &kRequestNandStatus, emulator::RecorderMode::BootLoader, 0,
                     LinkStatus::Ok}),
    [](const auto& instance) { return std::string(instance.param.name); });

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
