// Runs a program in a new session, on a pseudo-terminal of its own (as its
// controlling terminal) or without any terminal, and lets a test type keys,
// watch what it prints, read the terminal's mode and wait for its end. Every
// wait is bounded; nothing here sleeps as a means of synchronisation.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <termios.h>
#include <utility>
#include <vector>

namespace k24::test {

// Generous bounds for waits on another process: the machine may be busy, and
// a passing test never waits this long.
inline constexpr std::chrono::milliseconds kPatience{20000};

struct ChildOptions {
  bool withTerminal = true;      // false: no controlling terminal at all
  bool outputToPipe = false;     // standard output to a pipe instead of the terminal
  bool inputFromPipe = false;    // standard input from a pipe the test holds (else /dev/null)
  uid_t runAsUser = 0;           // non-zero: drop to this user and its group first
  bool ignoreHangUp = false;     // started with SIGHUP ignored, as by nohup
  bool terminalNotControlling = false;  // the terminal is standard input, but not the controlling terminal
  bool ownNetworkNamespace = false;     // in a network namespace of its own (its own abstract socket names)
  bool errorsToOutput = false;          // standard error goes where standard output goes
  // Unix domain sockets refused to the program (socket(AF_UNIX, ...) fails
  // with EAFNOSUPPORT), as a service's RestrictAddressFamilies= does.
  bool denyUnixSockets = false;
  std::vector<std::pair<std::string, std::string>> environment;  // added to ours
};

class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();  // kills the child if it still runs

  bool Start(const std::vector<std::string>& argv, const ChildOptions& options = {});

  // Types bytes on the terminal's keyboard.
  bool Type(std::string_view bytes);
  // Waits until the output (terminal, or the pipe) holds `text` after what
  // earlier calls matched; carriage returns the terminal adds are dropped.
  bool WaitForOutput(std::string_view text, std::chrono::milliseconds patience = kPatience);
  // Everything read from the output so far.
  const std::string& Output() const { return output_; }
  // Reads what has arrived on the output pipe without waiting.
  void DrainOutput();

  // The terminal's current mode, read through the test's own descriptor of
  // the terminal, which also keeps the terminal alive after the child ends.
  termios Mode() const;
  const termios& StartMode() const { return startMode_; }
  // Waits until the child has the terminal in raw mode (signal keys off): it
  // is inside a key read.
  bool WaitUntilReading(std::chrono::milliseconds patience = kPatience);

  // Waits until the program has read everything typed so far.
  bool WaitUntilInputTaken(std::chrono::milliseconds patience = kPatience);

  bool Signal(int signalNumber) const;
  // Waits for the end; the wait status is in `status`.
  bool WaitForExit(int& status, std::chrono::milliseconds patience = kPatience);
  void CloseInput();
  // Closes the test's end of the output pipe: the child's next write finds no reader.
  void CloseOutput();
  // Closes the terminal's master side, as a terminal window that is closed:
  // the child's terminal hangs up.
  void HangUp();
  // Waits until `count` bytes typed are waiting, unread, in the terminal.
  bool WaitUntilInputQueued(int count, std::chrono::milliseconds patience = kPatience);

  pid_t Pid() const { return pid_; }

 private:
  void ReadAvailable(int timeoutMs);

  pid_t pid_ = -1;
  int master_ = -1;
  int slave_ = -1;
  int outputPipe_ = -1;
  int inputPipe_ = -1;
  termios startMode_{};
  std::string output_;
  std::size_t matched_ = 0;
};

// Whether two terminal modes agree in every flag and control character.
bool SameMode(const termios& a, const termios& b);

}  // namespace k24::test
