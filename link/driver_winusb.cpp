// The driver port on WinUSB (Windows). How devices are found, opened and
// closed: driver_winusb.h.
#include "link/driver_winusb.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "link/link_records.h"

namespace k24 {
namespace {

// The PnP enumerator of USB devices, and what SetupAPI is asked for there.
constexpr const wchar_t* kUsbEnumerator = L"USB";
constexpr DWORD kUsbDevicesPresent = DIGCF_ALLCLASSES | DIGCF_PRESENT;
constexpr DWORD kInterfacesPresent = DIGCF_DEVICEINTERFACE | DIGCF_PRESENT;

// The device registry key's values that name the device interface classes.
constexpr const wchar_t* kInterfaceGuidsValue = L"DeviceInterfaceGUIDs";  // REG_MULTI_SZ
constexpr const wchar_t* kInterfaceGuidValue = L"DeviceInterfaceGUID";    // REG_SZ

// Device instance IDs are at most 200 characters (MAX_DEVICE_ID_LEN).
constexpr DWORD kInstanceIdChars = 256;
// A registry property or value read at once; a longer one is asked again.
constexpr DWORD kFirstReadBytes = 512;
// A string descriptor is at most 255 bytes (its length is one byte).
constexpr ULONG kMaxStringDescriptorSize = 255;

constexpr UCHAR kDeviceDescriptorType = 1;  // USB_DEVICE_DESCRIPTOR_TYPE
constexpr UCHAR kStringDescriptorType = 3;  // USB_STRING_DESCRIPTOR_TYPE
constexpr UCHAR kDefaultControlPipe = 0;
constexpr UCHAR kPipeDirectionIn = 0x80;
constexpr UCHAR kRecorderAlternateSetting = 0;

wchar_t FoldCase(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return FoldCase(x) == FoldCase(y); });
}

bool ContainsIgnoringCase(const std::wstring& text, const std::wstring& part) {
  return std::search(text.begin(), text.end(), part.begin(), part.end(), [](wchar_t x, wchar_t y) {
           return FoldCase(x) == FoldCase(y);
         }) != text.end();
}

bool StartsIgnoringCase(const std::wstring& text, const std::wstring& start) {
  return text.size() >= start.size() && EqualIgnoringCase(text.substr(0, start.size()), start);
}

// Instance IDs and location paths are ASCII; anything else shows as '?'.
std::string Narrow(const std::wstring& text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (const wchar_t c : text) {
    narrow.push_back(c > 0 && c < 0x80 ? static_cast<char>(c) : '?');
  }
  return narrow;
}

// "USB\VID_10C4&PID_4512\": the start of the instance ID of a device of this
// identity that is not one function of a composite device.
std::wstring IdentityPrefix(std::uint16_t vendorId, std::uint16_t productId) {
  constexpr const char* kHex = "0123456789ABCDEF";
  std::wstring prefix = L"USB\\VID_";
  for (int shift = 12; shift >= 0; shift -= 4) {
    prefix.push_back(static_cast<wchar_t>(kHex[(vendorId >> shift) & 0xF]));
  }
  prefix += L"&PID_";
  for (int shift = 12; shift >= 0; shift -= 4) {
    prefix.push_back(static_cast<wchar_t>(kHex[(productId >> shift) & 0xF]));
  }
  prefix += L"\\";
  return prefix;
}

// The strings of a REG_SZ or REG_MULTI_SZ value as the system hands it over
// (UTF-16LE, each string ended by a NUL, which a value written carelessly may
// lack); empty strings are dropped.
std::vector<std::wstring> RegistryStrings(std::span<const std::uint8_t> bytes) {
  std::vector<std::wstring> strings;
  std::wstring current;
  for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
    const auto unit = static_cast<wchar_t>(GetLe16(bytes, at));
    if (unit == L'\0') {
      if (!current.empty()) {
        strings.push_back(current);
      }
      current.clear();
    } else {
      current.push_back(unit);
    }
  }
  if (!current.empty()) {
    strings.push_back(current);
  }
  return strings;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// "{8E1A5B8C-2D4F-4C67-9B1E-3F6A7D2C5E90}" as a GUID; none when it is not
// written so (spaces around it are allowed).
std::optional<GUID> ParseGuid(const std::wstring& written) {
  const std::size_t first = written.find_first_not_of(L" \t");
  const std::size_t last = written.find_last_not_of(L" \t");
  if (first == std::wstring::npos) {
    return std::nullopt;
  }
  const std::wstring text = written.substr(first, last - first + 1);
  // The positions of the dashes, and the 32 hex digits in between.
  if (text.size() != 38 || text.front() != L'{' || text.back() != L'}' || text[9] != L'-' || text[14] != L'-' ||
      text[19] != L'-' || text[24] != L'-') {
    return std::nullopt;
  }
  std::array<std::uint8_t, 16> bytes{};  // the GUID's digits in the order written
  std::size_t digit = 0;
  for (std::size_t at = 1; at + 1 < text.size(); ++at) {
    if (text[at] == L'-') {
      continue;
    }
    const int value = HexDigit(text[at]);
    if (value < 0) {
      return std::nullopt;
    }
    bytes.at(digit / 2) = static_cast<std::uint8_t>(bytes.at(digit / 2) << 4 | value);
    ++digit;
  }
  GUID guid{};
  guid.Data1 = GetBe32(bytes, 0);
  guid.Data2 = GetBe16(bytes, 4);
  guid.Data3 = GetBe16(bytes, 6);
  std::copy(bytes.begin() + 8, bytes.end(), std::begin(guid.Data4));
  return guid;
}

// A device of the identity as the last listing found it.
struct ListedDevice {
  std::wstring path;                 // the device interface's path, for CreateFileW
  std::optional<std::string> place;  // its location path
};

// The device behind a handle of the port, between Open and Close.
struct OpenDevice {
  std::string name;
  std::wstring path;
  std::optional<std::string> place;
  HANDLE file = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE usb = nullptr;
  bool openFailed = false;      // not tried again on this handle
  bool pipesFound = false;      // the bulk pipes below were looked up
  UCHAR bulkIn = 0;             // 0: none
  UCHAR bulkOut = 0;
  bool bulkInTimed = false;     // PIPE_TRANSFER_TIMEOUT set on bulkIn
  bool bulkOutTimed = false;
};

class WinusbDriver final : public UsbDriver {
 public:
  WinusbDriver(WinusbSystem& system, std::uint16_t vendorId, std::uint16_t productId)
      : system_(system), vendorId_(vendorId), productId_(productId), prefix_(IdentityPrefix(vendorId, productId)) {}
  WinusbDriver(const WinusbDriver&) = delete;
  WinusbDriver& operator=(const WinusbDriver&) = delete;
  ~WinusbDriver() override {
    for (auto& [handle, open] : open_) {
      Release(open);
    }
  }

  std::vector<std::string> DeviceNames() override {
    devices_.clear();
    unserved_.clear();
    std::vector<std::string> names;
    if (!system_.Available()) {
      return names;
    }
    const HDEVINFO set = system_.SetupDiGetClassDevsW(nullptr, kUsbEnumerator, nullptr, kUsbDevicesPresent);
    if (set == INVALID_HANDLE_VALUE) {
      return names;
    }
    for (DWORD index = 0;; ++index) {
      SP_DEVINFO_DATA device{};
      device.cbSize = sizeof device;
      if (system_.SetupDiEnumDeviceInfo(set, index, &device) == FALSE) {
        break;  // ERROR_NO_MORE_ITEMS, or the list cannot be read further
      }
      const std::optional<std::wstring> id = InstanceId(set, device);
      if (!id || !StartsIgnoringCase(*id, prefix_)) {
        continue;
      }
      const std::optional<std::string> place = LocationPath(set, device);
      const std::vector<std::wstring> service = RegistryStrings(Property(set, device, SPDRP_SERVICE));
      if (!service.empty() && ContainsIgnoringCase(service.front(), L"ezusb")) {
        continue;  // the EZ-USB backend's
      }
      std::optional<std::wstring> path;
      if (!service.empty() && EqualIgnoringCase(service.front(), kWinusbServiceName)) {
        path = InterfacePath(set, device, *id);
      }
      if (!path) {
        // No driver, another one, or WinUSB without an interface to open.
        unserved_.push_back(place.value_or(""));
        continue;
      }
      const std::string name = Narrow(*id);
      devices_[name] = ListedDevice{*path, place};
      names.push_back(name);
    }
    system_.SetupDiDestroyDeviceInfoList(set);
    return names;
  }

  std::optional<DriverHandle> Open(const std::string& name) override {
    const auto it = devices_.find(name);
    if (it == devices_.end()) {
      return std::nullopt;
    }
    const DriverHandle handle = nextHandle_++;
    OpenDevice& open = open_[handle];
    open.name = name;
    open.path = it->second.path;
    open.place = it->second.place;
    return handle;
  }

  void Close(DriverHandle handle) override {
    const auto it = open_.find(handle);
    if (it == open_.end()) {
      return;
    }
    Release(it->second);
    open_.erase(it);
  }

  bool TellsPlaces() override { return system_.Available(); }

  std::optional<std::string> PlaceOf(DriverHandle handle) override {
    const OpenDevice* open = Find(handle);
    return open == nullptr ? std::nullopt : open->place;
  }

  bool SawUnservedDevice(std::uint16_t vendorId, std::uint16_t productId, const std::string& place) override {
    if (vendorId != vendorId_ || productId != productId_) {
      return false;
    }
    return std::any_of(unserved_.begin(), unserved_.end(),
                       [&place](const std::string& at) { return place.empty() || at == place; });
  }

  bool GetDeviceDescriptor(DriverHandle handle, std::span<std::uint8_t, 18> descriptor) override {
    OpenDevice* open = Opened(handle);
    if (open == nullptr) {
      return false;
    }
    std::array<UCHAR, kDeviceDescriptorSize> bytes{};
    ULONG length = 0;
    if (system_.WinUsb_GetDescriptor(open->usb, kDeviceDescriptorType, 0, 0, bytes.data(),
                                     static_cast<ULONG>(bytes.size()), &length) == FALSE ||
        length != bytes.size()) {
      return false;
    }
    std::copy(bytes.begin(), bytes.end(), descriptor.begin());
    return true;
  }

  std::optional<std::string> ProductString(DriverHandle handle) override {
    std::array<std::uint8_t, kDeviceDescriptorSize> descriptor{};
    if (!GetDeviceDescriptor(handle, descriptor) || descriptor[kDescriptorProductStringOffset] == 0) {
      return std::nullopt;
    }
    OpenDevice* open = Opened(handle);
    std::array<UCHAR, kMaxStringDescriptorSize> text{};
    ULONG length = 0;
    if (open == nullptr ||
        system_.WinUsb_GetDescriptor(open->usb, kStringDescriptorType, descriptor[kDescriptorProductStringOffset],
                                     kLanguageEnglishUs, text.data(), static_cast<ULONG>(text.size()),
                                     &length) == FALSE ||
        length > text.size()) {
      return std::nullopt;
    }
    return StringDescriptorText(std::span<const std::uint8_t>(text).first(length));
  }

  DriverStatus VendorRequest(DriverHandle handle, std::span<const std::uint8_t, 10> record,
                             std::span<std::uint8_t> data, std::uint32_t& transferred) override {
    transferred = 0;
    const k24::VendorRequest request = ParseVendorRequestRecord(record);
    if ((request.direction != kDirectionIn && request.direction != kDirectionOut) || data.size() > 0xFFFF) {
      return DriverStatus::Failed;
    }
    OpenDevice* open = Opened(handle);
    if (open == nullptr) {
      return DriverStatus::Failed;
    }
    // The setup packet as the libusb backend puts it on the bus: a vendor
    // request to the device, in the record's direction.
    WINUSB_SETUP_PACKET setup{};
    setup.RequestType = SetupRequestType(request.direction);
    setup.Request = request.request;
    setup.Value = request.value;
    setup.Index = request.index;
    setup.Length = static_cast<USHORT>(data.size());
    ULONG moved = 0;
    if (system_.WinUsb_ControlTransfer(open->usb, setup, data.empty() ? nullptr : data.data(),
                                       static_cast<ULONG>(data.size()), &moved, nullptr) == FALSE) {
      return FailureStatus();
    }
    // A reply shorter than asked succeeds here; the recorder layer decides
    // what it means.
    transferred = moved;
    return DriverStatus::Ok;
  }

  DriverStatus BulkRead(DriverHandle handle, std::span<const std::uint8_t, 4> pipe, std::span<std::uint8_t> data,
                        std::uint32_t& transferred) override {
    transferred = 0;
    if (ParseBulkPipeRecord(pipe) != kPipeBulkIn) {
      return DriverStatus::Failed;
    }
    return Bulk(handle, true, data.data(), data.size(), transferred);
  }

  DriverStatus BulkWrite(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                         std::span<const std::uint8_t> data, std::uint32_t& transferred) override {
    transferred = 0;
    if (ParseBulkPipeRecord(pipe) != kPipeBulkOut) {
      return DriverStatus::Failed;
    }
    // WinUSB takes a non-const buffer for both directions; a write only reads it.
    std::vector<std::uint8_t> copy(data.begin(), data.end());
    return Bulk(handle, false, copy.data(), copy.size(), transferred);
  }

  // The bulk pipe's endpoint, as the interface lists it, for a trace. The
  // device's bus and address are not WinUSB's to tell: AddressOf keeps its
  // default, and a trace counts the recorder's appearances instead.
  std::optional<std::uint8_t> PipeEndpoint(DriverHandle handle, std::uint32_t pipe) override {
    OpenDevice* open = Opened(handle);
    if (open == nullptr || (pipe != kPipeBulkIn && pipe != kPipeBulkOut)) {
      return std::nullopt;
    }
    if (!open->pipesFound) {
      FindPipes(*open);
    }
    const UCHAR endpoint = pipe == kPipeBulkIn ? open->bulkIn : open->bulkOut;
    return endpoint == 0 ? std::nullopt : std::optional<std::uint8_t>(endpoint);
  }

  // No bus events (the defaults): the link polls, as with the EZ-USB driver.

 private:
  std::optional<std::wstring> InstanceId(HDEVINFO set, SP_DEVINFO_DATA& device) {
    std::array<wchar_t, kInstanceIdChars> id{};
    DWORD required = 0;
    if (system_.SetupDiGetDeviceInstanceIdW(set, &device, id.data(), static_cast<DWORD>(id.size()), &required) ==
        FALSE) {
      return std::nullopt;
    }
    id.back() = L'\0';
    return std::wstring(id.data());
  }

  // A registry property of the device as the system hands it over; empty
  // when the device has none.
  std::vector<std::uint8_t> Property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    std::vector<std::uint8_t> bytes(kFirstReadBytes);
    for (int attempt = 0; attempt < 2; ++attempt) {
      DWORD type = 0;
      DWORD required = 0;
      if (system_.SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, bytes.data(),
                                                    static_cast<DWORD>(bytes.size()), &required) != FALSE) {
        if (required != 0) {
          bytes.resize(std::min<std::size_t>(required, bytes.size()));  // else up to the strings' NULs
        }
        return type == REG_SZ || type == REG_MULTI_SZ ? bytes : std::vector<std::uint8_t>{};
      }
      if (required <= bytes.size()) {
        break;  // no such property, or it cannot be read
      }
      bytes.resize(required);
    }
    return {};
  }

  // The first of the device's location paths.
  std::optional<std::string> LocationPath(HDEVINFO set, SP_DEVINFO_DATA& device) {
    const std::vector<std::wstring> paths = RegistryStrings(Property(set, device, SPDRP_LOCATION_PATHS));
    if (paths.empty()) {
      return std::nullopt;
    }
    return Narrow(paths.front());
  }

  // The interface class GUIDs the device's installer wrote to its registry
  // key, in their order.
  std::vector<GUID> InterfaceGuids(HDEVINFO set, SP_DEVINFO_DATA& device) {
    std::vector<GUID> guids;
    const HKEY key = system_.SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == nullptr || key == INVALID_HANDLE_VALUE) {
      return guids;
    }
    for (const wchar_t* value : {kInterfaceGuidsValue, kInterfaceGuidValue}) {
      const std::vector<std::uint8_t> bytes = RegistryValue(key, value);
      for (const std::wstring& text : RegistryStrings(bytes)) {
        if (const std::optional<GUID> guid = ParseGuid(text)) {
          guids.push_back(*guid);
        }
      }
      if (!bytes.empty()) {
        break;  // DeviceInterfaceGUIDs, when there, is the one that counts
      }
    }
    system_.RegCloseKey(key);
    return guids;
  }

  // A string value of an open key; empty when there is none.
  std::vector<std::uint8_t> RegistryValue(HKEY key, const wchar_t* name) {
    std::vector<std::uint8_t> bytes(kFirstReadBytes);
    for (int attempt = 0; attempt < 2; ++attempt) {
      DWORD type = 0;
      auto size = static_cast<DWORD>(bytes.size());
      const LONG status = system_.RegQueryValueExW(key, name, nullptr, &type, bytes.data(), &size);
      if (status == ERROR_SUCCESS) {
        bytes.resize(std::min<std::size_t>(size, bytes.size()));
        return type == REG_SZ || type == REG_MULTI_SZ ? bytes : std::vector<std::uint8_t>{};
      }
      if (status != ERROR_MORE_DATA || size <= bytes.size()) {
        break;
      }
      bytes.resize(size);
    }
    return {};
  }

  // The path of the device's first interface present under one of its
  // interface class GUIDs; none when WinUSB registered none.
  std::optional<std::wstring> InterfacePath(HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& id) {
    for (const GUID& guid : InterfaceGuids(set, device)) {
      // With DIGCF_DEVICEINTERFACE the enumerator may be a device instance
      // ID: the interfaces of that device alone.
      const HDEVINFO interfaces = system_.SetupDiGetClassDevsW(&guid, id.c_str(), nullptr, kInterfacesPresent);
      if (interfaces == INVALID_HANDLE_VALUE) {
        continue;
      }
      std::optional<std::wstring> path;
      SP_DEVICE_INTERFACE_DATA interfaceData{};
      interfaceData.cbSize = sizeof interfaceData;
      if (system_.SetupDiEnumDeviceInterfaces(interfaces, nullptr, &guid, 0, &interfaceData) != FALSE) {
        path = DetailPath(interfaces, interfaceData);
      }
      system_.SetupDiDestroyDeviceInfoList(interfaces);
      if (path) {
        return path;
      }
    }
    return std::nullopt;
  }

  std::optional<std::wstring> DetailPath(HDEVINFO interfaces, SP_DEVICE_INTERFACE_DATA& interfaceData) {
    DWORD required = 0;
    system_.SetupDiGetDeviceInterfaceDetailW(interfaces, &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || required > 0x10000) {
      return std::nullopt;
    }
    // Room for the structure, aligned as it must be.
    std::vector<std::uint64_t> storage((required + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (system_.SetupDiGetDeviceInterfaceDetailW(interfaces, &interfaceData, detail, required, nullptr, nullptr) ==
        FALSE) {
      return std::nullopt;
    }
    const std::size_t chars = (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
    const std::wstring path(detail->DevicePath, std::find(detail->DevicePath, detail->DevicePath + chars, L'\0'));
    if (path.empty()) {
      return std::nullopt;
    }
    return path;
  }

  OpenDevice* Find(DriverHandle handle) {
    const auto it = open_.find(handle);
    return it == open_.end() ? nullptr : &it->second;
  }

  // The device behind the handle, opened for WinUSB calls (at the first call
  // that needs it, with every control transfer's time-out set); none when it
  // cannot be opened.
  OpenDevice* Opened(DriverHandle handle) {
    OpenDevice* open = Find(handle);
    if (open == nullptr || open->openFailed) {
      return nullptr;
    }
    if (open->usb != nullptr) {
      return open;
    }
    open->file = system_.CreateFileW(open->path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (open->file == INVALID_HANDLE_VALUE) {
      open->openFailed = true;
      return nullptr;
    }
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    if (system_.WinUsb_Initialize(open->file, &usb) == FALSE || usb == nullptr) {
      Release(*open);
      open->openFailed = true;
      return nullptr;
    }
    open->usb = usb;
    if (!SetTimeout(*open, kDefaultControlPipe)) {
      Release(*open);  // no transfer without a time-out
      open->openFailed = true;
      return nullptr;
    }
    return open;
  }

  bool SetTimeout(OpenDevice& open, UCHAR pipe) {
    ULONG timeout = kWinusbTransferTimeoutMs;
    return system_.WinUsb_SetPipePolicy(open.usb, pipe, PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout) != FALSE;
  }

  // The first bulk pipe of each direction of the recorder's interface
  // (alternate setting 0), by kind, never by position.
  void FindPipes(OpenDevice& open) {
    open.pipesFound = true;
    USB_INTERFACE_DESCRIPTOR settings{};
    if (system_.WinUsb_QueryInterfaceSettings(open.usb, kRecorderAlternateSetting, &settings) == FALSE) {
      return;
    }
    for (UCHAR index = 0; index < settings.bNumEndpoints; ++index) {
      WINUSB_PIPE_INFORMATION pipe{};
      if (system_.WinUsb_QueryPipe(open.usb, kRecorderAlternateSetting, index, &pipe) == FALSE ||
          pipe.PipeType != UsbdPipeTypeBulk) {
        continue;
      }
      UCHAR& slot = (pipe.PipeId & kPipeDirectionIn) != 0 ? open.bulkIn : open.bulkOut;
      if (slot == 0) {
        slot = pipe.PipeId;
      }
    }
  }

  DriverStatus Bulk(DriverHandle handle, bool in, std::uint8_t* buffer, std::size_t length,
                    std::uint32_t& transferred) {
    if (length > 0x7FFFFFFF) {
      return DriverStatus::Failed;
    }
    OpenDevice* open = Opened(handle);
    if (open == nullptr) {
      return DriverStatus::Failed;
    }
    if (!open->pipesFound) {
      FindPipes(*open);
    }
    const UCHAR pipe = in ? open->bulkIn : open->bulkOut;
    bool& timed = in ? open->bulkInTimed : open->bulkOutTimed;
    if (pipe == 0) {
      return DriverStatus::Failed;
    }
    if (!timed) {
      if (!SetTimeout(*open, pipe)) {
        return DriverStatus::Failed;
      }
      timed = true;
    }
    ULONG moved = 0;
    const BOOL ok = in ? system_.WinUsb_ReadPipe(open->usb, pipe, buffer, static_cast<ULONG>(length), &moved, nullptr)
                       : system_.WinUsb_WritePipe(open->usb, pipe, buffer, static_cast<ULONG>(length), &moved, nullptr);
    // A time-out may still have moved part of the data: the count is
    // reported either way, and the transfer counts as failed.
    transferred = moved;
    return ok != FALSE ? DriverStatus::Ok : FailureStatus();
  }

  // A transfer call that failed, told apart by the error it left (see
  // driver_winusb.h): the pipe's time-out passed, or anything else.
  DriverStatus FailureStatus() {
    const DWORD error = system_.GetLastError();
    return error == ERROR_SEM_TIMEOUT || error == ERROR_TIMEOUT ? DriverStatus::TimedOut : DriverStatus::Failed;
  }

  void Release(OpenDevice& open) {
    if (open.usb != nullptr) {
      system_.WinUsb_Free(open.usb);
      open.usb = nullptr;
    }
    if (open.file != INVALID_HANDLE_VALUE) {
      system_.CloseHandle(open.file);
      open.file = INVALID_HANDLE_VALUE;
    }
  }

  WinusbSystem& system_;
  std::uint16_t vendorId_;
  std::uint16_t productId_;
  std::wstring prefix_;
  std::map<std::string, ListedDevice> devices_;  // the last listing's WinUSB devices, by name
  std::vector<std::string> unserved_;            // ... and the places of those no usable driver serves
  std::map<DriverHandle, OpenDevice> open_;
  DriverHandle nextHandle_ = 1;
};

// Loads a DLL from the system directory alone, never from the program's
// directory or the current one.
HMODULE LoadSystemLibrary(const wchar_t* name) {
  std::array<wchar_t, MAX_PATH> directory{};
  const UINT length = GetSystemDirectoryW(directory.data(), static_cast<UINT>(directory.size()));
  if (length == 0 || length >= directory.size()) {
    return nullptr;
  }
  std::wstring path(directory.data(), length);
  path += L'\\';
  path += name;
  return LoadLibraryW(path.c_str());
}

// Points `function` at `name` in `module`; false when it is not there.
template <typename Function>
bool Bind(HMODULE module, const char* name, Function*& function) {
  const FARPROC address = module == nullptr ? nullptr : GetProcAddress(module, name);
  // Through the type that matches every function type, as the compiler asks.
  function = reinterpret_cast<Function*>(reinterpret_cast<void (*)()>(address));
  return function != nullptr;
}

class SystemCalls final : public WinusbSystem {
 public:
  bool Available() override { return Loaded(); }

  HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags) override {
    return Loaded() ? getClassDevs_(classGuid, enumerator, parent, flags) : INVALID_HANDLE_VALUE;
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device) override {
    return Loaded() ? enumDeviceInfo_(set, index, device) : FALSE;
  }
  BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize,
                                   PDWORD requiredSize) override {
    return Loaded() ? getInstanceId_(set, device, id, idSize, requiredSize) : FALSE;
  }
  BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, PDWORD valueType,
                                         PBYTE buffer, DWORD bufferSize, PDWORD requiredSize) override {
    return Loaded() ? getProperty_(set, device, property, valueType, buffer, bufferSize, requiredSize) : FALSE;
  }
  HKEY SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD scope, DWORD profile, DWORD keyType,
                            REGSAM access) override {
    return Loaded() ? openDevRegKey_(set, device, scope, profile, keyType, access)
                    : static_cast<HKEY>(INVALID_HANDLE_VALUE);
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceGuid, DWORD index,
                                   PSP_DEVICE_INTERFACE_DATA interfaceData) override {
    return Loaded() ? enumInterfaces_(set, device, interfaceGuid, index, interfaceData) : FALSE;
  }
  BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                        PDWORD requiredSize, PSP_DEVINFO_DATA device) override {
    return Loaded() ? interfaceDetail_(set, interfaceData, detail, detailSize, requiredSize, device) : FALSE;
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override { return Loaded() ? destroyList_(set) : FALSE; }

  LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD valueType, LPBYTE data,
                        LPDWORD dataSize) override {
    return Loaded() ? queryValue_(key, name, reserved, valueType, data, dataSize) : ERROR_PROC_NOT_FOUND;
  }
  LONG RegCloseKey(HKEY key) override { return Loaded() ? closeKey_(key) : ERROR_PROC_NOT_FOUND; }

  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                     DWORD flags, HANDLE templateFile) override {
    return ::CreateFileW(path, access, shareMode, security, disposition, flags, templateFile);
  }
  BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }

  BOOL WinUsb_Initialize(HANDLE device, PWINUSB_INTERFACE_HANDLE usb) override {
    return Loaded() ? initialize_(device, usb) : FALSE;
  }
  BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE usb) override { return Loaded() ? free_(usb) : FALSE; }
  BOOL WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE usb, UCHAR descriptorType, UCHAR index, USHORT languageId,
                            PUCHAR buffer, ULONG bufferLength, PULONG lengthTransferred) override {
    return Loaded() ? getDescriptor_(usb, descriptorType, index, languageId, buffer, bufferLength, lengthTransferred)
                    : FALSE;
  }
  BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE usb, UCHAR alternateSetting,
                                     PUSB_INTERFACE_DESCRIPTOR descriptor) override {
    return Loaded() ? querySettings_(usb, alternateSetting, descriptor) : FALSE;
  }
  BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE usb, UCHAR alternateSetting, UCHAR pipeIndex,
                        PWINUSB_PIPE_INFORMATION pipe) override {
    return Loaded() ? queryPipe_(usb, alternateSetting, pipeIndex, pipe) : FALSE;
  }
  BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE usb, UCHAR pipeId, ULONG policyType, ULONG valueLength,
                            PVOID value) override {
    return Loaded() ? setPipePolicy_(usb, pipeId, policyType, valueLength, value) : FALSE;
  }
  BOOL WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE usb, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                              ULONG bufferLength, PULONG lengthTransferred, LPOVERLAPPED overlapped) override {
    return Loaded() ? controlTransfer_(usb, setup, buffer, bufferLength, lengthTransferred, overlapped) : FALSE;
  }
  BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipeId, PUCHAR buffer, ULONG bufferLength,
                       PULONG lengthTransferred, LPOVERLAPPED overlapped) override {
    return Loaded() ? readPipe_(usb, pipeId, buffer, bufferLength, lengthTransferred, overlapped) : FALSE;
  }
  BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipeId, PUCHAR buffer, ULONG bufferLength,
                        PULONG lengthTransferred, LPOVERLAPPED overlapped) override {
    return Loaded() ? writePipe_(usb, pipeId, buffer, bufferLength, lengthTransferred, overlapped) : FALSE;
  }
  DWORD GetLastError() override { return ::GetLastError(); }

 private:
  // At the first call: the three DLLs and every function, or nothing. The
  // DLLs stay loaded for the rest of the run.
  bool Loaded() {
    if (!tried_) {
      tried_ = true;
      const HMODULE setupapi = LoadSystemLibrary(L"setupapi.dll");
      const HMODULE advapi = LoadSystemLibrary(L"advapi32.dll");
      const HMODULE winusb = LoadSystemLibrary(L"winusb.dll");
      loaded_ = Bind(setupapi, "SetupDiGetClassDevsW", getClassDevs_) &&
                Bind(setupapi, "SetupDiEnumDeviceInfo", enumDeviceInfo_) &&
                Bind(setupapi, "SetupDiGetDeviceInstanceIdW", getInstanceId_) &&
                Bind(setupapi, "SetupDiGetDeviceRegistryPropertyW", getProperty_) &&
                Bind(setupapi, "SetupDiOpenDevRegKey", openDevRegKey_) &&
                Bind(setupapi, "SetupDiEnumDeviceInterfaces", enumInterfaces_) &&
                Bind(setupapi, "SetupDiGetDeviceInterfaceDetailW", interfaceDetail_) &&
                Bind(setupapi, "SetupDiDestroyDeviceInfoList", destroyList_) &&
                Bind(advapi, "RegQueryValueExW", queryValue_) && Bind(advapi, "RegCloseKey", closeKey_) &&
                Bind(winusb, "WinUsb_Initialize", initialize_) && Bind(winusb, "WinUsb_Free", free_) &&
                Bind(winusb, "WinUsb_GetDescriptor", getDescriptor_) &&
                Bind(winusb, "WinUsb_QueryInterfaceSettings", querySettings_) &&
                Bind(winusb, "WinUsb_QueryPipe", queryPipe_) &&
                Bind(winusb, "WinUsb_SetPipePolicy", setPipePolicy_) &&
                Bind(winusb, "WinUsb_ControlTransfer", controlTransfer_) &&
                Bind(winusb, "WinUsb_ReadPipe", readPipe_) && Bind(winusb, "WinUsb_WritePipe", writePipe_);
    }
    if (!loaded_) {
      SetLastError(ERROR_PROC_NOT_FOUND);
    }
    return loaded_;
  }

  bool tried_ = false;
  bool loaded_ = false;
  decltype(::SetupDiGetClassDevsW)* getClassDevs_ = nullptr;
  decltype(::SetupDiEnumDeviceInfo)* enumDeviceInfo_ = nullptr;
  decltype(::SetupDiGetDeviceInstanceIdW)* getInstanceId_ = nullptr;
  decltype(::SetupDiGetDeviceRegistryPropertyW)* getProperty_ = nullptr;
  decltype(::SetupDiOpenDevRegKey)* openDevRegKey_ = nullptr;
  decltype(::SetupDiEnumDeviceInterfaces)* enumInterfaces_ = nullptr;
  decltype(::SetupDiGetDeviceInterfaceDetailW)* interfaceDetail_ = nullptr;
  decltype(::SetupDiDestroyDeviceInfoList)* destroyList_ = nullptr;
  decltype(::RegQueryValueExW)* queryValue_ = nullptr;
  decltype(::RegCloseKey)* closeKey_ = nullptr;
  decltype(::WinUsb_Initialize)* initialize_ = nullptr;
  decltype(::WinUsb_Free)* free_ = nullptr;
  decltype(::WinUsb_GetDescriptor)* getDescriptor_ = nullptr;
  decltype(::WinUsb_QueryInterfaceSettings)* querySettings_ = nullptr;
  decltype(::WinUsb_QueryPipe)* queryPipe_ = nullptr;
  decltype(::WinUsb_SetPipePolicy)* setPipePolicy_ = nullptr;
  decltype(::WinUsb_ControlTransfer)* controlTransfer_ = nullptr;
  decltype(::WinUsb_ReadPipe)* readPipe_ = nullptr;
  decltype(::WinUsb_WritePipe)* writePipe_ = nullptr;
};

}  // namespace

WinusbSystem& SystemWinusb() {
  static SystemCalls calls;
  return calls;
}

std::unique_ptr<UsbDriver> MakeWinusbDriver(WinusbSystem& system, std::uint16_t vendorId, std::uint16_t productId) {
  return std::make_unique<WinusbDriver>(system, vendorId, productId);
}

}  // namespace k24
