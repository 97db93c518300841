// The console port: message output, and single key presses read without echo.
// Only the dialogue uses it. One implementation per platform, plus the
// scripted console of the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

namespace k24 {

inline constexpr std::uint16_t kKeyEsc = 27;

class Console {
 public:
  virtual ~Console() = default;
  // Writes a message; on a terminal it is visible when Write returns.
  virtual void Write(std::string_view text) = 0;
  virtual void Flush() = 0;
  // Writes a note for the operator beside the dialogue, on standard error (a
  // device the user may not open, a history that could not be written), so
  // the dialogue's own output stays exactly as it is.
  virtual void WriteError(std::string_view text) = 0;
  // One value of a key press: the key's character, or for a key without one
  // (function keys, arrows, ...) 0 first and its scan code on the next read.
  virtual std::uint16_t ReadRawKey() = 0;
  // Whether a key press is waiting; consumes nothing.
  virtual bool KeyWaiting() = 0;
  // Sleeps until a key press is waiting, one of `alsoWatch` turns readable
  // (POSIX descriptors of other event sources, such as the USB bus's), or
  // `timeoutMs` pass, whichever comes first. Consumes nothing.
  virtual void WaitForKey(std::uint32_t timeoutMs, std::span<const int> alsoWatch) = 0;
  // Drops every key typed so far and not yet read, so that only a key pressed
  // after the prompt that follows can answer it.
  virtual void DiscardTypedAhead() = 0;
  // Whether key presses can be read at all: there is a terminal (on Windows,
  // a console) to read them from. Without one no prompt could be answered.
  virtual bool HasKeyInput() = 0;
  // Between these two the signals that end or stop the program (Ctrl+C among
  // them) are held, so the recorder is never left half written; one that came
  // in the meantime takes effect at EndCriticalSection.
  virtual void BeginCriticalSection() = 0;
  virtual void EndCriticalSection() = 0;
  // Inside a critical section: the name of a signal held there that will end
  // the program at EndCriticalSection ("SIGINT"; on Windows "CTRL_C_EVENT"
  // and the like), or nullptr when none is held. A stop (Ctrl+Z), after which
  // the program goes on, is not one.
  virtual const char* HeldEndingSignal() = 0;
};

// One key press as the dialogue compares it: a character, or a key without a
// character folded into its scan code shifted left by 8 bits (Up is 0x4800).
std::uint16_t ReadKey(Console& console);

// printf-style output through the console.
void Print(Console& console, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The console of this process: standard output (unbuffered on a terminal,
// buffered when redirected) and the controlling terminal for keys.
std::unique_ptr<Console> MakeSystemConsole();

// Runs `start` so that the threads it starts never take the signals that end
// the program; those are left to the dialogue's thread, where a critical
// section holds them. For libraries that start threads of their own.
void StartWithoutEndingSignals(const std::function<void()>& start);

}  // namespace k24
