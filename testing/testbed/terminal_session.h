// k24update as a child process on a pseudo-terminal of its own: the testbed
// reads everything it prints and types keys into it, either from a script
// (each key once its prompt has appeared) or from the user's own terminal.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace k24::emulator {

struct ScriptedKey {
  std::string prompt;  // typed once this text has appeared after the previous prompt
  std::string bytes;   // what the key sends down the line
};

// Bytes of a key by name: "esc", "enter", "space", "up", "down", "f1",
// "ctrl-c", "\xNN", or the text itself ("Y", "l").
std::string KeyBytes(const std::string& name);

class TerminalSession {
 public:
  TerminalSession() = default;
  ~TerminalSession();
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;

  // Starts `argv` on a new pseudo-terminal as its controlling terminal. A
  // scripted session's terminal neither echoes nor turns "\n" into "\r\n", so
  // the captured output is byte for byte what the program wrote; a session
  // for a person behaves like an ordinary terminal.
  // With `runAsUser` non-zero the program runs as that user (and group).
  // With `errorsApart` its standard error goes to a pipe of its own, read
  // with TakeErrors, instead of the terminal.
  bool Start(const std::vector<std::string>& argv, bool forPerson, std::string& error, uid_t runAsUser = 0,
             bool errorsApart = false);

  // Waits up to `milliseconds` for output (and, for a person, for keys to
  // pass on); returns the new output. Empty once the child's side is closed.
  std::string Pump(int milliseconds, bool passKeysFromStdin);

  // The size limit (ulimit -f) the program is started with, in bytes.
  void LimitFileSize(std::uint64_t bytes) { fileSizeLimit_ = bytes; }

  void Type(const std::string& bytes);

  // What the program wrote to its standard error since the last call, when
  // it is kept apart; never waits.
  std::string TakeErrors();

  // The exit code once the child has ended (reaping it), else none.
  std::optional<int> ExitCode();
  // Sends a signal to the child while it runs; false once it has ended.
  bool Signal(int signalNumber);
  void Kill();
  bool OutputClosed() const { return outputClosed_; }
  pid_t Pid() const { return child_; }
  // The CPU time (user and system) the child used, once it has been reaped.
  std::optional<double> CpuMs() const { return cpuMs_; }

 private:
  pid_t child_ = -1;
  int master_ = -1;
  int errors_ = -1;  // the read end of the standard error pipe
  bool outputClosed_ = false;
  std::optional<int> exitCode_;
  std::optional<double> cpuMs_;
  std::optional<std::uint64_t> fileSizeLimit_;
};

}  // namespace k24::emulator
