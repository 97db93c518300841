// Windows tests: the calls of the WinUSB backend (SetupAPI, the registry,
// CreateFileW and WinUSB) answered by the recorders of a RecorderBus, as
// Windows answers them: the USB devices present as device nodes with their
// instance IDs, services, location paths and registry values; device
// interfaces and their paths; the recorder's interface with an interrupt pipe
// listed before its two bulk pipes; and a log of the calls as the backend
// made them, with a count of every handle, set and key still open.
//
// Checks that a careless host would fail on: the buffer sizes and cbSize
// fields SetupAPI checks, the flags CreateFileW must have for WinUSB, a
// device opened a second time while it is open (WinUSB is exclusive), a
// transfer on a pipe whose time-out was never set (a real one could wait for
// ever), a setup packet whose length is not its buffer's.
//
// A recorder that gives no answer (the model's Outcome::NoAnswer) fails its
// transfer as WinUSB does when the pipe's time-out passes: ERROR_SEM_TIMEOUT.
#pragma once

#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "link/driver_winusb.h"
#include "testing/recorder_model.h"

namespace k24::emulator {

// The interface class GUID the tests' installer wrote (Zadig makes one per
// device; any will do).
inline constexpr const wchar_t* kModelInterfaceGuid = L"{8E1A5B8C-2D4F-4C67-9B1E-3F6A7D2C5E90}";

// The recorder's pipes, in the order its interface lists them.
inline constexpr UCHAR kModelInterruptPipe = 0x83;
inline constexpr UCHAR kModelBulkOutPipe = 0x02;
inline constexpr UCHAR kModelBulkInPipe = 0x81;

// A device node that Windows lists under the USB enumerator.
struct ModelDeviceNode {
  std::uint16_t vendorId = 0x10C4;
  std::uint16_t productId = 0x4512;
  std::wstring instanceSuffix;  // after "USB\VID_xxxx&PID_xxxx\": "5&2B7A1C3&0&2"
  std::wstring service;         // SPDRP_SERVICE; empty: no driver bound
  std::wstring locationPath;    // the first of SPDRP_LOCATION_PATHS; empty: none
  // The interface class GUIDs in the device's registry key, as text: under
  // "DeviceInterfaceGUIDs" (REG_MULTI_SZ), or with `singleGuidValue` under
  // "DeviceInterfaceGUID" (REG_SZ, the first alone); none: no such value.
  std::vector<std::wstring> interfaceGuids;
  bool singleGuidValue = false;
  // Whether WinUSB registered its interfaces (under every GUID above that
  // parses) while the device is present with the service "WinUSB".
  bool interfacesRegistered = true;
  // The recorder on the bus behind it (present while its model is on the
  // bus); none: a device that is always present and answers nothing.
  std::optional<std::size_t> recorder;
};

struct WinusbCall {
  std::string what;  // "CreateFileW \\?\usb#vid_10c4&pid_4512#...", "WinUsb_ControlTransfer", ...
  WINUSB_SETUP_PACKET setup{};  // WinUsb_ControlTransfer
  UCHAR pipe = 0;               // pipe calls
  ULONG length = 0;             // the buffer's length
  bool bufferGiven = false;     // a non-null buffer
};

class ModelWinusbSystem final : public WinusbSystem {
 public:
  explicit ModelWinusbSystem(RecorderBus& bus) : bus_(bus) {}

  // Binds recorder `which` of the bus to WinUSB at `locationPath`, as Zadig
  // does; returns its node's index.
  std::size_t BindRecorder(std::size_t which, const std::wstring& locationPath);
  std::size_t AddNode(ModelDeviceNode node);
  // The path of a node's device interface, as Windows writes it.
  static std::wstring InterfacePath(const ModelDeviceNode& node, const std::wstring& guid);
  static std::wstring InstanceId(const ModelDeviceNode& node);

  bool Available() override { return available; }
  HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags) override;
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device) override;
  BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize,
                                   PDWORD requiredSize) override;
  BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, PDWORD valueType,
                                         PBYTE buffer, DWORD bufferSize, PDWORD requiredSize) override;
  HKEY SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD scope, DWORD profile, DWORD keyType,
                            REGSAM access) override;
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceGuid, DWORD index,
                                   PSP_DEVICE_INTERFACE_DATA interfaceData) override;
  BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                        PDWORD requiredSize, PSP_DEVINFO_DATA device) override;
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
  LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD valueType, LPBYTE data,
                        LPDWORD dataSize) override;
  LONG RegCloseKey(HKEY key) override;
  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                     DWORD flags, HANDLE templateFile) override;
  BOOL CloseHandle(HANDLE handle) override;
  BOOL WinUsb_Initialize(HANDLE device, PWINUSB_INTERFACE_HANDLE usb) override;
  BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE usb) override;
  BOOL WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE usb, UCHAR descriptorType, UCHAR index, USHORT languageId,
                            PUCHAR buffer, ULONG bufferLength, PULONG lengthTransferred) override;
  BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE usb, UCHAR alternateSetting,
                                     PUSB_INTERFACE_DESCRIPTOR descriptor) override;
  BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE usb, UCHAR alternateSetting, UCHAR pipeIndex,
                        PWINUSB_PIPE_INFORMATION pipe) override;
  BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE usb, UCHAR pipeId, ULONG policyType, ULONG valueLength,
                            PVOID value) override;
  BOOL WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE usb, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                              ULONG bufferLength, PULONG lengthTransferred, LPOVERLAPPED overlapped) override;
  BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipeId, PUCHAR buffer, ULONG bufferLength,
                       PULONG lengthTransferred, LPOVERLAPPED overlapped) override;
  BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipeId, PUCHAR buffer, ULONG bufferLength,
                        PULONG lengthTransferred, LPOVERLAPPED overlapped) override;
  DWORD GetLastError() override { return lastError_; }

  std::vector<ModelDeviceNode> nodes;
  bool available = true;     // what Available answers
  bool logCalls = true;
  // Whether each listing of the USB devices counts as one presence probe of
  // the bus (a restart's absence lasts a few). Off where another front door
  // already counts the host's probes.
  bool countsProbes = true;
  std::vector<WinusbCall> calls;

  // Left open: device information sets, registry keys, files, WinUSB handles.
  int openSets = 0;
  int openKeys = 0;
  int openFiles = 0;
  int openInterfaces = 0;
  int createFileCalls = 0;
  int listings = 0;          // SetupDiGetClassDevsW calls for the USB devices
  // Mistakes seen: a transfer on a pipe without a time-out, a file closed
  // while WinUSB still had it, a device opened while it was open.
  int untimedTransfers = 0;
  int filesClosedUnderWinusb = 0;
  int secondOpens = 0;

 private:
  struct DeviceSet {
    std::vector<std::size_t> nodes;  // devices: the nodes present when it was made
    bool interfaces = false;         // interfaces: of nodes[0], under `guid`
    std::wstring guid;
  };
  struct UsbHandle {
    HANDLE file = nullptr;
    std::size_t node = 0;
    std::map<UCHAR, ULONG> timeouts;  // PIPE_TRANSFER_TIMEOUT by pipe, where set (milliseconds)
  };

  void Log(WinusbCall call);
  // Leaves `error` as the calling thread's last error, as Windows does.
  void Fail(DWORD error);
  // A transfer the recorder did not carry out, as WinUSB fails it: one it
  // never answered ends when the pipe's time-out has passed (on the model's
  // clock, when it has one) with ERROR_SEM_TIMEOUT; a stall with
  // ERROR_GEN_FAILURE; a device gone with ERROR_DEVICE_NOT_CONNECTED.
  BOOL FailTransfer(const UsbHandle& handle, UCHAR pipe, const RecorderModel& model, Outcome outcome);
  bool Present(const ModelDeviceNode& node) const;
  bool RegistersInterface(const ModelDeviceNode& node, const std::wstring& guid) const;
  // The node an SP_DEVINFO_DATA of `set` names; none when it names none.
  std::optional<std::size_t> NodeOf(HDEVINFO set, const SP_DEVINFO_DATA* device) const;
  UsbHandle* Usb(WINUSB_INTERFACE_HANDLE usb);
  RecorderModel* ModelOf(const UsbHandle& handle);
  void* NewHandle();

  RecorderBus& bus_;
  std::map<HDEVINFO, DeviceSet> sets_;
  std::map<HKEY, std::size_t> keys_;
  std::map<HANDLE, std::size_t> files_;
  std::map<WINUSB_INTERFACE_HANDLE, UsbHandle> usbs_;
  std::uintptr_t nextHandle_ = 0x7000;
  DWORD lastError_ = ERROR_SUCCESS;
};

// The GUID as text, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper case).
std::wstring GuidText(const GUID& guid);

}  // namespace k24::emulator
