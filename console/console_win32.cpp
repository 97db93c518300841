// The console on Windows: messages to standard output, key presses from the
// console input itself ("CONIN$"), also when standard input is redirected.
//
// Keys. From the moment the console is made until the program ends, the
// console input is kept in a "quiet" mode: no line input, no echo, Ctrl+C
// still ends the program; a key typed while the recorder is being written is
// kept, unseen, for the next prompt. Key events are read one at a time with the
// mode cleared (Ctrl+C is then the key 3) and the quiet mode put back after;
// the original mode comes back when the console is destroyed. Key releases, events other than keys, and Shift, Ctrl, Alt or Caps
// Lock pressed alone are skipped. A key with a character gives that character;
// a key without one (arrows, function keys, Home, ...) gives 0 and then its
// scan code as the console reports it, so the folded key is the same as on
// every platform (Up is 0x4800, F11 0x5700).
//
// Critical sections. While the recorder is being written a console control
// handler holds Ctrl+C and Ctrl+Break (noted, acted on when the section ends,
// by ending the program as the console would have) and a console close, log
// off or shut down (its handler thread waits until the section ends, as long
// as the system lets it). Any of them held ends the program as the section
// ends, at once, with the output flushed and the console input's own mode
// given back; HeldEndingSignal names the first, so that the run's record can
// say so before.
//
// Output. Standard output and standard error in binary mode: the bytes
// written are the program's own, on a console and redirected alike (the C
// runtime's text mode would write "\n" as "\r\n", and the "\r\n" of the
// WARNING line as "\r\r\n"). A console moves to the next line's start on
// "\n". Standard output is unbuffered on a console.
//
// No console at all (a pipe, a service): HasKeyInput says so, and the program
// ends before its dialogue starts; no key is ever waiting, and a read gives a
// value that answers no prompt.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <memory>

#include "console/console.h"

namespace k24 {
namespace {

// A read with no console to read from: answers no prompt.
constexpr std::uint16_t kNoConsoleKey = 0xFFFF;
// How a Ctrl+C or Ctrl+Break ends a program (the console's own handler does so).
constexpr UINT kControlExitCode = 0xC000013A;  // STATUS_CONTROL_C_EXIT

constexpr int kNoEvent = -1;

std::atomic<int> gCriticalDepth{0};
// The first console control event held in the open section (kNoEvent: none).
std::atomic<int> gHeldEvent{kNoEvent};
HANDLE gSectionEnded = nullptr;  // manual reset; set while no section is open

const char* ControlEventName(int event) {
  switch (event) {
    case CTRL_C_EVENT: return "CTRL_C_EVENT";
    case CTRL_BREAK_EVENT: return "CTRL_BREAK_EVENT";
    case CTRL_CLOSE_EVENT: return "CTRL_CLOSE_EVENT";
    case CTRL_LOGOFF_EVENT: return "CTRL_LOGOFF_EVENT";
    case CTRL_SHUTDOWN_EVENT: return "CTRL_SHUTDOWN_EVENT";
    default: return "console control event";
  }
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (gCriticalDepth.load() == 0) {
    return FALSE;  // the console's own handling: the program ends
  }
  int none = kNoEvent;
  gHeldEvent.compare_exchange_strong(none, static_cast<int>(event));
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    return TRUE;
  }
  // Close, log off, shut down: the program ends when this returns, whatever it
  // returns; hold it until the recorder is written.
  WaitForSingleObject(gSectionEnded, INFINITE);
  return FALSE;
}

// Keys that are pressed only together with another.
bool IsModifierAlone(const KEY_EVENT_RECORD& key) {
  switch (key.wVirtualKeyCode) {
    case VK_SHIFT: case VK_CONTROL: case VK_MENU: case VK_CAPITAL:
    case VK_LSHIFT: case VK_RSHIFT: case VK_LCONTROL: case VK_RCONTROL: case VK_LMENU: case VK_RMENU:
      return true;
    default:
      return false;
  }
}

bool IsKeyPress(const INPUT_RECORD& event) {
  return event.EventType == KEY_EVENT && event.Event.KeyEvent.bKeyDown != FALSE &&
         !IsModifierAlone(event.Event.KeyEvent);
}

class Win32Console final : public Console {
 public:
  Win32Console() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    output_ = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output_ != nullptr && output_ != INVALID_HANDLE_VALUE && GetConsoleMode(output_, &mode) != FALSE) {
      std::setvbuf(stdout, nullptr, _IONBF, 0);  // on a console a message shows when written
    }
    input_ = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    if (input_ != INVALID_HANDLE_VALUE && GetConsoleMode(input_, &originalMode_) == FALSE) {
      CloseHandle(input_);
      input_ = INVALID_HANDLE_VALUE;
    }
    if (input_ != INVALID_HANDLE_VALUE) {
      SetConsoleMode(input_, kQuietMode);
    }
    gSectionEnded = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  }
  Win32Console(const Win32Console&) = delete;
  Win32Console& operator=(const Win32Console&) = delete;
  ~Win32Console() override {
    RestoreInputMode();
    if (input_ != INVALID_HANDLE_VALUE) {
      CloseHandle(input_);
    }
  }

  void Write(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), stdout); }

  void Flush() override { std::fflush(stdout); }

  void WriteError(std::string_view text) override {
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }

  std::uint16_t ReadRawKey() override {
    if (pendingScanCode_ != 0) {
      const std::uint16_t scanCode = pendingScanCode_;
      pendingScanCode_ = 0;
      return scanCode;
    }
    if (lost_) {
      return kKeyEsc;
    }
    if (input_ == INVALID_HANDLE_VALUE) {
      return kNoConsoleKey;
    }
    Flush();
    SetConsoleMode(input_, 0);
    std::uint16_t key = kKeyEsc;
    for (;;) {
      INPUT_RECORD event{};
      DWORD read = 0;
      if (ReadConsoleInputA(input_, &event, 1, &read) == FALSE || read == 0) {
        lost_ = true;  // the console went away: Esc from now on
        break;
      }
      if (!IsKeyPress(event)) {
        continue;
      }
      const KEY_EVENT_RECORD& pressed = event.Event.KeyEvent;
      auto character = static_cast<std::uint8_t>(pressed.uChar.AsciiChar);
      if (character == 0 && pressed.wVirtualKeyCode == VK_ESCAPE) {
        character = kKeyEsc;  // a console on a terminal (Wine's) gives Esc no character
      }
      if (character != 0) {
        key = character;
      } else {
        pendingScanCode_ = pressed.wVirtualScanCode != 0 ? pressed.wVirtualScanCode : kUnknownScanCode;
        key = 0;
      }
      break;
    }
    SetConsoleMode(input_, kQuietMode);
    return key;
  }

  bool KeyWaiting() override {
    if (pendingScanCode_ != 0 || lost_) {
      return true;
    }
    if (input_ == INVALID_HANDLE_VALUE) {
      return false;
    }
    // Events that are no key press are taken out of the way, so the answer
    // is about the next event that ReadRawKey would deliver.
    for (;;) {
      DWORD count = 0;
      if (GetNumberOfConsoleInputEvents(input_, &count) == FALSE) {
        lost_ = true;
        return true;
      }
      if (count == 0) {
        return false;
      }
      INPUT_RECORD event{};
      DWORD peeked = 0;
      if (PeekConsoleInputA(input_, &event, 1, &peeked) == FALSE) {
        lost_ = true;
        return true;
      }
      if (peeked == 0) {
        return false;
      }
      if (IsKeyPress(event)) {
        return true;
      }
      DWORD read = 0;
      ReadConsoleInputA(input_, &event, 1, &read);
    }
  }

  // The driver gives no bus events to watch here: the wait is for a key or
  // the time, and the caller probes again after it.
  void WaitForKey(std::uint32_t milliseconds, std::span<const int> /*alsoWatch*/) override {
    if (KeyWaiting()) {
      return;
    }
    if (input_ == INVALID_HANDLE_VALUE) {
      Sleep(milliseconds);
      return;
    }
    // The console hands key events to a program that waits on its input.
    WaitForSingleObject(input_, milliseconds);
  }

  void DiscardTypedAhead() override {
    pendingScanCode_ = 0;
    if (input_ != INVALID_HANDLE_VALUE) {
      FlushConsoleInputBuffer(input_);
    }
  }

  void BeginCriticalSection() override {
    if (gCriticalDepth.fetch_add(1) == 0 && gSectionEnded != nullptr) {
      ResetEvent(gSectionEnded);
    }
  }

  void EndCriticalSection() override {
    if (gCriticalDepth.fetch_sub(1) != 1) {
      return;
    }
    const bool held = gHeldEvent.exchange(kNoEvent) != kNoEvent;
    if (gSectionEnded != nullptr) {
      SetEvent(gSectionEnded);  // a close, log off or shut down held meanwhile goes on
    }
    // Whatever was held ends the program here, as the console would have:
    // at once, not some moment later on the way into the next write.
    if (held) {
      Flush();
      RestoreInputMode();  // the console outlives the program: not left quiet
      ExitProcess(kControlExitCode);
    }
  }

  // Every held event ends the program: Ctrl+C and Ctrl+Break here, a close,
  // log off or shut down once its handler returns.
  const char* HeldEndingSignal() override {
    const int event = gHeldEvent.load();
    return gCriticalDepth.load() > 0 && event != kNoEvent ? ControlEventName(event) : nullptr;
  }

  bool HasKeyInput() override { return input_ != INVALID_HANDLE_VALUE || lost_; }

 private:
  void RestoreInputMode() {
    if (input_ != INVALID_HANDLE_VALUE) {
      SetConsoleMode(input_, originalMode_);
    }
  }

  // A key without a character whose scan code the console does not give.
  static constexpr std::uint16_t kUnknownScanCode = 0xFF;

  static constexpr DWORD kQuietMode = ENABLE_PROCESSED_INPUT;

  DWORD originalMode_ = 0;
  HANDLE output_ = INVALID_HANDLE_VALUE;
  HANDLE input_ = INVALID_HANDLE_VALUE;
  std::uint16_t pendingScanCode_ = 0;
  bool lost_ = false;
};

}  // namespace

std::unique_ptr<Console> MakeSystemConsole() { return std::make_unique<Win32Console>(); }

void StartWithoutEndingSignals(const std::function<void()>& start) {
  start();  // console control events come on a thread of their own, never these
}

}  // namespace k24
