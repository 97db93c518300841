#include "console/key_decoder.h"

namespace k24 {
namespace {

constexpr std::uint8_t kEscape = 0x1B;
// Longest sequence read before giving up on finding its end.
constexpr int kMaxSequenceLength = 32;

// PC scan code for the final byte of "ESC [ <final>" or "ESC O <final>".
std::uint16_t ScanCodeForFinal(std::uint8_t finalByte) {
  switch (finalByte) {
    case 'A': return 0x48;  // Up
    case 'B': return 0x50;  // Down
    case 'C': return 0x4D;  // Right
    case 'D': return 0x4B;  // Left
    case 'H': return 0x47;  // Home
    case 'F': return 0x4F;  // End
    case 'P': return 0x3B;  // F1
    case 'Q': return 0x3C;  // F2
    case 'R': return 0x3D;  // F3
    case 'S': return 0x3E;  // F4
    default: return kUnknownKeyScanCode;
  }
}

// PC scan code for "ESC [ <number> ~" (vt220 style keys).
std::uint16_t ScanCodeForNumber(int number) {
  switch (number) {
    case 1: case 7: return 0x47;  // Home
    case 2: return 0x52;          // Insert
    case 3: return 0x53;          // Delete
    case 4: case 8: return 0x4F;  // End
    case 5: return 0x49;          // Page Up
    case 6: return 0x51;          // Page Down
    case 11: return 0x3B;         // F1
    case 12: return 0x3C;         // F2
    case 13: return 0x3D;         // F3
    case 14: return 0x3E;         // F4
    case 15: return 0x3F;         // F5
    case 17: return 0x40;         // F6
    case 18: return 0x41;         // F7
    case 19: return 0x42;         // F8
    case 20: return 0x43;         // F9
    case 21: return 0x44;         // F10
    case 23: return 0x57;         // F11
    case 24: return 0x58;         // F12
    default: return kUnknownKeyScanCode;
  }
}

// Count of bytes that follow a UTF-8 lead byte; 0 for a byte that begins no
// character (a stray continuation byte, or one never used in UTF-8).
int ContinuationBytes(std::uint8_t lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 1;
  if (lead >= 0xE0 && lead <= 0xEF) return 2;
  if (lead >= 0xF0 && lead <= 0xF4) return 3;
  return 0;
}

bool IsContinuationByte(std::uint8_t byte) { return byte >= 0x80 && byte <= 0xBF; }

class Decoding {
 public:
  Decoding(KeyDecoder& decoder, const ReadByteFunction& readByte) : decoder_(decoder), readByte_(readByte) {}

  DecodedKey Key() {
    std::uint8_t byte = 0;
    if (Next(-1, byte) != ByteResult::Got) {
      return DecodedKey{true, 0, 0};
    }
    if (byte == 0) {
      // Ctrl+2 (Ctrl+@, Ctrl+Space) sends NUL. Delivered as 0 alone it would
      // be taken for the first half of a key without a character and swallow
      // the next key press: it is such a key, with the PC's scan code for it.
      return Extended(kCtrl2ScanCode);
    }
    if (byte >= 0x80) {
      return Extended(ReadCharacterRest(byte));
    }
    if (byte != kEscape) {
      return DecodedKey{false, byte, 0};
    }
    std::uint8_t introducer = 0;
    if (Next(kKeyByteTimeoutMs, introducer) != ByteResult::Got) {
      return DecodedKey{false, kEscape, 0};  // a lone Esc
    }
    if (introducer == kEscape) {
      PushBack(introducer);  // Esc pressed twice: two keys
      return DecodedKey{false, kEscape, 0};
    }
    if (introducer == '[') {
      return Extended(ReadControlSequence());
    }
    if (introducer == 'O') {
      return Extended(ReadSs3Sequence());
    }
    // Alt with a character key, which terminals send as ESC and the
    // character: one key, and neither Esc nor an answer to a prompt.
    if (introducer >= 0x80) {
      ReadCharacterRest(introducer);
    }
    return Extended(kUnknownKeyScanCode);
  }

 private:
  static DecodedKey Extended(std::uint16_t scanCode) { return DecodedKey{false, 0, scanCode}; }

  ByteResult Next(int timeoutMs, std::uint8_t& byte) {
    if (decoder_.hasPushedBack) {
      decoder_.hasPushedBack = false;
      byte = decoder_.pushedBack;
      return ByteResult::Got;
    }
    return readByte_(timeoutMs, byte);
  }

  void PushBack(std::uint8_t byte) {
    decoder_.pushedBack = byte;
    decoder_.hasPushedBack = true;
  }

  // The rest of a non-ASCII character after its first byte: consumed, so none
  // of it is left for a later prompt or, after the program, for the shell.
  std::uint16_t ReadCharacterRest(std::uint8_t lead) {
    for (int remaining = ContinuationBytes(lead); remaining > 0; --remaining) {
      std::uint8_t byte = 0;
      if (Next(kKeyByteTimeoutMs, byte) != ByteResult::Got) {
        break;  // cut short: what arrived is consumed
      }
      if (!IsContinuationByte(byte)) {
        PushBack(byte);  // the next key began before this character ended
        break;
      }
    }
    return kUnknownKeyScanCode;
  }

  // After "ESC [": parameter bytes, intermediate bytes, one final byte.
  std::uint16_t ReadControlSequence() {
    int firstNumber = 0;
    bool inFirstNumber = true;
    bool firstByte = true;
    for (int length = 0; length < kMaxSequenceLength; ++length) {
      std::uint8_t byte = 0;
      if (Next(kKeyByteTimeoutMs, byte) != ByteResult::Got) {
        return kUnknownKeyScanCode;  // cut short: what arrived is consumed
      }
      if (byte == kEscape) {
        PushBack(byte);  // the next key began before this one ended
        return kUnknownKeyScanCode;
      }
      if (firstByte && byte == '[') {
        // Linux console: F1-F5 are "ESC [ [ A" to "ESC [ [ E".
        std::uint8_t letter = 0;
        if (Next(kKeyByteTimeoutMs, letter) != ByteResult::Got) {
          return kUnknownKeyScanCode;
        }
        return letter >= 'A' && letter <= 'E' ? static_cast<std::uint16_t>(0x3B + (letter - 'A'))
                                              : kUnknownKeyScanCode;
      }
      firstByte = false;
      if (byte >= '0' && byte <= '9') {
        if (inFirstNumber && firstNumber < 1000) {
          firstNumber = firstNumber * 10 + (byte - '0');
        }
        continue;
      }
      if (byte >= 0x20 && byte <= 0x3F) {
        inFirstNumber = false;  // ';' and the modifier parameter, or intermediates
        continue;
      }
      if (byte >= 0x40 && byte <= 0x7E) {
        return byte == '~' ? ScanCodeForNumber(firstNumber) : ScanCodeForFinal(byte);
      }
      return kUnknownKeyScanCode;  // not a control sequence after all
    }
    return kUnknownKeyScanCode;
  }

  // After "ESC O": an optional modifier digit, then the final byte.
  std::uint16_t ReadSs3Sequence() {
    for (int length = 0; length < kMaxSequenceLength; ++length) {
      std::uint8_t byte = 0;
      if (Next(kKeyByteTimeoutMs, byte) != ByteResult::Got) {
        return kUnknownKeyScanCode;  // Alt+O, or cut short
      }
      if (byte == kEscape) {
        PushBack(byte);
        return kUnknownKeyScanCode;
      }
      if (byte >= 0x30 && byte <= 0x3F) {
        continue;
      }
      return ScanCodeForFinal(byte);
    }
    return kUnknownKeyScanCode;
  }

  KeyDecoder& decoder_;
  const ReadByteFunction& readByte_;
};

}  // namespace

DecodedKey DecodeKey(KeyDecoder& decoder, const ReadByteFunction& readByte) {
  return Decoding(decoder, readByte).Key();
}

}  // namespace k24
