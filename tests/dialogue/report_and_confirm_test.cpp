#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

#include "dialogue_fixture.h"
#include "tools/sample_images.h"
#include "testing/request_names.h"

namespace k24::test {
namespace {

const std::string kStartToBootLoader11 = std::string(kBanner) + kConnected + "Current Boot Loader version: 1.1\n";
const std::string kOffer = "Press 'Y' to load firmware version 2.0 or other key to exit.\n";
const std::string kWarning =
    "\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n"
    "Press 'L' to confirm load or other key to exit.\n";

class ReportTest : public DialogueFixture {
 protected:
  ReportTest() {
    model.bootLoaderVersion = 0x0101;
    emulator::InstallFirmware(model, 0x0102, "K24A1");
    emulator::SetSerialNumber(model, "ABCDE12345");
  }
};

TEST_F(ReportTest, AnsweringFirmwareIsAskedForItsSerialNumber) {
  Type({'n'});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, kStartToBootLoader11 + "Current firmware version: 1.2\nSerial number: ABCDE12345\n" + kOffer);
  EXPECT_EQ(emulator::RequestCodes(model), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber}));
}

TEST_F(ReportTest, WithoutFirmwareTheSerialNumberIsReadFromFlash) {
  model.mode = emulator::RecorderMode::BootLoader;  // no firmware answers
  Type({'n'});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output,
            kStartToBootLoader11 + "Current firmware version: unavailable.\nSerial number: ABCDE12345\n" + kOffer);
  ASSERT_EQ(emulator::RequestCodes(model), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion, ReadFlash}));
  EXPECT_EQ(model.log.back().value, 0xDE00);
}

TEST_F(ReportTest, ControlBytesInTheSerialNumberNeverReachTheTerminal) {
  emulator::SetSerialNumber(model, "AB\x1b]2;x\x07" "C\xE9");
  Type({'n'});
  Run();
  EXPECT_NE(console.output.find("Serial number: AB?]2;x?C?\n"), std::string::npos) << console.output;
}

TEST_F(ReportTest, YThenLPassesToTheUpdateAndOlderOfferIsStillMade) {
  // The offered 2.0 is older than the recorder's 3.1: it is offered all the same.
  emulator::InstallFirmware(model, 0x0301, "K24A1");
  model.bootLoaderVersion = 0x0102;  // nothing to upgrade
  Type({'Y', 'l', ' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, std::string(kBanner) + kConnected + "Current Boot Loader version: 1.2\n" +
                                "Current firmware version: 3.1\nSerial number: ABCDE12345\n" + kOffer + kWarning +
                                "Replacing firmware...OK\nPress any key to exit...\n");
}

// "yly" typed while the report was still coming: the offer takes the 'y', but
// the warning is answered only by a key pressed after it appeared.
TEST_F(ReportTest, KeysTypedAheadAnswerTheOfferButNotTheWarning) {
  console.typedAhead = {'y', 'l', 'y'};
  Type({'n'});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output,
            kStartToBootLoader11 + "Current firmware version: 1.2\nSerial number: ABCDE12345\n" + kOffer + kWarning);
  EXPECT_EQ(emulator::RequestCodes(model), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber}));
}

struct RefusalCase {
  const char* name;
  std::vector<std::uint16_t> keys;  // raw values as typed
  bool reachesWarning;
};

// Cases print as their name, which keeps the test names short and stable.
void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class RefusalTest : public ReportTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, AnyOtherKeyEndsWithNothingSent) {
  console.keys.assign(GetParam().keys.begin(), GetParam().keys.end());
  EXPECT_EQ(Run(), 0);
  const std::string report = kStartToBootLoader11 + "Current firmware version: 1.2\nSerial number: ABCDE12345\n" + kOffer;
  EXPECT_EQ(console.output, GetParam().reachesWarning ? report + kWarning : report);
  EXPECT_EQ(emulator::RequestCodes(model), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion, GetSerialNumber}));
  EXPECT_TRUE(console.keys.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Keys, RefusalTest,
    ::testing::Values(RefusalCase{"n_at_offer", {'n'}, false}, RefusalCase{"enter_at_offer", {13}, false},
                      RefusalCase{"esc_at_offer", {27}, false}, RefusalCase{"f1_at_offer", {0, 0x3B}, false},
                      RefusalCase{"ctrl_c_at_offer", {3}, false}, RefusalCase{"n_at_warning", {'y', 'n'}, true},
                      RefusalCase{"enter_at_warning", {'Y', 13}, true}, RefusalCase{"esc_at_warning", {'y', 27}, true},
                      RefusalCase{"arrow_at_warning", {'y', 0, 0x48}, true},
                      // A function key whose scan code is an 'L' still is no 'L'.
                      RefusalCase{"scan_code_L_at_warning", {'y', 0, 'L'}, true}),
    [](const auto& instance) { return std::string(instance.param.name); });

struct BrokenImageCase {
  const char* name;
  void (*breakImage)(emulator::MemoryImageSource& images);
};

void PrintTo(const BrokenImageCase& c, std::ostream* out) { *out << c.name; }

class BrokenFirmwareImageTest : public ReportTest, public ::testing::WithParamInterface<BrokenImageCase> {};

TEST_P(BrokenFirmwareImageTest, EndsWithAMessageAfterTheQueriesAlone) {
  GetParam().breakImage(images);
  Type({' '});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(console.output, kStartToBootLoader11 +
                                "The firmware image in this program is missing or damaged.\n"
                                "Press any key to exit.\n");
  EXPECT_EQ(emulator::RequestCodes(model), (std::vector<std::uint8_t>{GetFirmwareVersion, GetBootLoaderVersion}));
}

INSTANTIATE_TEST_SUITE_P(
    Images, BrokenFirmwareImageTest,
    ::testing::Values(
        BrokenImageCase{"missing", [](emulator::MemoryImageSource& images) { images.images.erase("FWC"); }},
        BrokenImageCase{"short", [](emulator::MemoryImageSource& images) { images.images["FWC"].resize(48000); }},
        BrokenImageCase{"nothing_readable", [](emulator::MemoryImageSource& images) { images.images.clear(); }},
        // The digest was recorded from the image as built: one bit changed since
        // is damage, in the bytes used or in the unused tail alike.
        BrokenImageCase{"one_bit_flipped",
                        [](emulator::MemoryImageSource& images) { emulator::FlipBit(images, "FWC", 0x0100, 0); }},
        BrokenImageCase{"bit_flipped_in_the_version",
                        [](emulator::MemoryImageSource& images) { emulator::FlipBit(images, "FWC", 0x29FA, 6); }},
        BrokenImageCase{"bit_flipped_in_the_unused_tail",
                        [](emulator::MemoryImageSource& images) { emulator::FlipBit(images, "FWC", 0xFC00, 1); }},
        // Bytes that are no image at all would otherwise be offered as some
        // firmware version read out of noise.
        BrokenImageCase{"random_bytes",
                        [](emulator::MemoryImageSource& images) {
                          std::uint32_t state = 0x2545F491;
                          for (std::uint8_t& byte : images.images["FWC"]) {
                            state = state * 1664525u + 1013904223u;
                            byte = static_cast<std::uint8_t>(state >> 24);
                          }
                        }}),
    [](const auto& instance) { return std::string(instance.param.name); });

}  // namespace
}  // namespace k24::test
