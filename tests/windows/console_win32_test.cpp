// The Win32 console's key reading with real console input events: a probe
// reads keys through it on a console of its own (no window), and this test
// attaches to that console and writes key events into its input.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/windows/windows_process.h"

namespace k24 {
namespace {

using test::Tap;

INPUT_RECORD Focus() {
  INPUT_RECORD event{};
  event.EventType = FOCUS_EVENT;
  event.Event.FocusEvent.bSetFocus = TRUE;
  return event;
}

// Starts the probe on a console of its own, writes `events` into that
// console's input, and returns what the probe printed after "ready".
std::string KeysReadFrom(const std::vector<INPUT_RECORD>& events, int keys, DWORD& exitCode) {
  test::ChildProcess probe;
  if (!probe.Start(test::Quoted(K24_CONSOLE_PROBE) + " " + std::to_string(keys), CREATE_NO_WINDOW)) {
    ADD_FAILURE() << "the probe did not start: error " << GetLastError();
    return {};
  }
  if (!probe.ReadUntil("ready\n", 30'000)) {
    ADD_FAILURE() << "the probe never got ready: " << probe.Output();
    return {};
  }
  EXPECT_TRUE(test::WriteKeyEvents(probe.Id(), events)) << "error " << GetLastError();
  exitCode = probe.Finish(30'000);
  const std::string& output = probe.Output();
  return output.substr(output.find("ready\n") + 6);
}

TEST(Win32ConsoleKeys, KeyPressesFoldAsOnEveryPlatformAndTheRestIsSkipped) {
  std::vector<INPUT_RECORD> events;
  Tap(events, VK_SHIFT, 0x2A, 0, SHIFT_PRESSED);    // Shift alone: skipped
  events.push_back(Focus());                        // no key at all: skipped
  Tap(events, 'A', 0x1E, 'a');                      // a letter
  Tap(events, 'A', 0x1E, 'A', SHIFT_PRESSED);       // Shift+A gives its character
  Tap(events, VK_CONTROL, 0x1D, 0, LEFT_CTRL_PRESSED);  // Ctrl alone: skipped
  Tap(events, VK_CAPITAL, 0x3A, 0, CAPSLOCK_ON);    // Caps Lock alone: skipped
  Tap(events, VK_MENU, 0x38, 0, LEFT_ALT_PRESSED);  // Alt alone: skipped
  Tap(events, VK_UP, 0x48, 0, ENHANCED_KEY);        // an arrow: 0, then its scan code
  Tap(events, VK_F11, 0x57, 0);
  Tap(events, VK_ESCAPE, 0x01, 27);                 // Esc
  DWORD exitCode = 1;
  EXPECT_EQ(KeysReadFrom(events, 5, exitCode), "0061\n0041\n4800\n5700\n001B\n");
  EXPECT_EQ(exitCode, 0u);
}

TEST(Win32ConsoleKeys, AKeyWithoutACharacterOrScanCodeStillEndsOneRead) {
  std::vector<INPUT_RECORD> events;
  Tap(events, VK_LWIN, 0, 0);  // neither a character nor a scan code
  Tap(events, 'Y', 0x15, 'y');
  Tap(events, VK_ESCAPE, 0x01, 0);  // Esc as a console on a terminal gives it: no character
  DWORD exitCode = 1;
  EXPECT_EQ(KeysReadFrom(events, 3, exitCode), "FF00\n0079\n001B\n");
  EXPECT_EQ(exitCode, 0u);
}

// Ends a console control event this process sends to a console it shares:
// the event is for the probe.
BOOL WINAPI IgnoreControl(DWORD /*event*/) { return TRUE; }

// A Ctrl+C or Ctrl+Break while the recorder is written is held: inside the
// section the console names it, and as the section ends it writes what the
// section left in the buffer, gives the console input its own mode back and
// ends the program as the console would have (STATUS_CONTROL_C_EXIT), before
// anything after it. This process stays on the probe's console meanwhile, so
// the console outlives the probe and its mode can be read afterwards.
class HeldControlEvent : public ::testing::TestWithParam<DWORD> {};

TEST_P(HeldControlEvent, IsNamedAndEndsTheProgramAsTheSectionEndsWithTheConsoleAsItWas) {
  const DWORD event = GetParam();
  const std::string name = event == CTRL_C_EVENT ? "CTRL_C_EVENT" : "CTRL_BREAK_EVENT";
  test::ChildProcess probe;
  ASSERT_TRUE(probe.Start(test::Quoted(K24_CONSOLE_PROBE) + " critical", CREATE_NO_WINDOW));
  ASSERT_TRUE(probe.ReadUntil("inside\n", 30'000)) << probe.Output();
  const std::string modeLine = probe.Output().substr(0, probe.Output().find('\n'));
  ASSERT_EQ(modeLine.rfind("mode ", 0), 0u) << probe.Output();
  const DWORD modeBefore = std::stoul(modeLine.substr(5), nullptr, 16);
  EXPECT_NE(modeBefore, static_cast<DWORD>(ENABLE_PROCESSED_INPUT)) << "the console's own mode is the quiet one";

  FreeConsole();
  ASSERT_TRUE(AttachConsole(probe.Id())) << "error " << GetLastError();
  SetConsoleCtrlHandler(IgnoreControl, TRUE);
  const BOOL sent = GenerateConsoleCtrlEvent(event, 0);  // to every process of the console
  const DWORD sendError = GetLastError();
  if (sent == FALSE && event == CTRL_BREAK_EVENT) {
    // Wine 8's console server sends Ctrl+C alone ("should support the other
    // events (like CTRL_BREAK)"); Windows sends both.
    FreeConsole();
    GTEST_SKIP() << "this system does not send CTRL_BREAK_EVENT (error " << sendError << ")";
  }
  const HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(input, INVALID_HANDLE_VALUE);
  std::vector<INPUT_RECORD> key;
  Tap(key, 'X', 0x2D, 'x');
  DWORD written = 0;
  const BOOL typed = WriteConsoleInputA(input, key.data(), static_cast<DWORD>(key.size()), &written);
  const DWORD exitCode = probe.WaitForEnd(30'000);
  DWORD modeAfter = 0;
  const BOOL modeRead = GetConsoleMode(input, &modeAfter);
  CloseHandle(input);
  FreeConsole();  // the console goes, and with it the last hold on the probe's output
  probe.Finish(30'000);
  ASSERT_TRUE(sent) << "error " << sendError;
  ASSERT_TRUE(typed);
  EXPECT_EQ(exitCode, 0xC000013Au);
  EXPECT_EQ(probe.Output(), modeLine + "\ninside\nheld: " + name + "\n");
  ASSERT_TRUE(modeRead);
  EXPECT_EQ(modeAfter, modeBefore) << "the console was left in the program's quiet mode";
}

INSTANTIATE_TEST_SUITE_P(Events, HeldControlEvent,
                         ::testing::Values(static_cast<DWORD>(CTRL_C_EVENT), static_cast<DWORD>(CTRL_BREAK_EVENT)),
                         [](const auto& instance) { return instance.param == CTRL_C_EVENT ? "CtrlC" : "CtrlBreak"; });

// Keys typed while the recorder is written are dropped before the next
// prompt: only a key pressed after it answers it.
TEST(Win32ConsoleSections, KeysTypedInASectionAreDiscardedBeforeTheNextPrompt) {
  test::ChildProcess probe;
  ASSERT_TRUE(probe.Start(test::Quoted(K24_CONSOLE_PROBE) + " discard", CREATE_NO_WINDOW));
  ASSERT_TRUE(probe.ReadUntil("inside\n", 30'000)) << probe.Output();
  std::vector<INPUT_RECORD> ahead;
  Tap(ahead, 'A', 0x1E, 'a');
  Tap(ahead, VK_UP, 0x48, 0, ENHANCED_KEY);
  Tap(ahead, 'B', 0x30, 'b');
  ASSERT_TRUE(test::WriteKeyEvents(probe.Id(), ahead)) << "error " << GetLastError();
  ASSERT_TRUE(probe.ReadUntil("discarded\n", 30'000)) << probe.Output();
  std::vector<INPUT_RECORD> after;
  Tap(after, 'C', 0x2E, 'c');
  ASSERT_TRUE(test::WriteKeyEvents(probe.Id(), after)) << "error " << GetLastError();
  EXPECT_EQ(probe.Finish(30'000), 0u);
  EXPECT_EQ(probe.Output(), "inside\ndiscarded\n0063\n");
}

// Standard output redirected: exactly the bytes the program wrote, the
// WARNING line's "\r\n" included, and no "\r" added anywhere.
TEST(Win32ConsoleOutput, WritesTheProgramsOwnBytesWhenRedirected) {
  test::ChildProcess probe;
  ASSERT_TRUE(probe.Start(test::Quoted(K24_CONSOLE_PROBE) + " write", CREATE_NO_WINDOW));
  EXPECT_EQ(probe.Finish(30'000), 0u);
  EXPECT_EQ(probe.Output(), "\r\nWARNING\r\nend\n");
}

}  // namespace
}  // namespace k24
