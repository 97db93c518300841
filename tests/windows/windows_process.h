// A child process for the Windows tests: started with its standard output
// and error on a pipe that the test reads, with or without a console.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace k24::test {

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // `flags`: CreateProcess's creation flags (DETACHED_PROCESS: no console at
  // all; CREATE_NO_WINDOW: a console of its own without a window).
  bool Start(const std::string& commandLine, DWORD flags);
  // Reads output until it contains `text` or `timeoutMs` has passed.
  bool ReadUntil(const std::string& text, DWORD timeoutMs);
  // Reads the rest of the output and waits for the end; the exit code, or
  // STILL_ACTIVE when the child did not end in time (it is then ended).
  DWORD Finish(DWORD timeoutMs);
  // Waits for the child to end without waiting for the end of its output,
  // which a process that outlives it may still hold (the console host, while
  // this process stays on the child's console); the exit code, or
  // STILL_ACTIVE when it did not end in time (it is left running).
  DWORD WaitForEnd(DWORD timeoutMs);

  DWORD Id() const { return process_.dwProcessId; }
  const std::string& Output() const { return output_; }

 private:
  void ReadAvailable();

  PROCESS_INFORMATION process_{};
  HANDLE readEnd_ = nullptr;
  std::string output_;
};

// Quotes a path for a command line.
std::string Quoted(const std::string& path);

// Writes key events into the input of the console of process `processId`
// (one made with CREATE_NO_WINDOW), as a person typing there would. This
// process leaves its own console to do so.
bool WriteKeyEvents(DWORD processId, const std::vector<INPUT_RECORD>& events);

// A key pressed and released.
void Tap(std::vector<INPUT_RECORD>& events, WORD virtualKey, WORD scanCode, char character, DWORD controls = 0);

}  // namespace k24::test
