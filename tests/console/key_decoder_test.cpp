// The key decoder over a scripted byte source: every sequence a terminal may
// send, in-process. The source delivers its bytes in bursts; between two
// bursts lies a pause longer than the decoder's inter-byte time-out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/key_decoder.h"

namespace k24::test {
namespace {

class ScriptedBytes {
 public:
  explicit ScriptedBytes(std::vector<std::string> bursts) : bursts_(std::move(bursts)) {}

  ByteResult Read(int timeoutMs, std::uint8_t& byte) {
    while (burst_ < bursts_.size() && position_ == bursts_[burst_].size()) {
      ++burst_;
      position_ = 0;
      if (timeoutMs >= 0) {
        return ByteResult::TimedOut;  // the pause before the next burst outlasts the wait
      }
    }
    if (burst_ == bursts_.size()) {
      return timeoutMs >= 0 ? ByteResult::TimedOut : ByteResult::Lost;
    }
    byte = static_cast<std::uint8_t>(bursts_[burst_][position_++]);
    return ByteResult::Got;
  }

 private:
  std::vector<std::string> bursts_;
  std::size_t burst_ = 0;
  std::size_t position_ = 0;
};

// Every key in the bursts, folded as ReadKey folds them (a key without a
// character is its scan code shifted left by 8).
std::vector<std::uint16_t> DecodeAll(ScriptedBytes& bytes) {
  KeyDecoder decoder;
  const ReadByteFunction read = [&bytes](int timeoutMs, std::uint8_t& byte) { return bytes.Read(timeoutMs, byte); };
  std::vector<std::uint16_t> keys;
  for (;;) {
    const DecodedKey key = DecodeKey(decoder, read);
    if (key.lost) return keys;
    keys.push_back(key.scanCode != 0 ? static_cast<std::uint16_t>(key.scanCode << 8) : key.character);
  }
}

struct KeyCase {
  const char* name;
  std::vector<std::string> bursts;
  std::vector<std::uint16_t> keys;
};

TEST(KeyDecoder, DecodesEachKeyAsTheDialogueComparesIt) {
  const std::vector<KeyCase> cases = {
      {"plain key", {"a"}, {'a'}},
      {"lone Esc", {"\x1b"}, {27}},
      {"Esc twice", {"\x1b\x1b"}, {27, 27}},
      {"Enter", {"\r"}, {13}},
      {"Ctrl+C", {"\x03"}, {3}},
      {"Ctrl+2 (NUL) is one key and swallows none", {std::string("\0x", 2)}, {0x0300, 'x'}},
      {"Up (CSI)", {"\x1b[A"}, {0x4800}},
      {"Down (SS3)", {"\x1bOB"}, {0x5000}},
      {"Left", {"\x1b[D"}, {0x4B00}},
      {"Right", {"\x1b[C"}, {0x4D00}},
      {"Ctrl+Up", {"\x1b[1;5A"}, {0x4800}},
      {"F1 (SS3)", {"\x1bOP"}, {0x3B00}},
      {"F1 (vt)", {"\x1b[11~"}, {0x3B00}},
      {"F1 (Linux console)", {"\x1b[[A"}, {0x3B00}},
      {"F5 (Linux console), the last of its five", {"\x1b[[E"}, {0x3F00}},
      {"F4 (CSI)", {"\x1b[S"}, {0x3E00}},
      {"F5", {"\x1b[15~"}, {0x3F00}},
      {"F10", {"\x1b[21~"}, {0x4400}},
      {"F11", {"\x1b[23~"}, {0x5700}},
      {"F12", {"\x1b[24~"}, {0x5800}},
      {"Home", {"\x1b[H"}, {0x4700}},
      {"Home (vt)", {"\x1b[1~"}, {0x4700}},
      {"End", {"\x1b[F"}, {0x4F00}},
      {"End (SS3)", {"\x1bOF"}, {0x4F00}},
      {"Page Up", {"\x1b[5~"}, {0x4900}},
      {"Page Down", {"\x1b[6~"}, {0x5100}},
      {"Insert", {"\x1b[2~"}, {0x5200}},
      {"Delete", {"\x1b[3~"}, {0x5300}},
      // A modifier parameter after the key's number changes nothing: Ctrl+Delete is Delete.
      {"Ctrl+Delete", {"\x1b[3;5~"}, {0x5300}},
      {"unknown sequence, consumed whole", {"\x1b[99~b"}, {0xFF00, 'b'}},
      {"Alt+x", {"\x1bx"}, {0xFF00}},
      {"a sequence cut by the next Esc", {"\x1b[1\x1b"}, {0xFF00, 27}},
      // Keys split by a pause: the time-out tells a lone Esc from a sequence.
      {"Esc, then a pause, then [A", {"\x1b", "[A"}, {27, '[', 'A'}},
      {"a sequence cut short by a pause", {"\x1b[", "A"}, {0xFF00, 'A'}},
      // A non-ASCII character is one key press, whatever its length.
      {"UTF-8 character of two bytes", {"\xc3\xa9"}, {0xFF00}},
      {"UTF-8 character of three bytes", {"\xe2\x82\xac"}, {0xFF00}},
      {"UTF-8 character of four bytes, then a key", {"\xf0\x9f\x98\x80y"}, {0xFF00, 'y'}},
      {"Alt with a UTF-8 character", {"\x1b\xc3\xa9"}, {0xFF00}},
      {"UTF-8 character cut short by a pause", {"\xe2\x82", "y"}, {0xFF00, 'y'}},
      {"UTF-8 character cut by the next key", {"\xc3y"}, {0xFF00, 'y'}},
      {"a stray continuation byte", {"\xa9y"}, {0xFF00, 'y'}},
      // 0xC0 and 0xC1 begin no character (they could only begin an overlong
      // one): each is a key of its own, and so is the byte after it.
      {"lead byte 0xC0", {"\xc0\xa9"}, {0xFF00, 0xFF00}},
      {"lead byte 0xC1", {"\xc1\xbf"}, {0xFF00, 0xFF00}},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedBytes bytes(c.bursts);
    EXPECT_EQ(DecodeAll(bytes), c.keys);
  }
}

}  // namespace
}  // namespace k24::test
