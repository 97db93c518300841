// Windows: the driver port on the EZ-USB general purpose driver, which exposes
// the recorder as "\\.\ezusb-0" ... "\\.\ezusb-8" and takes its requests
// through DeviceIoControl.
//
// The backend reaches the kernel only through EzusbKernel, whose calls have
// the Win32 functions' own parameters: k24update uses the system's, and a
// test build can answer them from a model of the recorder.
//
// A request the recorder never answers: the driver hands the request to the
// USB stack, which ends it with STATUS_IO_TIMEOUT when its time is up; Win32
// reports that as ERROR_SEM_TIMEOUT (ERROR_TIMEOUT is taken the same way).
// DeviceIoControl failing with either is a time-out to the port, any other
// failure is a failure.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "link/usb_driver.h"

namespace k24 {

// The driver's control codes.
inline constexpr DWORD kIoctlGetDeviceDescriptor = 0x222004;  // IOCTL_Ezusb_GET_DEVICE_DESCRIPTOR
inline constexpr DWORD kIoctlVendorRequest = 0x222059;        // IOCTL_EZUSB_VENDOR_OR_CLASS_REQUEST
inline constexpr DWORD kIoctlBulkRead = 0x22204E;             // IOCTL_EZUSB_BULK_READ
inline constexpr DWORD kIoctlBulkWrite = 0x222051;            // IOCTL_EZUSB_BULK_WRITE
// Asked only by a build that carries sample images, of the recorder it is
// about to write: a driver that answers it otherwise, or not at all, leaves
// such a build writing nothing.
inline constexpr DWORD kIoctlGetStringDescriptor = 0x222044;  // IOCTL_Ezusb_GET_STRING_DESCRIPTOR

// The nine device names, "ezusb-0" to "ezusb-8", opened under this prefix.
inline constexpr int kEzusbDeviceCount = 9;
inline constexpr const char* kEzusbDevicePathPrefix = "\\\\.\\";

class EzusbKernel {
 public:
  virtual ~EzusbKernel() = default;
  virtual HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile) = 0;
  virtual BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID output,
                               DWORD outputSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  // The calling thread's last error, as the failed call above left it.
  virtual DWORD GetLastError() = 0;
};

// The system's CreateFileA, DeviceIoControl, CloseHandle and GetLastError.
EzusbKernel& SystemEzusbKernel();

// The kernel under k24update's driver: the system's (program_kernels_win32.cpp).
// A test build of the program links another definition in its place.
EzusbKernel& ProgramEzusbKernel();

// Never fails: with no driver installed every name fails to open.
std::unique_ptr<UsbDriver> MakeEzusbDriver(EzusbKernel& kernel);

}  // namespace k24
