// The driver port on the EZ-USB general purpose driver (Windows).
//
// Each handle of the port is one handle of the driver, opened by Open and
// closed by Close; every request is one DeviceIoControl on it, with the
// driver's own records as its input.
#include "link/driver_ezusb.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "link/link_records.h"

namespace k24 {
namespace {

// A string descriptor is at most 255 bytes (its length is one byte).
constexpr std::size_t kMaxStringDescriptorSize = 255;

class SystemKernel final : public EzusbKernel {
 public:
  HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                     DWORD disposition, DWORD flags, HANDLE templateFile) override {
    return ::CreateFileA(path, access, shareMode, security, disposition, flags, templateFile);
  }
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID output,
                       DWORD outputSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) override {
    return ::DeviceIoControl(device, code, input, inputSize, output, outputSize, bytesReturned, overlapped);
  }
  BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }
  DWORD GetLastError() override { return ::GetLastError(); }
};

class EzusbDriver final : public UsbDriver {
 public:
  explicit EzusbDriver(EzusbKernel& kernel) : kernel_(kernel) {}
  EzusbDriver(const EzusbDriver&) = delete;
  EzusbDriver& operator=(const EzusbDriver&) = delete;
  ~EzusbDriver() override {
    for (const auto& [handle, device] : open_) {
      kernel_.CloseHandle(device);
    }
  }

  std::vector<std::string> DeviceNames() override {
    std::vector<std::string> names;
    std::string name = "ezusb-0";
    for (int digit = 0; digit < kEzusbDeviceCount; ++digit) {
      name.back() = static_cast<char>('0' + digit);
      names.push_back(name);
    }
    return names;
  }

  std::optional<DriverHandle> Open(const std::string& name) override {
    const std::string path = kEzusbDevicePathPrefix + name;
    const HANDLE device =
        kernel_.CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
      return std::nullopt;
    }
    const DriverHandle handle = nextHandle_++;
    open_[handle] = device;
    return handle;
  }

  void Close(DriverHandle handle) override {
    const auto it = open_.find(handle);
    if (it == open_.end()) {
      return;
    }
    kernel_.CloseHandle(it->second);
    open_.erase(it);
  }

  bool GetDeviceDescriptor(DriverHandle handle, std::span<std::uint8_t, 18> descriptor) override {
    // The same buffer is the query's input and its answer.
    DWORD returned = 0;
    return Control(handle, kIoctlGetDeviceDescriptor, descriptor.data(), descriptor.size(), descriptor.data(),
                   descriptor.size(), returned);
  }

  // The driver's names say nothing of where a device is: TellsPlaces and
  // PlaceOf keep their defaults.

  std::optional<std::string> ProductString(DriverHandle handle) override {
    std::array<std::uint8_t, kDeviceDescriptorSize> descriptor{};
    if (!GetDeviceDescriptor(handle, descriptor) || descriptor[kDescriptorProductStringOffset] == 0) {
      return std::nullopt;
    }
    StringDescriptorRecord input = BuildStringDescriptorRecord(descriptor[kDescriptorProductStringOffset],
                                                               kLanguageEnglishUs);
    std::array<std::uint8_t, kMaxStringDescriptorSize> text{};
    DWORD returned = 0;
    if (!Control(handle, kIoctlGetStringDescriptor, input.data(), input.size(), text.data(), text.size(),
                 returned) ||
        returned > text.size()) {
      return std::nullopt;
    }
    return StringDescriptorText(std::span<const std::uint8_t>(text).first(returned));
  }

  DriverStatus VendorRequest(DriverHandle handle, std::span<const std::uint8_t, 10> record,
                             std::span<std::uint8_t> data, std::uint32_t& transferred) override {
    // The driver takes the record as input and the data stage, in either
    // direction, as the output buffer; no data stage passes no buffer.
    std::array<std::uint8_t, 10> input{};
    std::copy(record.begin(), record.end(), input.begin());
    DWORD returned = 0;
    const DriverStatus status = Transfer(handle, kIoctlVendorRequest, input.data(), input.size(),
                                         data.empty() ? nullptr : data.data(), data.size(), returned);
    transferred = status == DriverStatus::Ok ? returned : 0;
    return status;
  }

  DriverStatus BulkRead(DriverHandle handle, std::span<const std::uint8_t, 4> pipe, std::span<std::uint8_t> data,
                        std::uint32_t& transferred) override {
    return Bulk(handle, kIoctlBulkRead, pipe, data.data(), data.size(), transferred);
  }

  DriverStatus BulkWrite(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                         std::span<const std::uint8_t> data, std::uint32_t& transferred) override {
    // The driver reads the data to send from the call's output buffer, which
    // it does not write to.
    return Bulk(handle, kIoctlBulkWrite, pipe, const_cast<std::uint8_t*>(data.data()), data.size(), transferred);
  }

 private:
  DriverStatus Bulk(DriverHandle handle, DWORD code, std::span<const std::uint8_t, 4> pipe, std::uint8_t* data,
                    std::size_t size, std::uint32_t& transferred) {
    std::array<std::uint8_t, 4> input{};
    std::copy(pipe.begin(), pipe.end(), input.begin());
    DWORD returned = 0;
    const DriverStatus status =
        Transfer(handle, code, input.data(), input.size(), size == 0 ? nullptr : data, size, returned);
    transferred = status == DriverStatus::Ok ? returned : 0;
    return status;
  }

  // A request or bulk transfer: Control, with a failure told apart by the
  // error it left (see driver_ezusb.h).
  DriverStatus Transfer(DriverHandle handle, DWORD code, void* input, std::size_t inputSize, void* output,
                        std::size_t outputSize, DWORD& returned) {
    if (open_.find(handle) == open_.end() || inputSize > MAXDWORD || outputSize > MAXDWORD) {
      return DriverStatus::Failed;  // no call made: the last error is not this one's
    }
    if (Control(handle, code, input, inputSize, output, outputSize, returned)) {
      return DriverStatus::Ok;
    }
    const DWORD error = kernel_.GetLastError();
    return error == ERROR_SEM_TIMEOUT || error == ERROR_TIMEOUT ? DriverStatus::TimedOut : DriverStatus::Failed;
  }

  bool Control(DriverHandle handle, DWORD code, void* input, std::size_t inputSize, void* output,
               std::size_t outputSize, DWORD& returned) {
    const auto it = open_.find(handle);
    if (it == open_.end() || inputSize > MAXDWORD || outputSize > MAXDWORD) {
      return false;
    }
    returned = 0;
    return kernel_.DeviceIoControl(it->second, code, input, static_cast<DWORD>(inputSize), output,
                                   static_cast<DWORD>(outputSize), &returned, nullptr) != FALSE;
  }

  EzusbKernel& kernel_;
  std::map<DriverHandle, HANDLE> open_;
  DriverHandle nextHandle_ = 1;
};

}  // namespace

EzusbKernel& SystemEzusbKernel() {
  static SystemKernel kernel;
  return kernel;
}

std::unique_ptr<UsbDriver> MakeEzusbDriver(EzusbKernel& kernel) { return std::make_unique<EzusbDriver>(kernel); }

}  // namespace k24
