#include "testing/ezusb_model_kernel.h"

#include <algorithm>
#include <cstdio>
#include <span>

namespace k24::emulator {
namespace {

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06lX", static_cast<unsigned long>(value));
  return text;
}

}  // namespace

HANDLE ModelEzusbKernel::CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE templateFile) {
  const std::string text = path != nullptr ? path : "";
  ++createFileCalls;
  if (logCalls) {
    calls.push_back({"CreateFileA " + text, {}, 0, false});
  }
  // The driver's names open only as the program must open them.
  const std::string prefix = kEzusbDevicePathPrefix;
  if (text.rfind(prefix, 0) != 0 || access != GENERIC_WRITE || shareMode != FILE_SHARE_WRITE ||
      security != nullptr || disposition != OPEN_EXISTING || flags != 0 || templateFile != nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string name = text.substr(prefix.size());
  if (name == "ezusb-0") {
    bus_.DeviceNames();  // every probe starts here: the model counts it (a restart's absence ends after some)
  }
  const std::optional<DriverHandle> opened = bus_.Open(name);
  if (!opened) {
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle = reinterpret_cast<HANDLE>(nextHandle_);
  nextHandle_ += 4;
  open_[handle] = *opened;
  ++openHandles;
  return handle;
}

BOOL ModelEzusbKernel::DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID output,
                                       DWORD outputSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  const auto* in = static_cast<const std::uint8_t*>(input);
  auto* out = static_cast<std::uint8_t*>(output);
  if (logCalls) {
    KernelCall call{"DeviceIoControl " + Hex(code), {}, outputSize, output != nullptr};
    if (in != nullptr) {
      call.input.assign(in, in + inputSize);
    }
    calls.push_back(call);
  }
  const auto it = open_.find(device);
  if (it == open_.end() || bytesReturned == nullptr || overlapped != nullptr) {
    Fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *bytesReturned = 0;
  const DriverHandle handle = it->second;
  std::uint32_t moved = 0;
  DriverStatus status = DriverStatus::Failed;
  switch (code) {
    case kIoctlGetDeviceDescriptor:
      if (in == nullptr || inputSize != 18 || out == nullptr || outputSize != 18) {
        break;
      }
      if (bus_.GetDeviceDescriptor(handle, std::span<std::uint8_t, 18>(out, 18))) {
        status = DriverStatus::Ok;
        moved = 18;
      }
      break;
    case kIoctlVendorRequest:
      if (in == nullptr || inputSize != 10 || (out == nullptr) != (outputSize == 0)) {
        break;
      }
      status = bus_.VendorRequest(handle, std::span<const std::uint8_t, 10>(in, 10),
                                  std::span<std::uint8_t>(out, outputSize), moved);
      break;
    case kIoctlBulkRead:
    case kIoctlBulkWrite: {
      if (in == nullptr || inputSize != 4 || out == nullptr) {
        break;
      }
      const std::span<const std::uint8_t, 4> pipe(in, 4);
      status = code == kIoctlBulkRead
                   ? bus_.BulkRead(handle, pipe, std::span<std::uint8_t>(out, outputSize), moved)
                   : bus_.BulkWrite(handle, pipe, std::span<const std::uint8_t>(out, outputSize), moved);
      break;
    }
    case kIoctlGetStringDescriptor: {
      // GET_STRING_DESCRIPTOR_IN: index, one byte of alignment, language ID.
      RecorderModel* model = bus_.ModelBehind(handle);
      if (in == nullptr || inputSize != 4 || out == nullptr || model == nullptr || !model->onBus) {
        break;
      }
      const auto languageId = static_cast<std::uint16_t>(in[2] | (in[3] << 8));
      const std::vector<std::uint8_t> descriptor = ReadStringDescriptor(*model, in[0], languageId);
      if (descriptor.empty()) {
        break;  // a stall: the device has no such string
      }
      moved = static_cast<std::uint32_t>(std::min<std::size_t>(descriptor.size(), outputSize));
      std::copy_n(descriptor.begin(), moved, out);
      status = DriverStatus::Ok;
      break;
    }
    default:
      break;
  }
  if (status != DriverStatus::Ok) {
    // A request the recorder never answered ends, in the USB stack, with
    // STATUS_IO_TIMEOUT, which DeviceIoControl reports as ERROR_SEM_TIMEOUT.
    Fail(status == DriverStatus::TimedOut ? ERROR_SEM_TIMEOUT : ERROR_GEN_FAILURE);
    return FALSE;
  }
  *bytesReturned = moved;
  return TRUE;
}

BOOL ModelEzusbKernel::CloseHandle(HANDLE handle) {
  if (logCalls) {
    calls.push_back({"CloseHandle", {}, 0, false});
  }
  const auto it = open_.find(handle);
  if (it == open_.end()) {
    Fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bus_.Close(it->second);
  open_.erase(it);
  --openHandles;
  return TRUE;
}

}  // namespace k24::emulator
