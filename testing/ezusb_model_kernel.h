// Windows tests: the kernel calls of the EZ-USB backend (CreateFileA,
// DeviceIoControl, CloseHandle) answered by the recorder model behind an
// EmulatedBus, as the driver would answer them: device paths "\\.\ezusb-N",
// the four control codes with their records and buffers, and a log of the
// calls as the backend made them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "link/driver_ezusb.h"
#include "testing/emulated_bus.h"

namespace k24::emulator {

struct KernelCall {
  std::string what;                  // "CreateFileA \\.\ezusb-0", "DeviceIoControl 0x222059", "CloseHandle"
  std::vector<std::uint8_t> input;   // DeviceIoControl's input bytes
  DWORD outputSize = 0;
  bool outputGiven = false;          // a non-null output buffer
};

class ModelEzusbKernel final : public EzusbKernel {
 public:
  explicit ModelEzusbKernel(EmulatedBus& bus) : bus_(bus) {}

  HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                     DWORD disposition, DWORD flags, HANDLE templateFile) override;
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID output,
                       DWORD outputSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) override;
  BOOL CloseHandle(HANDLE handle) override;
  DWORD GetLastError() override { return lastError_; }

  std::vector<KernelCall> calls;
  bool logCalls = true;
  int openHandles = 0;
  int createFileCalls = 0;  // every CreateFileA, whether it opened or not

 private:
  EmulatedBus& bus_;
  std::map<HANDLE, DriverHandle> open_;
  std::uintptr_t nextHandle_ = 0x4000;
  DWORD lastError_ = ERROR_SUCCESS;
  void Fail(DWORD error) {
    lastError_ = error;
    SetLastError(error);
  }
};

}  // namespace k24::emulator
