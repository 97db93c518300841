// Key decoding: the bytes a terminal sends for one key press, turned into the
// values the console hands the dialogue. Pure logic over a byte source with a
// time-out, so every sequence can be tried in-process; the POSIX console
// feeds it the controlling terminal.
//
// A terminal sends keys without a character (arrows, function keys, Home,
// End, Page Up/Down, Insert, Delete) as escape sequences (CSI "ESC [" or SS3
// "ESC O"). A lone Esc is told from the start of a sequence by a short
// inter-byte time-out, as terminals do. Such a key is decoded as the scan code
// a PC keyboard gives for it, so the folded key is the same on every platform
// (Up is 0x4800). Modifiers in a sequence are ignored: Ctrl+Up is Up. A
// sequence this decoder does not know is consumed whole and decoded as
// kUnknownKeyScanCode, never as Esc. A non-ASCII character (UTF-8, two to four
// bytes) is one key press: all its bytes are consumed and it is decoded as
// kUnknownKeyScanCode too, so it answers no prompt and leaves nothing behind.
#pragma once

#include <cstdint>
#include <functional>

namespace k24 {

// Scan code for a key this decoder does not know (an unknown sequence, Alt
// with a character, a non-ASCII character): it answers no prompt.
inline constexpr std::uint16_t kUnknownKeyScanCode = 0xFF;
// Scan code of the 2 key, which a PC keyboard gives for Ctrl+2.
inline constexpr std::uint16_t kCtrl2ScanCode = 0x03;

// Bytes of one key arrive together; a lone Esc is followed by silence.
// Terminals use a few tens of milliseconds to tell them apart.
inline constexpr int kKeyByteTimeoutMs = 50;

enum class ByteResult { Got, TimedOut, Lost };

// Reads one byte, waiting at most `timeoutMs` (-1: for ever). Lost: the
// source has ended (the terminal hung up).
using ReadByteFunction = std::function<ByteResult(int timeoutMs, std::uint8_t& byte)>;

struct DecodedKey {
  bool lost = false;            // the source ended before a key began
  std::uint16_t character = 0;  // the key's character, when scanCode is 0
  std::uint16_t scanCode = 0;   // non-zero for a key without a character
};

// What the decoder keeps between keys: a byte that began the next key while
// the previous one was being read (Esc pressed twice, a key cut short).
struct KeyDecoder {
  std::uint8_t pushedBack = 0;
  bool hasPushedBack = false;
};

// Reads the bytes of one key press and decodes it. Waits for ever for its
// first byte, then at most kKeyByteTimeoutMs for each further byte.
DecodedKey DecodeKey(KeyDecoder& decoder, const ReadByteFunction& readByte);

}  // namespace k24
