// The serial-number fix-up after a firmware replacement, pure over the bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>

#include "recorder/serial_number.h"

namespace k24::test {
namespace {

struct SerialCase {
  const char* name;
  std::string serial;
  VersionWord current;
  VersionWord offered;
  bool sent;
  std::string sentText;
  std::string sentBytes = {};  // when given: all 21 bytes sent, terminator and what follows it included
};

void PrintTo(const SerialCase& c, std::ostream* out) { *out << c.name; }

class SerialFixUpTest : public ::testing::TestWithParam<SerialCase> {};

TEST_P(SerialFixUpTest, WorkingBufferAndDecision) {
  const SerialCase& c = GetParam();
  SerialNumber serial;
  std::copy(c.serial.begin(), c.serial.end(), serial.asRead.begin());
  serial.text = serial.asRead;
  serial.text[kSerialNumberSize - 1] = 0;  // shown cut at 20, as read
  serial.answered = true;
  std::array<std::uint8_t, kSerialNumberSize + 1> working{};
  EXPECT_EQ(FixUpSerialNumber(serial, c.current, c.offered, working), c.sent);
  if (!c.sent) return;
  // The 21 bytes sent: the text, then (when shorter) its terminator.
  const std::string sent(working.begin(), working.begin() + kSerialNumberSize);
  EXPECT_EQ(sent.substr(0, sent.find('\0')), c.sentText);
  if (c.sentText.size() == kSerialNumberSize) {
    EXPECT_EQ(sent.find('\0'), std::string::npos);
  }
  if (!c.sentBytes.empty()) {
    EXPECT_EQ(sent, c.sentBytes);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SerialFixUpTest,
    ::testing::Values(
        SerialCase{"mark_added_on_major_change", "ABCDE12345", 0x0102, 0x0200, true, "ABCDEW12345"},
        SerialCase{"marked_same_major_untouched", "ABCDEW1234", 0x0201, 0x0200, false, ""},
        SerialCase{"marked_x_same_major_untouched", "ABCDEX1234", 0x0201, 0x0203, false, ""},
        SerialCase{"marked_major_change_sent_as_is", "ABCDEW1234", 0x0102, 0x0200, true, "ABCDEW1234"},
        SerialCase{"unavailable_firmware_sent_as_is", "ABCDEX1234", 0x0000, 0x0100, true, "ABCDEX1234"},
        SerialCase{"unmarked_same_major_gets_mark", "ABCDE12345", 0x0201, 0x0200, true, "ABCDEW12345"},
        SerialCase{"twenty_become_twenty_one", "ABCDE123456789012345", 0x0102, 0x0200, true,
                   "ABCDEW123456789012345"},
        SerialCase{"shorter_than_five_unchanged", "ABC", 0x0102, 0x0200, true, "ABC"},
        SerialCase{"exactly_five_gets_the_mark", "ABCDE", 0x0102, 0x0200, true, "ABCDEW"},
        SerialCase{"empty_unchanged", "", 0x0102, 0x0200, true, ""},
        // 21 characters (an earlier update's mark in a 20-character number):
        // written back whole, never cut to the 20 shown.
        SerialCase{"twenty_one_marked_major_change_sent_whole", "ABCDEW123456789012345", 0x0102, 0x0200, true,
                   "ABCDEW123456789012345"},
        SerialCase{"twenty_one_marked_same_major_untouched", "ABCDEW123456789012345", 0x0201, 0x0200, false, ""},
        // 19 characters, marked, their terminator, then a byte that is not 0
        // in the 21st place: the number goes back exactly as the recorder
        // gave it, that byte too.
        SerialCase{"marked_nineteen_then_zero_then_a_byte_sent_as_read",
                   std::string("ABCDEW1234567890123\0Q", 21), 0x0102, 0x0200, true, "ABCDEW1234567890123",
                   std::string("ABCDEW1234567890123\0Q", 21)}),
    [](const auto& instance) { return std::string(instance.param.name); });

}  // namespace
}  // namespace k24::test
