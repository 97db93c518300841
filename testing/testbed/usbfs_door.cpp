#include "testing/testbed/usbfs_door.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <linux/usbdevice_fs.h>
#include <pty.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "common/byte_order.h"

namespace k24::emulator {
namespace {

constexpr std::uint16_t kRecorderVendorId = 0x10C4;
constexpr std::uint16_t kRecorderProductId = 0x4512;

// Endpoints of the recorder's interface 0, in the order its configuration
// lists them: an interrupt endpoint first, so that a host that picks pipes by
// position instead of by kind talks to the wrong endpoint.
constexpr std::uint8_t kInterruptIn = 0x83;
constexpr std::uint8_t kBulkOut = 0x02;
constexpr std::uint8_t kBulkIn = 0x81;

constexpr std::size_t kSetupSize = 8;

std::vector<std::uint8_t> DeviceDescriptor(std::uint16_t vendor, std::uint16_t product, std::uint8_t deviceClass) {
  std::vector<std::uint8_t> d(18, 0);
  d[0] = 18;     // bLength
  d[1] = 1;      // DEVICE
  PutLe16(d, 2, 0x0200);  // USB 2.0
  d[4] = deviceClass;
  d[7] = 64;     // bMaxPacketSize0
  PutLe16(d, 8, vendor);
  PutLe16(d, 10, product);
  PutLe16(d, 12, 0x0100);  // bcdDevice
  d[17] = 1;     // one configuration
  return d;
}

void AppendEndpoint(std::vector<std::uint8_t>& d, std::uint8_t address, std::uint8_t attributes,
                    std::uint16_t maxPacket, std::uint8_t interval) {
  const std::size_t at = d.size();
  d.resize(at + 7);
  d[at] = 7;
  d[at + 1] = 5;  // ENDPOINT
  d[at + 2] = address;
  d[at + 3] = attributes;
  PutLe16(d, at + 4, maxPacket);
  d[at + 6] = interval;
}

// Configuration 1: one vendor-specific interface with three endpoints.
std::vector<std::uint8_t> RecorderConfiguration() {
  std::vector<std::uint8_t> d(18, 0);
  d[0] = 9;
  d[1] = 2;  // CONFIGURATION
  d[4] = 1;  // bNumInterfaces
  d[5] = 1;  // bConfigurationValue
  d[7] = 0x80;  // bus powered
  d[8] = 50;    // 100 mA
  d[9] = 9;
  d[10] = 4;    // INTERFACE
  d[11] = 0;    // bInterfaceNumber
  d[13] = 3;    // bNumEndpoints
  d[14] = 0xFF;
  AppendEndpoint(d, kInterruptIn, 0x03, 64, 10);
  AppendEndpoint(d, kBulkOut, 0x02, 512, 0);
  AppendEndpoint(d, kBulkIn, 0x02, 512, 0);
  PutLe16(d, 2, static_cast<std::uint16_t>(d.size()));  // wTotalLength
  return d;
}

// A root hub's configuration: one hub interface with its interrupt endpoint.
std::vector<std::uint8_t> HubConfiguration() {
  std::vector<std::uint8_t> d(18, 0);
  d[0] = 9;
  d[1] = 2;
  d[4] = 1;
  d[5] = 1;
  d[7] = 0xE0;
  d[9] = 9;
  d[10] = 4;
  d[13] = 1;
  d[14] = 9;  // hub class
  AppendEndpoint(d, 0x81, 0x03, 4, 12);
  PutLe16(d, 2, static_cast<std::uint16_t>(d.size()));
  return d;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (std::uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

std::string Three(int number) {
  char text[16];
  std::snprintf(text, sizeof text, "%03d", number);
  return text;
}

// One device in umockdev's record format. Attribute values end in a line end,
// as sysfs gives them ("\n" is written escaped in the record).
std::string DeviceRecord(const std::string& devpath, int deviceNumber, const std::vector<std::uint8_t>& descriptors) {
  const std::string number = Three(deviceNumber);
  return "P: " + devpath + "\n" +
         "E: SUBSYSTEM=usb\n"
         "E: DEVTYPE=usb_device\n"
         "E: DEVNAME=bus/usb/001/" + number + "\n" +
         "E: BUSNUM=001\n"
         "E: DEVNUM=" + number + "\n" +
         "A: busnum=1\\n\n"
         "A: devnum=" + std::to_string(deviceNumber) + "\\n\n" +
         "A: bConfigurationValue=1\\n\n"
         "A: speed=480\\n\n"
         "H: descriptors=" + Hex(descriptors) + "\n";
}

// The fields of struct usbdevfs_urb that the door reads and writes, one field
// at a time at its offset in the client's copy.
template <typename T>
T ReadField(const UMockdevIoctlData* data, std::size_t offset) {
  T value{};
  std::memcpy(&value, data->data + offset, sizeof value);
  return value;
}

template <typename T>
void WriteField(UMockdevIoctlData* data, std::size_t offset, T value) {
  std::memcpy(data->data + offset, &value, sizeof value);
}

gboolean OnHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer door) {
  return static_cast<UsbfsDoor*>(door)->HandleIoctl(client) ? TRUE : FALSE;
}

}  // namespace

UsbfsDoor::UsbfsDoor(RecorderModel& model) : model_(model) {}

UsbfsDoor::~UsbfsDoor() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (present_) RemoveDevice();
    ReleasePending();
  }
  if (handler_ != nullptr) g_object_unref(handler_);
  if (testbed_ != nullptr) g_object_unref(testbed_);
}

bool UsbfsDoor::Start(std::string& error) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
    error = "not running under the umockdev preload library";
    return false;
  }
  testbed_ = umockdev_testbed_new();
  if (testbed_ == nullptr) {
    error = "umockdev could not make a testbed";
    return false;
  }
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  rootDir_ = root;
  g_free(root);

  handler_ = umockdev_ioctl_base_new();
  g_signal_connect_data(handler_, "handle-ioctl", reinterpret_cast<GCallback>(&OnHandleIoctl), this, nullptr,
                        G_CONNECT_AFTER);

  std::vector<std::uint8_t> hub = DeviceDescriptor(0x1D6B, 0x0002, 9);
  const std::vector<std::uint8_t> hubConfig = HubConfiguration();
  hub.insert(hub.end(), hubConfig.begin(), hubConfig.end());
  GError* failure = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, DeviceRecord("/devices/usb1", 1, hub).c_str(), &failure)) {
    error = std::string("umockdev could not add the root hub: ") + (failure ? failure->message : "?");
    if (failure) g_error_free(failure);
    return false;
  }
  return true;
}

void UsbfsDoor::OpenToAllUsers() {
  // umockdev makes its root folder for its own user only, and a client
  // listening for uevents makes its socket there.
  chmod(rootDir_.c_str(), 01777);
}

void UsbfsDoor::AddOtherDevices(int count) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (int i = 0; i < count && otherDevices_ < kMaxOtherDevices; ++i, ++otherDevices_) {
    // Ports 2 onward of the root hub (the recorder is on port 1), device
    // numbers 2 to 51: below the recorder's, so a probe that goes through the
    // bus in order of addresses meets all of them before the recorder.
    const std::string devpath = "/devices/usb1/1-" + std::to_string(otherDevices_ + 2);
    std::vector<std::uint8_t> descriptors =
        DeviceDescriptor(0x046D, static_cast<std::uint16_t>(0xC100 + otherDevices_), 0);
    const std::vector<std::uint8_t> config = RecorderConfiguration();
    descriptors.insert(descriptors.end(), config.begin(), config.end());
    GError* failure = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, DeviceRecord(devpath, 2 + otherDevices_, descriptors).c_str(),
                                          &failure)) {
      std::fprintf(stderr, "k24-testbed: add other device: %s\n", failure ? failure->message : "?");
      if (failure) g_error_free(failure);
    }
  }
}

void UsbfsDoor::PlugIn() {
  std::lock_guard<std::mutex> guard(mutex_);
  ComeBack(model_);
  if (!present_) AddDevice();
}

void UsbfsDoor::Service() {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (present_ && !model_.onBus) {
    // Give the answer to the request that sent it away a moment to reach the
    // host before the device disappears, as a recorder finishes its status
    // stage before it drops off the bus.
    if (!leaving_) {
      leaving_ = true;
      leftAt_ = now;
    } else if (now - leftAt_ >= std::chrono::milliseconds(2)) {
      RemoveDevice();
      leftAt_ = now;
      if (model_.returnPending && absence_ < kShortAbsence) {
        // Served here: the owner's loop may come round later than this.
        std::this_thread::sleep_for(absence_);
        leaving_ = false;
        ComeBack(model_);
        AddDevice();
      }
    }
    return;
  }
  leaving_ = false;
  if (!present_ && !model_.onBus && model_.returnPending && now - leftAt_ >= absence_) {
    ComeBack(model_);
  }
  if (!present_ && model_.onBus) AddDevice();
}

void UsbfsDoor::AddDevice() {
  // Device numbers 52 to 250, round and round (other devices use 2 to 51).
  deviceNumber_ = deviceNumber_ >= 250 ? 52 : deviceNumber_ + 1;
  devnode_ = "/dev/bus/usb/001/" + Three(deviceNumber_);
  syspath_ = "/sys/devices/usb1/1-1";

  // The node is a pty's slave, held stopped: poll() on it reports "writable"
  // (a URB is ready to reap) only while the door restarts its output, and
  // closing the master hangs it up, which libusb takes for an unplug.
  char slaveName[128] = {};
  if (openpty(&ptyMaster_, &ptySlave_, slaveName, nullptr, nullptr) != 0) {
    std::perror("k24-testbed: openpty");
    return;
  }
  fcntl(ptyMaster_, F_SETFD, FD_CLOEXEC);
  fcntl(ptySlave_, F_SETFD, FD_CLOEXEC);
  if (nodeMode_ != 0) fchmod(ptySlave_, nodeMode_);
  SignalReady(false);
  const std::filesystem::path node = rootDir_ + devnode_;
  std::filesystem::create_directories(node.parent_path());
  std::filesystem::remove(node);
  std::filesystem::create_symlink(slaveName, node);

  // The handler first, so that the node answers as soon as the add event
  // announces it.
  GError* failure = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, devnode_.c_str(), handler_, &failure)) {
    std::fprintf(stderr, "k24-testbed: attach_ioctl: %s\n", failure ? failure->message : "?");
    if (failure) g_error_free(failure);
  }
  std::vector<std::uint8_t> descriptors = DeviceDescriptor(kRecorderVendorId, kRecorderProductId, 0);
  const std::vector<std::uint8_t> config = RecorderConfiguration();
  descriptors.insert(descriptors.end(), config.begin(), config.end());
  if (!umockdev_testbed_add_from_string(testbed_, DeviceRecord("/devices/usb1/1-1", deviceNumber_, descriptors).c_str(),
                                        &failure)) {
    std::fprintf(stderr, "k24-testbed: add device: %s\n", failure ? failure->message : "?");
    if (failure) g_error_free(failure);
  }
  present_ = true;
  ++enumerations_;
}

void UsbfsDoor::RemoveDevice() {
  // umockdev 0.17 does not send the remove event itself.
  umockdev_testbed_uevent(testbed_, syspath_.c_str(), "remove");
  if (ptyMaster_ >= 0) close(ptyMaster_);
  ptyMaster_ = -1;
  umockdev_testbed_remove_device(testbed_, syspath_.c_str());
  umockdev_testbed_detach_ioctl(testbed_, devnode_.c_str(), nullptr);
  if (ptySlave_ >= 0) close(ptySlave_);
  ptySlave_ = -1;
  std::error_code ignored;
  std::filesystem::remove(rootDir_ + devnode_, ignored);
  ReleasePending();
  present_ = false;
}

void UsbfsDoor::ReleasePending() {
  for (std::deque<PendingUrb>* queue : {&submitted_, &discarded_}) {
    for (const PendingUrb& pending : *queue) {
      umockdev_ioctl_data_unref(pending.buffer);
      umockdev_ioctl_data_unref(pending.urb);
    }
    queue->clear();
  }
}

void UsbfsDoor::SignalReady(bool ready) {
  if (ptySlave_ >= 0) tcflow(ptySlave_, ready ? TCOON : TCOOFF);
}

// Runs the URB through the model and writes its outcome into the client's
// copies: status, actual_length and, for IN transfers, the data.
void UsbfsDoor::CompleteUrb(const PendingUrb& pending) {
  const auto type = ReadField<unsigned char>(pending.urb, offsetof(usbdevfs_urb, type));
  const auto endpoint = ReadField<unsigned char>(pending.urb, offsetof(usbdevfs_urb, endpoint));
  std::span<std::uint8_t> buffer(pending.buffer->data, static_cast<std::size_t>(pending.buffer->data_len));
  int status = -EPIPE;  // a stall, as a recorder answers a request it refuses
  std::uint32_t actual = 0;

  if (type == USBDEVFS_URB_TYPE_CONTROL && endpoint == 0 && buffer.size() >= kSetupSize) {
    const std::uint8_t requestType = buffer[0];
    const std::uint8_t request = buffer[1];
    const std::uint16_t value = GetLe16(buffer, 2);
    const std::uint16_t index = GetLe16(buffer, 4);
    const std::uint16_t length = GetLe16(buffer, 6);
    // Only vendor requests to the device reach the recorder's firmware.
    if ((requestType == 0xC0 || requestType == 0x40) && kSetupSize + length <= buffer.size()) {
      const std::uint8_t direction = requestType == 0xC0 ? 1 : 0;
      std::uint32_t moved = 0;
      if (HandleControl(model_, direction, request, value, index, buffer.subspan(kSetupSize, length), moved)) {
        status = 0;
        actual = moved;
      }
    }
  } else if (type == USBDEVFS_URB_TYPE_BULK && endpoint == kBulkOut) {
    std::uint32_t moved = 0;
    if (HandleBulkOut(model_, buffer, moved)) status = 0;
    actual = moved;
  } else if (type == USBDEVFS_URB_TYPE_BULK && endpoint == kBulkIn) {
    std::uint32_t moved = 0;
    if (HandleBulkIn(model_, buffer, moved)) status = 0;
    actual = moved;
  }
  WriteField<int>(pending.urb, offsetof(usbdevfs_urb, status), status);
  WriteField<int>(pending.urb, offsetof(usbdevfs_urb, actual_length), static_cast<int>(actual));
}

bool UsbfsDoor::HandleIoctl(UMockdevIoctlClient* client) {
  std::lock_guard<std::mutex> guard(mutex_);
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);

  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
      if (caps == nullptr) return false;
      WriteField<std::uint32_t>(caps, 0, USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM);
      umockdev_ioctl_client_complete(client, 0, 0);
      umockdev_ioctl_data_unref(caps);
      return true;
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
      // No kernel driver is bound to the recorder's interface.
      umockdev_ioctl_client_complete(client, -1, ENODATA);
      return true;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;

    case USBDEVFS_SUBMITURB: {
      // Keep the client's URB and buffer until the reap; the URB itself is
      // left as the client wrote it until then.
      PendingUrb pending;
      pending.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
      if (pending.urb == nullptr) return false;
      const int length = ReadField<int>(pending.urb, offsetof(usbdevfs_urb, buffer_length));
      pending.buffer = umockdev_ioctl_data_resolve(pending.urb, offsetof(usbdevfs_urb, buffer),
                                                   static_cast<gsize>(length > 0 ? length : 0), nullptr);
      if (pending.buffer == nullptr || !present_) {
        if (pending.buffer != nullptr) umockdev_ioctl_data_unref(pending.buffer);
        umockdev_ioctl_data_unref(pending.urb);
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
      }
      submitted_.push_back(pending);
      SignalReady(true);
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }

    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      PendingUrb pending;
      if (!discarded_.empty()) {
        pending = discarded_.front();
        discarded_.pop_front();
        WriteField<int>(pending.urb, offsetof(usbdevfs_urb, status), -ENOENT);
        WriteField<int>(pending.urb, offsetof(usbdevfs_urb, actual_length), 0);
      } else if (!submitted_.empty()) {
        pending = submitted_.front();
        submitted_.pop_front();
        CompleteUrb(pending);
      } else {
        SignalReady(false);
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return true;
      }
      if (submitted_.empty() && discarded_.empty()) SignalReady(false);
      UMockdevIoctlData* where = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
      if (where != nullptr) umockdev_ioctl_data_set_ptr(where, 0, pending.urb);
      umockdev_ioctl_client_complete(client, 0, 0);
      if (where != nullptr) umockdev_ioctl_data_unref(where);
      umockdev_ioctl_data_unref(pending.buffer);
      umockdev_ioctl_data_unref(pending.urb);
      return true;
    }

    case USBDEVFS_DISCARDURB: {
      // The argument is the client's address of the URB to cancel.
      const auto address = ReadField<gulong>(arg, 0);
      for (auto it = submitted_.begin(); it != submitted_.end(); ++it) {
        if (it->urb->client_addr == address) {
          discarded_.push_back(*it);
          submitted_.erase(it);
          SignalReady(true);
          umockdev_ioctl_client_complete(client, 0, 0);
          return true;
        }
      }
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return true;
    }

    default:
      return false;
  }
}

}  // namespace k24::emulator
