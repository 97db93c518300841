// The system console driven through a pseudo-terminal: the probe program reads
// keys with ReadKey while the test types on the terminal's keyboard and reads
// the terminal's mode from outside.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/child_process.h"

namespace k24::test {
namespace {

const std::string kProbe = K24_PLATFORM_PROBE;

std::string KeyLine(std::uint16_t key) {
  char text[16];
  std::snprintf(text, sizeof text, "key=%04x\n", key);
  return text;
}

ChildOptions PipedOutput() {
  ChildOptions options;
  options.outputToPipe = true;
  return options;
}

ChildOptions NoTerminal() {
  ChildOptions options;
  options.withTerminal = false;
  return options;
}

struct KeyCase {
  const char* name;
  std::string typed;
  std::vector<std::uint16_t> keys;  // as ReadKey folds them
};

// The decoding of every key is tested in-process (key_decoder_test.cpp); here
// the keys whose reading depends on the terminal's timing and on the console's
// delivery of a key without a character in two reads.
// The prompt has no line end and the test waits for it before typing: the
// output reaches the terminal unbuffered. Standard input is /dev/null: keys
// come from the controlling terminal itself.
TEST(SystemConsole, ReadsKeysFromTheTerminalWithEscTiming) {
  const std::vector<KeyCase> cases = {
      {"plain key", "a", {'a'}},
      {"lone Esc", "\x1b", {27}},
      {"Esc twice", "\x1b\x1b", {27, 27}},
      {"Ctrl+2 (NUL) is one key and swallows none", std::string("\0x", 2), {0x0300, 'x'}},
      {"Up (CSI)", "\x1b[A", {0x4800}},
      {"F12", "\x1b[24~", {0x5800}},
      {"unknown sequence, consumed whole", "\x1b[99~b", {0xFF00, 'b'}},
  };
  std::size_t total = 0;
  for (const KeyCase& c : cases) {
    total += c.keys.size();
  }
  Child probe;
  ASSERT_TRUE(probe.Start({kProbe, "keys", std::to_string(total)}));
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(probe.WaitForOutput("Press a key: "));
    ASSERT_TRUE(probe.WaitUntilReading());
    ASSERT_TRUE(probe.Type(c.typed));
    for (std::size_t i = 0; i < c.keys.size(); ++i) {
      if (i > 0) {
        ASSERT_TRUE(probe.WaitForOutput("Press a key: "));
      }
      ASSERT_TRUE(probe.WaitForOutput(KeyLine(c.keys[i]))) << probe.Output();
    }
  }
  int status = 0;
  ASSERT_TRUE(probe.WaitForExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A character of several bytes is one key press: the program that read it
// leaves none of its bytes behind for the shell.
TEST(SystemConsole, NonAsciiCharacterIsOneKeyAndLeavesNothingBehind) {
  Child probe;
  ASSERT_TRUE(probe.Start({kProbe, "keys", "1"}));
  ASSERT_TRUE(probe.WaitForOutput("Press a key: "));
  ASSERT_TRUE(probe.WaitUntilReading());
  ASSERT_TRUE(probe.Type("\xc3\xa9"));
  int status = 0;
  ASSERT_TRUE(probe.WaitForExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(probe.WaitForOutput(KeyLine(0xFF00), std::chrono::seconds(1))) << probe.Output();
  EXPECT_TRUE(probe.WaitUntilInputTaken(std::chrono::milliseconds(0))) << "bytes left unread in the terminal";
}

TEST(SystemConsole, ReadsInRawModeAndRestoresTheTerminalAtExit) {
  Child probe;
  ASSERT_TRUE(probe.Start({kProbe, "keys", "1"}));
  ASSERT_TRUE(probe.WaitForOutput("Press a key: "));
  ASSERT_TRUE(probe.WaitUntilReading());
  const termios reading = probe.Mode();
  EXPECT_EQ(reading.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(reading.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
  EXPECT_NE(reading.c_oflag & OPOST, 0u) << "line ends must still reach the screen as new lines";
  ASSERT_TRUE(probe.Type("z"));
  ASSERT_TRUE(probe.WaitForOutput(KeyLine('z')));
  int status = 0;
  ASSERT_TRUE(probe.WaitForExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(SameMode(probe.Mode(), probe.StartMode()));
}

// A signal that ends the program during a read, or Ctrl+C outside a read,
// leaves the terminal as it found it and the redirected output flushed.
TEST(SystemConsole, SignalsEndTheProgramWithTheTerminalRestoredAndOutputFlushed) {
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signalNumber);
    Child probe;
    ASSERT_TRUE(probe.Start({kProbe, "bulk"}, PipedOutput()));
    ASSERT_TRUE(probe.WaitUntilReading());
    ASSERT_TRUE(probe.Signal(signalNumber));
    int status = 0;
    ASSERT_TRUE(probe.WaitForExit(status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
    EXPECT_TRUE(SameMode(probe.Mode(), probe.StartMode()));
    probe.DrainOutput();
    EXPECT_EQ(probe.Output(), std::string(600, '.') + "Press a key: ");
  }

  Child idle;
  ASSERT_TRUE(idle.Start({kProbe, "idle"}));
  ASSERT_TRUE(idle.WaitForOutput("idle\n"));
  ASSERT_TRUE(idle.Type("\x03"));
  int status = 0;
  ASSERT_TRUE(idle.WaitForExit(status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_TRUE(SameMode(idle.Mode(), idle.StartMode()));
}

// Without a terminal (a service), an ending signal still flushes what the
// program wrote to a pipe or file.
TEST(SystemConsole, SignalWithoutATerminalStillFlushesTheOutput) {
  const std::string marker = ::testing::TempDir() + "k24_idle_" + std::to_string(getpid());
  std::remove(marker.c_str());
  ChildOptions options = NoTerminal();
  options.outputToPipe = true;
  Child probe;
  ASSERT_TRUE(probe.Start({kProbe, "idle", marker}, options));
  for (int i = 0; i < 5000 && access(marker.c_str(), F_OK) != 0; ++i) {
    usleep(1000);
  }
  ASSERT_EQ(access(marker.c_str(), F_OK), 0) << "the probe never got going";
  ASSERT_TRUE(probe.Signal(SIGTERM));
  int status = 0;
  ASSERT_TRUE(probe.WaitForExit(status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  probe.DrainOutput();
  EXPECT_EQ(probe.Output(), "idle\n");
  std::remove(marker.c_str());
}

// A reader that goes away does not end the program: it writes on and exits normally.
TEST(SystemConsole, ClosedOutputPipeDoesNotEndTheProgram) {
  Child probe;
  ASSERT_TRUE(probe.Start({kProbe, "bulk"}, PipedOutput()));
  ASSERT_TRUE(probe.WaitUntilReading());
  probe.CloseOutput();
  ASSERT_TRUE(probe.Type("k"));
  int status = 0;
  ASSERT_TRUE(probe.WaitForExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(SystemConsole, RedirectedOutputGoesOutIn512ByteBlocksAndAtExit) {
  Child probe;
  ASSERT_TRUE(probe.Start({kProbe, "bulk"}, PipedOutput()));
  ASSERT_TRUE(probe.WaitUntilReading());
  probe.DrainOutput();
  EXPECT_EQ(probe.Output(), std::string(512, '.'));
  ASSERT_TRUE(probe.Type("k"));
  int status = 0;
  ASSERT_TRUE(probe.WaitForExit(status));
  probe.DrainOutput();
  EXPECT_EQ(probe.Output(), std::string(600, '.') + "Press a key: " + KeyLine('k'));
}

// A single key press is seen without Enter, seeing it twice consumes nothing,
// and the key read afterwards is whole (also a sequence).
TEST(SystemConsole, KeyWaitingSeesOneKeyPressAndConsumesNothing) {
  Child probe;
  ASSERT_TRUE(probe.Start({kProbe, "peek", "2"}));
  for (const auto& [typed, key] : std::vector<std::pair<std::string, std::uint16_t>>{{"x", 'x'},
                                                                                     {"\x1b[B", 0x5000}}) {
    ASSERT_TRUE(probe.WaitForOutput("peek\n"));
    ASSERT_TRUE(probe.Type(typed));
    ASSERT_TRUE(probe.WaitForOutput("waiting=1 again=1\n" + KeyLine(key))) << probe.Output();
  }
  int status = 0;
  ASSERT_TRUE(probe.WaitForExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The connection wait's sleep ends at a key press (which it leaves to be
// read) or when a watched descriptor turns readable (here standard input, in
// place of the USB bus's event descriptor), long before its time-out.
TEST(SystemConsole, WaitForKeyWakesOnAKeyOrAWatchedDescriptor) {
  ChildOptions fromPipe;
  fromPipe.inputFromPipe = true;
  {
    Child probe;
    ASSERT_TRUE(probe.Start({kProbe, "sleep"}, fromPipe));
    ASSERT_TRUE(probe.WaitForOutput("sleeping\n"));
    ASSERT_TRUE(probe.Type("x"));
    ASSERT_TRUE(probe.WaitForOutput("woke waiting=1\n" + KeyLine('x'))) << probe.Output();
    int status = 0;
    ASSERT_TRUE(probe.WaitForExit(status));
  }
  {
    Child probe;
    ASSERT_TRUE(probe.Start({kProbe, "sleep"}, fromPipe));
    ASSERT_TRUE(probe.WaitForOutput("sleeping\n"));
    probe.CloseInput();  // end of file: readable
    ASSERT_TRUE(probe.WaitForOutput("woke waiting=0\n")) << probe.Output();
    int status = 0;
    ASSERT_TRUE(probe.WaitForExit(status));
  }
}

// Whether `signalNumber` is pending for the whole process `pid` (sent, not yet
// taken by any thread); none once the process is gone.
std::optional<bool> PendingForProcess(pid_t pid, int signalNumber) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("ShdPnd:", 0) == 0) {
      const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      return ((mask >> (signalNumber - 1)) & 1U) != 0;
    }
  }
  return std::nullopt;
}

// Waits until the signal is pending (`pending`) or taken (`!pending`), or the
// process has ended.
bool WaitForPending(const Child& child, int signalNumber, bool pending) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  for (;;) {
    const std::optional<bool> now = PendingForProcess(child.Pid(), signalNumber);
    if (!now || *now == pending) {
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    usleep(1000);
  }
}

// Signals that would end the program wait for the end of a critical section,
// also when the kernel hands them to a thread other than the one in the
// section (a "bystander" that a library started with the signals unblocked);
// inside it the console names the one held (pending, or taken by the
// bystander), and then it ends the program the usual way: by that signal,
// terminal restored.
TEST(SystemConsole, EndingSignalsWaitForTheEndOfACriticalSection) {
  struct Case {
    const char* how;
    int signalNumber;
    bool typed;        // Ctrl+C on the keyboard rather than kill
    bool bystander;    // another thread takes the signal while the section is open
    const char* name;  // as HeldEndingSignal gives it inside the section
  };
  for (const Case& c : {Case{"SIGINT", SIGINT, false, true, "SIGINT"}, Case{"SIGTERM", SIGTERM, false, true, "SIGTERM"},
                        Case{"SIGHUP", SIGHUP, false, true, "SIGHUP"},
                        Case{"SIGTERM, one thread", SIGTERM, false, false, "SIGTERM"},
                        Case{"Ctrl+C, one thread", SIGINT, true, false, "SIGINT"}}) {
    SCOPED_TRACE(c.how);
    ChildOptions options;
    options.inputFromPipe = true;
    Child probe;
    ASSERT_TRUE(probe.Start({kProbe, "critical", c.bystander ? "bystander" : "alone"}, options));
    ASSERT_TRUE(probe.WaitForOutput("inside\n"));
    ASSERT_TRUE(c.typed ? probe.Type("\x03") : probe.Signal(c.signalNumber));
    // The section ends only once the program has the signal: alone, it waits
    // blocked; with a bystander, that thread takes it at once.
    ASSERT_TRUE(WaitForPending(probe, c.signalNumber, !c.bystander));
    probe.CloseInput();
    int status = 0;
    ASSERT_TRUE(probe.WaitForExit(status));
    probe.DrainOutput();
    if (c.bystander) {
      // The bystander may take the signal just as the section ends, and its
      // handler then ends the program a moment later, while the main thread
      // goes on: what matters is that nothing ended it inside the section.
      EXPECT_EQ(probe.Output().rfind(std::string("inside\nending, held: ") + c.name + "\n", 0), 0u) << probe.Output();
    } else {
      EXPECT_EQ(probe.Output(), std::string("inside\nending, held: ") + c.name + "\n");
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signalNumber) << status;
    EXPECT_TRUE(SameMode(probe.Mode(), probe.StartMode()));
  }
}

// A crash puts the terminal back as it was before the program dies of it.
TEST(SystemConsole, CrashRestoresTheTerminal) {
  for (const int signalNumber : {SIGSEGV, SIGBUS, SIGFPE, SIGABRT}) {
    SCOPED_TRACE(signalNumber);
    Child probe;
    ASSERT_TRUE(probe.Start({kProbe, "crash", std::to_string(signalNumber)}));
    int status = 0;
    ASSERT_TRUE(probe.WaitForExit(status));
    probe.DrainOutput();
    EXPECT_EQ(probe.Output(), "crashing\n");
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
    EXPECT_TRUE(SameMode(probe.Mode(), probe.StartMode()));
  }
}

// Bytes typed before a discard are gone, also an incomplete key; the first
// key typed after it is the one read.
TEST(SystemConsole, DiscardDropsWhatWasTypedAheadOnly) {
  ChildOptions options;
  options.inputFromPipe = true;
  Child probe;
  ASSERT_TRUE(probe.Start({kProbe, "discard"}, options));
  ASSERT_TRUE(probe.WaitForOutput("type ahead\n"));
  ASSERT_TRUE(probe.Type("yly"));
  ASSERT_TRUE(probe.WaitUntilInputQueued(3));
  probe.CloseInput();
  ASSERT_TRUE(probe.WaitForOutput("Press a key: "));
  ASSERT_TRUE(probe.Type("z"));
  int status = 0;
  ASSERT_TRUE(probe.WaitForExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  probe.DrainOutput();
  EXPECT_EQ(probe.Output(), "type ahead\nPress a key: " + KeyLine('z'));
}

// A terminal that hangs up while SIGHUP is ignored: every key read from then
// on is Esc, which answers no prompt and ends the connection wait.
TEST(SystemConsole, LostTerminalGivesEscForEveryKey) {
  ChildOptions options = PipedOutput();
  options.ignoreHangUp = true;
  Child probe;
  ASSERT_TRUE(probe.Start({kProbe, "keys", "2"}, options));
  ASSERT_TRUE(probe.WaitUntilReading());
  probe.HangUp();
  int status = 0;
  ASSERT_TRUE(probe.WaitForExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  probe.DrainOutput();
  EXPECT_EQ(probe.Output(), "Press a key: " + KeyLine(27) + "Press a key: " + KeyLine(27));

  // Outside a read, as in the connection wait: a key is waiting, and it is Esc.
  Child peeking;
  ASSERT_TRUE(peeking.Start({kProbe, "peek", "1"}, options));
  // Its output is buffered: the console has the terminal once echo is off.
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while ((peeking.Mode().c_lflag & ECHO) != 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the probe never took the terminal";
    usleep(1000);
  }
  peeking.HangUp();
  ASSERT_TRUE(peeking.WaitForExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  peeking.DrainOutput();
  EXPECT_EQ(peeking.Output(), "peek\nwaiting=1 again=1\n" + KeyLine(27));
}

TEST(SystemConsole, WithoutATerminalReturnsANoAnswerKeyAtOnce) {
  Child probe;
  ASSERT_TRUE(probe.Start({kProbe, "nokey"}, NoTerminal()));
  int status = 0;
  ASSERT_TRUE(probe.WaitForExit(status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  probe.DrainOutput();
  EXPECT_EQ(probe.Output(), "waiting=0\nkey=ffff\nkey=ffff\n");
}

}  // namespace
}  // namespace k24::test
