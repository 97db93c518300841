#include "testing/winusb_model_system.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cwchar>
#include <span>

namespace k24::emulator {
namespace {

wchar_t Upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }
wchar_t Lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool SameText(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return Upper(x) == Upper(y); });
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (const wchar_t c : text) narrow.push_back(c > 0 && c < 0x80 ? static_cast<char>(c) : '?');
  return narrow;
}

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

// Strings as the registry hands them over: UTF-16LE, each ended by a NUL, a
// multi-string ended by one more.
std::vector<std::uint8_t> RegistryBytes(const std::vector<std::wstring>& strings, bool multi) {
  std::vector<std::uint8_t> bytes;
  const auto put = [&bytes](wchar_t c) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
  };
  for (const std::wstring& text : strings) {
    for (const wchar_t c : text) put(c);
    put(L'\0');
  }
  if (multi) put(L'\0');
  return bytes;
}

// Hands `bytes` over as the registry and SetupAPI do: the size needed is
// always said; the bytes only when the buffer holds them.
bool HandOver(const std::vector<std::uint8_t>& bytes, PBYTE buffer, DWORD bufferSize) {
  if (buffer == nullptr || bufferSize < bytes.size()) return false;
  std::copy(bytes.begin(), bytes.end(), buffer);
  return true;
}

}  // namespace

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40];
  std::swprintf(text, 40, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned long>(guid.Data1),
                guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::wstring ModelWinusbSystem::InstanceId(const ModelDeviceNode& node) {
  wchar_t identity[32];
  std::swprintf(identity, 32, L"USB\\VID_%04X&PID_%04X\\", static_cast<unsigned>(node.vendorId),
                static_cast<unsigned>(node.productId));
  return identity + node.instanceSuffix;
}

std::wstring ModelWinusbSystem::InterfacePath(const ModelDeviceNode& node, const std::wstring& guid) {
  // "\\?\usb#vid_10c4&pid_4512#5&2b7a1c3&0&2#{8e1a5b8c-...}"
  std::wstring path = L"\\\\?\\";
  for (const wchar_t c : InstanceId(node) + L"\\" + guid) path.push_back(c == L'\\' ? L'#' : Lower(c));
  return path;
}

std::size_t ModelWinusbSystem::BindRecorder(std::size_t which, const std::wstring& locationPath) {
  ModelDeviceNode node;
  node.instanceSuffix = L"5&2B7A1C3&0&" + std::to_wstring(nodes.size() + 2);
  node.service = L"WinUSB";
  node.locationPath = locationPath;
  node.interfaceGuids = {kModelInterfaceGuid};
  node.recorder = which;
  return AddNode(node);
}

std::size_t ModelWinusbSystem::AddNode(ModelDeviceNode node) {
  nodes.push_back(std::move(node));
  return nodes.size() - 1;
}

void ModelWinusbSystem::Log(WinusbCall call) {
  if (logCalls) calls.push_back(std::move(call));
}

void ModelWinusbSystem::Fail(DWORD error) {
  lastError_ = error;
  ::SetLastError(error);
}

BOOL ModelWinusbSystem::FailTransfer(const UsbHandle& handle, UCHAR pipe, const RecorderModel& model,
                                     Outcome outcome) {
  if (outcome == Outcome::NoAnswer) {
    const auto timeout = handle.timeouts.find(pipe);
    if (model.clock != nullptr && timeout != handle.timeouts.end()) model.clock->SleepMs(timeout->second);
    Fail(ERROR_SEM_TIMEOUT);
  } else {
    Fail(model.onBus ? ERROR_GEN_FAILURE : ERROR_DEVICE_NOT_CONNECTED);
  }
  return FALSE;
}

bool ModelWinusbSystem::Present(const ModelDeviceNode& node) const {
  return !node.recorder || bus_.recorders.at(*node.recorder).model->onBus;
}

bool ModelWinusbSystem::RegistersInterface(const ModelDeviceNode& node, const std::wstring& guid) const {
  if (!Present(node) || !SameText(node.service, L"WinUSB") || !node.interfacesRegistered) return false;
  const std::size_t count = node.singleGuidValue ? std::min<std::size_t>(1, node.interfaceGuids.size())
                                                 : node.interfaceGuids.size();
  return std::any_of(node.interfaceGuids.begin(), node.interfaceGuids.begin() + static_cast<std::ptrdiff_t>(count),
                     [&guid](const std::wstring& each) { return SameText(each, guid); });
}

std::optional<std::size_t> ModelWinusbSystem::NodeOf(HDEVINFO set, const SP_DEVINFO_DATA* device) const {
  const auto it = sets_.find(set);
  if (it == sets_.end() || it->second.interfaces || device == nullptr || device->cbSize != sizeof(SP_DEVINFO_DATA) ||
      device->DevInst == 0) {
    return std::nullopt;
  }
  const std::size_t node = device->DevInst - 1;
  const std::vector<std::size_t>& listed = it->second.nodes;
  if (std::find(listed.begin(), listed.end(), node) == listed.end()) return std::nullopt;
  return node;
}

void* ModelWinusbSystem::NewHandle() {
  void* handle = reinterpret_cast<void*>(nextHandle_);
  nextHandle_ += 8;
  return handle;
}

HDEVINFO ModelWinusbSystem::SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                                 DWORD flags) {
  const std::wstring from = enumerator != nullptr ? enumerator : L"";
  DeviceSet set;
  if (classGuid == nullptr && from == L"USB" && parent == nullptr && flags == (DIGCF_ALLCLASSES | DIGCF_PRESENT)) {
    Log({"SetupDiGetClassDevsW USB"});
    ++listings;
    if (countsProbes) NoteBusProbe(bus_);  // every probe of the host starts here
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (Present(nodes[i])) set.nodes.push_back(i);
    }
  } else if (classGuid != nullptr && parent == nullptr && flags == (DIGCF_DEVICEINTERFACE | DIGCF_PRESENT)) {
    // A device instance ID as the enumerator: that device's interfaces alone.
    set.interfaces = true;
    set.guid = GuidText(*classGuid);
    Log({"SetupDiGetClassDevsW " + Narrow(set.guid) + " " + Narrow(from)});
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (SameText(InstanceId(nodes[i]), from) && RegistersInterface(nodes[i], set.guid)) set.nodes.push_back(i);
    }
  } else {
    Log({"SetupDiGetClassDevsW (not as the backend asks)"});
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const auto handle = static_cast<HDEVINFO>(NewHandle());
  sets_[handle] = set;
  ++openSets;
  return handle;
}

BOOL ModelWinusbSystem::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device) {
  const auto it = sets_.find(set);
  if (it == sets_.end() || it->second.interfaces || device == nullptr || device->cbSize != sizeof(SP_DEVINFO_DATA)) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (index >= it->second.nodes.size()) {
    Fail(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  device->ClassGuid = GUID{};
  device->DevInst = static_cast<DWORD>(it->second.nodes[index] + 1);
  device->Reserved = 0;
  return TRUE;
}

BOOL ModelWinusbSystem::SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize,
                                                    PDWORD requiredSize) {
  const std::optional<std::size_t> node = NodeOf(set, device);
  if (!node) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::wstring text = InstanceId(nodes[*node]);
  const auto needed = static_cast<DWORD>(text.size() + 1);
  if (requiredSize != nullptr) *requiredSize = needed;
  if (id == nullptr || idSize < needed) {
    Fail(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::copy(text.begin(), text.end(), id);
  id[text.size()] = L'\0';
  return TRUE;
}

BOOL ModelWinusbSystem::SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                                          PDWORD valueType, PBYTE buffer, DWORD bufferSize,
                                                          PDWORD requiredSize) {
  const std::optional<std::size_t> node = NodeOf(set, device);
  if (!node) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const ModelDeviceNode& each = nodes[*node];
  std::vector<std::uint8_t> bytes;
  DWORD type = REG_SZ;
  if (property == SPDRP_SERVICE && !each.service.empty()) {
    bytes = RegistryBytes({each.service}, false);
  } else if (property == SPDRP_LOCATION_PATHS && !each.locationPath.empty()) {
    // A second path after it, as Windows gives for a device also reached through ACPI.
    bytes = RegistryBytes({each.locationPath, L"ACPI(_SB_)#ACPI(PCI0)"}, true);
    type = REG_MULTI_SZ;
  } else {
    Fail(ERROR_INVALID_DATA);  // the device has no such property
    return FALSE;
  }
  if (requiredSize != nullptr) *requiredSize = static_cast<DWORD>(bytes.size());
  if (valueType != nullptr) *valueType = type;
  if (!HandOver(bytes, buffer, bufferSize)) {
    Fail(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  return TRUE;
}

HKEY ModelWinusbSystem::SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD scope, DWORD profile,
                                             DWORD keyType, REGSAM access) {
  const std::optional<std::size_t> node = NodeOf(set, device);
  Log({"SetupDiOpenDevRegKey"});
  // The device's hardware key ("Device Parameters"), for reading.
  if (!node || scope != DICS_FLAG_GLOBAL || profile != 0 || keyType != DIREG_DEV || access != KEY_READ) {
    Fail(ERROR_INVALID_PARAMETER);
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  }
  const auto key = static_cast<HKEY>(NewHandle());
  keys_[key] = *node;
  ++openKeys;
  return key;
}

LONG ModelWinusbSystem::RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD valueType, LPBYTE data,
                                         LPDWORD dataSize) {
  const auto it = keys_.find(key);
  const std::wstring value = name != nullptr ? name : L"";
  Log({"RegQueryValueExW " + Narrow(value)});
  if (it == keys_.end() || reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  const ModelDeviceNode& node = nodes[it->second];
  const bool holds = !node.interfaceGuids.empty() && value == (node.singleGuidValue ? L"DeviceInterfaceGUID"
                                                                                     : L"DeviceInterfaceGUIDs");
  if (!holds) return ERROR_FILE_NOT_FOUND;
  const std::vector<std::uint8_t> bytes =
      node.singleGuidValue ? RegistryBytes({node.interfaceGuids.front()}, false)
                           : RegistryBytes(node.interfaceGuids, true);
  if (valueType != nullptr) *valueType = node.singleGuidValue ? REG_SZ : REG_MULTI_SZ;
  if (dataSize == nullptr) return ERROR_SUCCESS;
  const DWORD room = *dataSize;
  *dataSize = static_cast<DWORD>(bytes.size());
  if (data == nullptr) return ERROR_SUCCESS;
  return HandOver(bytes, data, room) ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

LONG ModelWinusbSystem::RegCloseKey(HKEY key) {
  Log({"RegCloseKey"});
  if (keys_.erase(key) == 0) return ERROR_INVALID_HANDLE;
  --openKeys;
  return ERROR_SUCCESS;
}

BOOL ModelWinusbSystem::SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceGuid,
                                                    DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData) {
  const auto it = sets_.find(set);
  if (it == sets_.end() || !it->second.interfaces || device != nullptr || interfaceGuid == nullptr ||
      interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      !SameText(GuidText(*interfaceGuid), it->second.guid)) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (index >= it->second.nodes.size()) {
    Fail(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  interfaceData->InterfaceClassGuid = *interfaceGuid;
  interfaceData->Flags = SPINT_ACTIVE;
  interfaceData->Reserved = it->second.nodes[index] + 1;
  return TRUE;
}

BOOL ModelWinusbSystem::SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                                         PDWORD requiredSize, PSP_DEVINFO_DATA device) {
  const auto it = sets_.find(set);
  if (it == sets_.end() || !it->second.interfaces || interfaceData == nullptr ||
      interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || interfaceData->Reserved == 0 ||
      interfaceData->Reserved > nodes.size() || device != nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::wstring path = InterfacePath(nodes[interfaceData->Reserved - 1], it->second.guid);
  const auto needed =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(WCHAR));
  if (requiredSize != nullptr) *requiredSize = needed;
  if (detail == nullptr) {
    Fail(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    Fail(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detailSize < needed) {
    Fail(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::copy(path.begin(), path.end(), detail->DevicePath);
  detail->DevicePath[path.size()] = L'\0';
  return TRUE;
}

BOOL ModelWinusbSystem::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  if (sets_.erase(set) == 0) {
    Fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  --openSets;
  return TRUE;
}

HANDLE ModelWinusbSystem::CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                                      DWORD disposition, DWORD flags, HANDLE templateFile) {
  const std::wstring text = path != nullptr ? path : L"";
  ++createFileCalls;
  Log({"CreateFileW " + Narrow(text)});
  // As WinUSB needs it: read and write, overlapped.
  if (access != (GENERIC_READ | GENERIC_WRITE) || shareMode != (FILE_SHARE_READ | FILE_SHARE_WRITE) ||
      security != nullptr || disposition != OPEN_EXISTING ||
      flags != (FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED) || templateFile != nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const ModelDeviceNode& node = nodes[i];
    const bool matches = std::any_of(node.interfaceGuids.begin(), node.interfaceGuids.end(), [&](const auto& guid) {
      return SameText(InterfacePath(node, guid), text) && RegistersInterface(node, guid);
    });
    if (!matches) continue;
    const bool alreadyOpen =
        std::any_of(files_.begin(), files_.end(), [i](const auto& file) { return file.second == i; });
    if (alreadyOpen) {
      ++secondOpens;  // WinUSB lets one handle have the device
      Fail(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    const HANDLE file = NewHandle();
    files_[file] = i;
    ++openFiles;
    return file;
  }
  Fail(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

BOOL ModelWinusbSystem::CloseHandle(HANDLE handle) {
  Log({"CloseHandle"});
  const auto it = files_.find(handle);
  if (it == files_.end()) {
    Fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (std::any_of(usbs_.begin(), usbs_.end(), [handle](const auto& usb) { return usb.second.file == handle; })) {
    ++filesClosedUnderWinusb;
  }
  files_.erase(it);
  --openFiles;
  return TRUE;
}

BOOL ModelWinusbSystem::WinUsb_Initialize(HANDLE device, PWINUSB_INTERFACE_HANDLE usb) {
  Log({"WinUsb_Initialize"});
  const auto it = files_.find(device);
  if (it == files_.end() || usb == nullptr ||
      std::any_of(usbs_.begin(), usbs_.end(), [device](const auto& each) { return each.second.file == device; })) {
    Fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const WINUSB_INTERFACE_HANDLE handle = NewHandle();
  usbs_[handle] = UsbHandle{device, it->second, {}};
  ++openInterfaces;
  *usb = handle;
  return TRUE;
}

BOOL ModelWinusbSystem::WinUsb_Free(WINUSB_INTERFACE_HANDLE usb) {
  Log({"WinUsb_Free"});
  if (usbs_.erase(usb) == 0) {
    Fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  --openInterfaces;
  return TRUE;
}

ModelWinusbSystem::UsbHandle* ModelWinusbSystem::Usb(WINUSB_INTERFACE_HANDLE usb) {
  const auto it = usbs_.find(usb);
  return it == usbs_.end() ? nullptr : &it->second;
}

RecorderModel* ModelWinusbSystem::ModelOf(const UsbHandle& handle) {
  const ModelDeviceNode& node = nodes.at(handle.node);
  return node.recorder ? bus_.recorders.at(*node.recorder).model : nullptr;
}

BOOL ModelWinusbSystem::WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE usb, UCHAR descriptorType, UCHAR index,
                                             USHORT languageId, PUCHAR buffer, ULONG bufferLength,
                                             PULONG lengthTransferred) {
  Log({"WinUsb_GetDescriptor " + Hex(descriptorType, 2) + " " + Hex(index, 2), {}, 0, bufferLength, buffer != nullptr});
  UsbHandle* handle = Usb(usb);
  if (handle == nullptr || buffer == nullptr || lengthTransferred == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (handle->timeouts.count(0) == 0) ++untimedTransfers;
  *lengthTransferred = 0;
  RecorderModel* model = ModelOf(*handle);
  if (model == nullptr || !model->onBus) {
    Fail(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  std::vector<std::uint8_t> descriptor;
  if (descriptorType == 1 && index == 0) {
    const ModelDeviceNode& node = nodes[handle->node];
    descriptor.assign(18, 0);
    descriptor[0] = 18;    // bLength
    descriptor[1] = 1;     // DEVICE
    descriptor[2] = 0x00;  // bcdUSB 2.0, little-endian
    descriptor[3] = 0x02;
    descriptor[7] = 64;    // bMaxPacketSize0
    descriptor[8] = static_cast<std::uint8_t>(node.vendorId & 0xFF);
    descriptor[9] = static_cast<std::uint8_t>(node.vendorId >> 8);
    descriptor[10] = static_cast<std::uint8_t>(node.productId & 0xFF);
    descriptor[11] = static_cast<std::uint8_t>(node.productId >> 8);
    descriptor[15] = kModelProductStringIndex;  // iProduct
    descriptor[17] = 1;                         // one configuration
  } else if (descriptorType == 3) {
    descriptor = ReadStringDescriptor(*model, index, languageId);
  }
  if (descriptor.empty()) {
    Fail(ERROR_GEN_FAILURE);  // a stall: the device has no such descriptor
    return FALSE;
  }
  const auto moved = static_cast<ULONG>(std::min<std::size_t>(descriptor.size(), bufferLength));
  std::copy_n(descriptor.begin(), moved, buffer);
  *lengthTransferred = moved;
  return TRUE;
}

BOOL ModelWinusbSystem::WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE usb, UCHAR alternateSetting,
                                                      PUSB_INTERFACE_DESCRIPTOR descriptor) {
  Log({"WinUsb_QueryInterfaceSettings"});
  if (Usb(usb) == nullptr || descriptor == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (alternateSetting != 0) {
    Fail(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  *descriptor = USB_INTERFACE_DESCRIPTOR{};
  descriptor->bLength = 9;
  descriptor->bDescriptorType = 4;  // INTERFACE
  descriptor->bInterfaceNumber = 0;
  descriptor->bNumEndpoints = 3;
  descriptor->bInterfaceClass = 0xFF;  // vendor-specific
  return TRUE;
}

BOOL ModelWinusbSystem::WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE usb, UCHAR alternateSetting, UCHAR pipeIndex,
                                         PWINUSB_PIPE_INFORMATION pipe) {
  Log({"WinUsb_QueryPipe " + std::to_string(pipeIndex)});
  if (Usb(usb) == nullptr || pipe == nullptr || alternateSetting != 0) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // An interrupt pipe first: a host that took pipes by position would use it.
  switch (pipeIndex) {
    case 0: *pipe = WINUSB_PIPE_INFORMATION{UsbdPipeTypeInterrupt, kModelInterruptPipe, 64, 10}; break;
    case 1: *pipe = WINUSB_PIPE_INFORMATION{UsbdPipeTypeBulk, kModelBulkOutPipe, 512, 0}; break;
    case 2: *pipe = WINUSB_PIPE_INFORMATION{UsbdPipeTypeBulk, kModelBulkInPipe, 512, 0}; break;
    default:
      Fail(ERROR_NO_MORE_ITEMS);
      return FALSE;
  }
  return TRUE;
}

BOOL ModelWinusbSystem::WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE usb, UCHAR pipeId, ULONG policyType,
                                             ULONG valueLength, PVOID value) {
  UsbHandle* handle = Usb(usb);
  if (handle == nullptr || value == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (policyType == PIPE_TRANSFER_TIMEOUT) {
    ULONG timeout = 0;
    if (valueLength != sizeof timeout) {
      Fail(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::copy_n(static_cast<const std::uint8_t*>(value), sizeof timeout, reinterpret_cast<std::uint8_t*>(&timeout));
    Log({"WinUsb_SetPipePolicy " + Hex(pipeId, 2) + " PIPE_TRANSFER_TIMEOUT " + std::to_string(timeout)});
    if (timeout > 0) {
      handle->timeouts[pipeId] = timeout;
    } else {
      handle->timeouts.erase(pipeId);
    }
  } else {
    Log({"WinUsb_SetPipePolicy " + Hex(pipeId, 2) + " policy " + std::to_string(policyType)});
  }
  return TRUE;
}

BOOL ModelWinusbSystem::WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE usb, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                                               ULONG bufferLength, PULONG lengthTransferred,
                                               LPOVERLAPPED overlapped) {
  Log({"WinUsb_ControlTransfer", setup, 0, bufferLength, buffer != nullptr});
  UsbHandle* handle = Usb(usb);
  if (handle == nullptr || lengthTransferred == nullptr || overlapped != nullptr || setup.Length != bufferLength ||
      (buffer == nullptr) != (bufferLength == 0)) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (handle->timeouts.count(0) == 0) ++untimedTransfers;
  *lengthTransferred = 0;
  RecorderModel* model = ModelOf(*handle);
  // Vendor requests to the device only: 0xC0 in, 0x40 out.
  if (model == nullptr || (setup.RequestType != 0xC0 && setup.RequestType != 0x40)) {
    Fail(ERROR_GEN_FAILURE);
    return FALSE;
  }
  std::uint32_t moved = 0;
  const Outcome outcome = HandleControlAt(bus_, *nodes[handle->node].recorder, setup.RequestType == 0xC0 ? 1 : 0,
                                          setup.Request, setup.Value, setup.Index,
                                          std::span<std::uint8_t>(buffer, bufferLength), moved);
  if (outcome != Outcome::Ok) return FailTransfer(*handle, 0, *model, outcome);
  *lengthTransferred = moved;
  return TRUE;
}

BOOL ModelWinusbSystem::WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipeId, PUCHAR buffer, ULONG bufferLength,
                                        PULONG lengthTransferred, LPOVERLAPPED overlapped) {
  Log({"WinUsb_ReadPipe", {}, pipeId, bufferLength, buffer != nullptr});
  UsbHandle* handle = Usb(usb);
  if (handle == nullptr || buffer == nullptr || lengthTransferred == nullptr || overlapped != nullptr ||
      pipeId != kModelBulkInPipe) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (handle->timeouts.count(pipeId) == 0) ++untimedTransfers;
  *lengthTransferred = 0;
  RecorderModel* model = ModelOf(*handle);
  if (model == nullptr) {
    Fail(ERROR_GEN_FAILURE);
    return FALSE;
  }
  std::uint32_t moved = 0;
  const Outcome outcome =
      HandleBulkInAt(bus_, *nodes[handle->node].recorder, std::span<std::uint8_t>(buffer, bufferLength), moved);
  *lengthTransferred = moved;  // a failure reports what came before it
  if (outcome != Outcome::Ok) return FailTransfer(*handle, pipeId, *model, outcome);
  return TRUE;
}

BOOL ModelWinusbSystem::WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipeId, PUCHAR buffer,
                                         ULONG bufferLength, PULONG lengthTransferred, LPOVERLAPPED overlapped) {
  Log({"WinUsb_WritePipe", {}, pipeId, bufferLength, buffer != nullptr});
  UsbHandle* handle = Usb(usb);
  if (handle == nullptr || buffer == nullptr || lengthTransferred == nullptr || overlapped != nullptr ||
      pipeId != kModelBulkOutPipe) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (handle->timeouts.count(pipeId) == 0) ++untimedTransfers;
  *lengthTransferred = 0;
  RecorderModel* model = ModelOf(*handle);
  if (model == nullptr) {
    Fail(ERROR_GEN_FAILURE);
    return FALSE;
  }
  std::uint32_t moved = 0;
  const Outcome outcome = HandleBulkOutAt(bus_, *nodes[handle->node].recorder,
                                          std::span<const std::uint8_t>(buffer, bufferLength), moved);
  *lengthTransferred = moved;
  if (outcome != Outcome::Ok) return FailTransfer(*handle, pipeId, *model, outcome);
  return TRUE;
}

}  // namespace k24::emulator
