// Windows: the driver port on WinUSB (winusb.sys, part of Windows since
// Vista), bound to the recorder once per PC with Zadig or an INF.
//
// Finding the recorders. SetupAPI lists the USB devices present; those whose
// device instance ID is the recorder's identity ("USB\VID_10C4&PID_4512\...")
// are looked at one by one. Its driver is the device's service: "WinUSB"
// (any case) is this backend's; one whose name holds "ezusb" is left to the
// EZ-USB backend; no service, or any other, is a device no usable driver
// serves. A WinUSB device is opened through a device interface that WinUSB
// registered for it, under the interface class GUIDs its installer wrote to
// the device's registry key (the "DeviceInterfaceGUIDs" value, REG_MULTI_SZ,
// as Zadig's and Microsoft's INFs and the Microsoft OS descriptors write it;
// else "DeviceInterfaceGUID", REG_SZ): the first GUID under which the device
// has an interface present gives the path for CreateFileW. That GUID is
// chosen by whoever installed the driver (Zadig makes one per device), so it
// is read, never assumed. Its place is its location path, the first of
// SPDRP_LOCATION_PATHS ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(4)"),
// which stays the same when the recorder restarts on the same port.
//
// A handle of the port opens nothing. The device is opened (CreateFileW,
// WinUsb_Initialize) at the first call that needs it, and closed
// (WinUsb_Free, CloseHandle) with the handle, so everything is closed again
// within the link's operation. Every transfer has a time-out: WinUSB's pipes
// have none until one is set (PIPE_TRANSFER_TIMEOUT). A transfer the
// recorder never answers is cancelled by WinUSB when that time-out passes,
// and WinUsb_ControlTransfer, WinUsb_ReadPipe or WinUsb_WritePipe fails with
// ERROR_SEM_TIMEOUT (ERROR_TIMEOUT is taken the same way): a time-out to the
// port; any other failure is a failure.
//
// The backend reaches the system only through WinusbSystem, whose calls have
// the Win32 functions' own parameters: k24update uses the system's (SetupAPI,
// the registry and WinUSB loaded at run time from the system directory, so a
// Windows without winusb.dll still runs), and a test build answers them from
// a model of the recorder.
#pragma once

#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

#include <cstdint>
#include <memory>

#include "link/usb_driver.h"

namespace k24 {

// How long any transfer may take, as on Linux: a dead or wedged recorder must
// not hang the program.
inline constexpr ULONG kWinusbTransferTimeoutMs = 5000;

// The service name WinUSB installs under.
inline constexpr const wchar_t* kWinusbServiceName = L"WinUSB";

class WinusbSystem {
 public:
  virtual ~WinusbSystem() = default;
  // Whether the calls below can be made at all: the system's answers false
  // when winusb.dll, setupapi.dll or advapi32.dll, or a function in them,
  // could not be had.
  virtual bool Available() = 0;

  // SetupAPI.
  virtual HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags) = 0;
  virtual BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device) = 0;
  virtual BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize,
                                           PDWORD requiredSize) = 0;
  virtual BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                                 PDWORD valueType, PBYTE buffer, DWORD bufferSize,
                                                 PDWORD requiredSize) = 0;
  virtual HKEY SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD scope, DWORD profile,
                                    DWORD keyType, REGSAM access) = 0;
  virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceGuid,
                                           DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData) = 0;
  virtual BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                                PDWORD requiredSize, PSP_DEVINFO_DATA device) = 0;
  virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;

  // The registry.
  virtual LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD valueType, LPBYTE data,
                                LPDWORD dataSize) = 0;
  virtual LONG RegCloseKey(HKEY key) = 0;

  // Files.
  virtual HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;

  // WinUSB.
  virtual BOOL WinUsb_Initialize(HANDLE device, PWINUSB_INTERFACE_HANDLE usb) = 0;
  virtual BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE usb) = 0;
  virtual BOOL WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE usb, UCHAR descriptorType, UCHAR index,
                                    USHORT languageId, PUCHAR buffer, ULONG bufferLength,
                                    PULONG lengthTransferred) = 0;
  virtual BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE usb, UCHAR alternateSetting,
                                             PUSB_INTERFACE_DESCRIPTOR descriptor) = 0;
  virtual BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE usb, UCHAR alternateSetting, UCHAR pipeIndex,
                                PWINUSB_PIPE_INFORMATION pipe) = 0;
  virtual BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE usb, UCHAR pipeId, ULONG policyType, ULONG valueLength,
                                    PVOID value) = 0;
  virtual BOOL WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE usb, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                                      ULONG bufferLength, PULONG lengthTransferred, LPOVERLAPPED overlapped) = 0;
  virtual BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipeId, PUCHAR buffer, ULONG bufferLength,
                               PULONG lengthTransferred, LPOVERLAPPED overlapped) = 0;
  virtual BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipeId, PUCHAR buffer, ULONG bufferLength,
                                PULONG lengthTransferred, LPOVERLAPPED overlapped) = 0;

  // The calling thread's last error, as the failed call above left it.
  virtual DWORD GetLastError() = 0;
};

// The system's calls, from setupapi.dll, advapi32.dll and winusb.dll in the
// system directory, loaded at the first call.
WinusbSystem& SystemWinusb();

// The system under k24update's WinUSB backend: the system's
// (program_kernels_win32.cpp). A test build of the program links another
// definition in its place.
WinusbSystem& ProgramWinusbSystem();

// Never fails: without WinUSB, or with no device bound to it, it lists none.
// Only devices of vendorId:productId are looked at (and opened).
std::unique_ptr<UsbDriver> MakeWinusbDriver(WinusbSystem& system, std::uint16_t vendorId, std::uint16_t productId);

}  // namespace k24
