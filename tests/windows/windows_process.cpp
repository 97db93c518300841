#include "tests/windows/windows_process.h"

namespace k24::test {

ChildProcess::~ChildProcess() {
  if (process_.hProcess != nullptr) {
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.hProcess, 1);
    }
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
  }
  if (readEnd_ != nullptr) {
    CloseHandle(readEnd_);
  }
}

bool ChildProcess::Start(const std::string& commandLine, DWORD flags) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE writeEnd = nullptr;
  if (CreatePipe(&readEnd_, &writeEnd, &inherit, 0) == FALSE) {
    return false;
  }
  SetHandleInformation(readEnd_, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  std::string line = commandLine;
  const BOOL started =
      CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, &process_);
  CloseHandle(writeEnd);
  if (started == FALSE) {
    process_ = {};
    return false;
  }
  return true;
}

void ChildProcess::ReadAvailable() {
  for (;;) {
    DWORD available = 0;
    if (PeekNamedPipe(readEnd_, nullptr, 0, nullptr, &available, nullptr) == FALSE || available == 0) {
      return;
    }
    char buffer[512];
    DWORD got = 0;
    if (ReadFile(readEnd_, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr) == FALSE ||
        got == 0) {
      return;
    }
    output_.append(buffer, got);
  }
}

bool ChildProcess::ReadUntil(const std::string& text, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    ReadAvailable();
    if (output_.find(text) != std::string::npos) {
      return true;
    }
    if (GetTickCount64() >= end) {
      return false;
    }
    Sleep(10);
  }
}

DWORD ChildProcess::Finish(DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (WaitForSingleObject(process_.hProcess, 10) == WAIT_TIMEOUT) {
    ReadAvailable();
    if (GetTickCount64() >= end) {
      TerminateProcess(process_.hProcess, 1);
      WaitForSingleObject(process_.hProcess, INFINITE);
      ReadAvailable();
      return STILL_ACTIVE;
    }
  }
  // The child has ended: what it wrote is all in the pipe, up to the end that
  // its closed handles make.
  for (;;) {
    char buffer[512];
    DWORD got = 0;
    if (ReadFile(readEnd_, buffer, sizeof buffer, &got, nullptr) == FALSE || got == 0) {
      break;
    }
    output_.append(buffer, got);
  }
  DWORD code = 0;
  GetExitCodeProcess(process_.hProcess, &code);
  return code;
}

DWORD ChildProcess::WaitForEnd(DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (WaitForSingleObject(process_.hProcess, 10) == WAIT_TIMEOUT) {
    ReadAvailable();
    if (GetTickCount64() >= end) {
      return STILL_ACTIVE;
    }
  }
  ReadAvailable();
  DWORD code = 0;
  GetExitCodeProcess(process_.hProcess, &code);
  return code;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

bool WriteKeyEvents(DWORD processId, const std::vector<INPUT_RECORD>& events) {
  FreeConsole();
  if (AttachConsole(processId) == FALSE) {
    return false;
  }
  const HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD written = 0;
  const bool wrote = input != INVALID_HANDLE_VALUE &&
                     WriteConsoleInputA(input, events.data(), static_cast<DWORD>(events.size()), &written) != FALSE &&
                     written == events.size();
  if (input != INVALID_HANDLE_VALUE) {
    CloseHandle(input);
  }
  FreeConsole();
  return wrote;
}

void Tap(std::vector<INPUT_RECORD>& events, WORD virtualKey, WORD scanCode, char character, DWORD controls) {
  for (const bool down : {true, false}) {
    INPUT_RECORD event{};
    event.EventType = KEY_EVENT;
    event.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
    event.Event.KeyEvent.wRepeatCount = 1;
    event.Event.KeyEvent.wVirtualKeyCode = virtualKey;
    event.Event.KeyEvent.wVirtualScanCode = scanCode;
    event.Event.KeyEvent.uChar.AsciiChar = character;
    event.Event.KeyEvent.dwControlKeyState = controls;
    events.push_back(event);
  }
}

}  // namespace k24::test
