#include "testing/testbed/usbfs_door.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <linux/usbdevice_fs.h>
#include <pty.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
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

// Standard requests the door answers itself: GET_DESCRIPTOR for strings.
constexpr std::uint8_t kStandardIn = 0x80;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kStringDescriptor = 3;

// Device numbers: other devices 2 to 51, recorders 52 to 250, hubs from 251.
constexpr int kFirstHubNumber = 251;
constexpr int kMaxHubs = 5;

std::vector<std::uint8_t> DeviceDescriptor(std::uint16_t vendor, std::uint16_t product, std::uint8_t deviceClass,
                                           std::uint8_t productString = 0) {
  std::vector<std::uint8_t> d(18, 0);
  d[0] = 18;     // bLength
  d[1] = 1;      // DEVICE
  PutLe16(d, 2, 0x0200);  // USB 2.0
  d[4] = deviceClass;
  d[7] = 64;     // bMaxPacketSize0
  PutLe16(d, 8, vendor);
  PutLe16(d, 10, product);
  PutLe16(d, 12, 0x0100);  // bcdDevice
  d[15] = productString;   // iProduct
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

// The ports of a place on bus 1 ("1-3.1": 3, 1); empty when it is none.
std::vector<int> PortsOf(const std::string& place) {
  std::vector<int> ports;
  if (place.rfind("1-", 0) != 0) return {};
  std::size_t at = 2;
  while (at <= place.size()) {
    const std::size_t dot = std::min(place.find('.', at), place.size());
    const std::string number = place.substr(at, dot - at);
    if (number.empty() || number.size() > 3 || number.find_first_not_of("0123456789") != std::string::npos) return {};
    const int port = std::stoi(number);
    if (port < 1 || port > 255) return {};
    ports.push_back(port);
    at = dot + 1;
  }
  return ports;
}

// The sysfs path of the device at the first `depth` ports of `ports`:
// /devices/usb1/1-3/1-3.1 for 3, 1.
std::string DevicePath(const std::vector<int>& ports, std::size_t depth) {
  std::string path = "/devices/usb1";
  std::string name = "1-";
  for (std::size_t i = 0; i < depth; ++i) {
    name += (i > 0 ? "." : "") + std::to_string(ports[i]);
    path += "/" + name;
  }
  return path;
}

gboolean OnHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer door) {
  return static_cast<UsbfsDoor*>(door)->HandleIoctl(client) ? TRUE : FALSE;
}

}  // namespace

UsbfsDoor::UsbfsDoor(RecorderModel& model) : bus_(ownBus_) {
  AddRecorder(ownBus_, model, "1-1");
  devices_.resize(1);
}

UsbfsDoor::UsbfsDoor(RecorderBus& recorders) : bus_(recorders), devices_(recorders.recorders.size()) {}

UsbfsDoor::~UsbfsDoor() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t which = 0; which < devices_.size(); ++which) {
      Device& device = devices_[which];
      if (device.present) RemoveDevice(which);
      if (device.holdingReply) {
        umockdev_ioctl_data_unref(device.heldReply.buffer);
        umockdev_ioctl_data_unref(device.heldReply.urb);
        device.holdingReply = false;
      }
      if (device.retired) DropRetired(device);
      ReleasePending(device);
    }
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
  // Every place first: where each recorder goes, and the hubs between.
  std::vector<std::vector<int>> hubs;
  for (std::size_t which = 0; which < bus_.recorders.size(); ++which) {
    const std::string& place = bus_.recorders[which].place;
    const std::vector<int> ports = PortsOf(place);
    if (ports.empty()) {
      error = "not a place on bus 1: \"" + place + "\"";
      return false;
    }
    firstFreePort_ = std::max(firstFreePort_, ports[0] + 1);
    for (std::size_t depth = 1; depth < ports.size(); ++depth) {
      const std::vector<int> hub(ports.begin(), ports.begin() + static_cast<std::ptrdiff_t>(depth));
      if (std::find(hubs.begin(), hubs.end(), hub) == hubs.end()) hubs.push_back(hub);
    }
    devices_[which].devpath = DevicePath(ports, ports.size());
  }
  if (hubs.size() > static_cast<std::size_t>(kMaxHubs)) {
    error = "the places need more than " + std::to_string(kMaxHubs) + " hubs";
    return false;
  }
  // A hub before the hubs below it.
  std::sort(hubs.begin(), hubs.end(), [](const auto& a, const auto& b) { return a.size() < b.size(); });

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
  std::vector<std::uint8_t> external = DeviceDescriptor(0x05E3, 0x0608, 9);  // a hub of its own make
  external.insert(external.end(), hubConfig.begin(), hubConfig.end());
  for (std::size_t i = 0; i < hubs.size(); ++i) {
    const std::string record = DeviceRecord(DevicePath(hubs[i], hubs[i].size()), kFirstHubNumber + static_cast<int>(i),
                                            external);
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &failure)) {
      error = std::string("umockdev could not add a hub: ") + (failure ? failure->message : "?");
      if (failure) g_error_free(failure);
      return false;
    }
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
    // The root hub's ports after the recorders', device numbers 2 to 51:
    // below the recorders', so a probe that goes through the bus in order of
    // addresses meets all of them before a recorder.
    const std::string devpath = "/devices/usb1/1-" + std::to_string(firstFreePort_ + otherDevices_);
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

void UsbfsDoor::PlugIn(std::size_t which) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!bus_.recorders.at(which).model->onBus) PlugInAt(bus_, which);
  if (!devices_[which].present) AddDevice(which);
}

void UsbfsDoor::Unplug(std::size_t which) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (bus_.recorders.at(which).model->onBus) UnplugAt(bus_, which);
  if (devices_[which].present) RemoveDevice(which);
  devices_[which].leaving = false;
}

void UsbfsDoor::Service() {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto now = std::chrono::steady_clock::now();
  // Returns that are due first, then what they set off (a recorder unplugged
  // as another comes back), then the devices to match the models.
  for (std::size_t which = 0; which < devices_.size(); ++which) {
    RecorderModel& model = *bus_.recorders[which].model;
    const Device& device = devices_[which];
    if (!device.present && !device.leaving && !model.onBus && model.returnPending &&
        now - device.leftAt >= absence_) {
      ComeBack(model);
    }
  }
  ApplyBusMoments(bus_);
  for (std::size_t which = 0; which < devices_.size(); ++which) ServeDevice(which, now);
}

void UsbfsDoor::ServeDevice(std::size_t which, std::chrono::steady_clock::time_point now) {
  RecorderModel& model = *bus_.recorders[which].model;
  Device& device = devices_[which];
  if (device.holdingReply) {
    ServeHeldRestart(which, now);
    return;
  }
  if (device.retired) DropRetired(device);  // its reply has been reaped
  if (device.present && !model.onBus) {
    // Give the answer to the request that sent it away a moment to reach the
    // host before the device disappears, as a recorder finishes its status
    // stage before it drops off the bus.
    if (!device.leaving) {
      device.leaving = true;
      device.leftAt = now;
    } else if (now - device.leftAt >= std::chrono::milliseconds(2)) {
      RemoveDevice(which);
      device.leftAt = now;
      device.leaving = false;
      if (model.returnPending && absence_ < kShortAbsence) {
        // Served here: the owner's loop may come round later than this.
        std::this_thread::sleep_for(absence_);
        ComeBack(model);
        ApplyBusMoments(bus_);
        AddDevice(which);
      }
    }
    return;
  }
  device.leaving = false;
  if (!device.present && model.onBus) AddDevice(which);
}

void UsbfsDoor::ServeHeldRestart(std::size_t which, std::chrono::steady_clock::time_point now) {
  Device& device = devices_[which];
  if (!device.retired) {
    // The restart, announced whole: gone, and back under a new number.
    RetireDevice(device);
    ComeBack(*bus_.recorders[which].model);
    ApplyBusMoments(bus_);
    AddDevice(which);
    device.heldReplyReadyAt = now + kAnnouncementsSettle;
  } else if (!device.heldReplyReady && now >= device.heldReplyReadyAt) {
    device.heldReplyReady = true;
    tcflow(device.retiredNode.ptySlave, TCOON);
  }
}

void UsbfsDoor::AddDevice(std::size_t which) {
  Device& device = devices_[which];
  // Device numbers 52 to 250, round and round (other devices use 2 to 51).
  device.deviceNumber = nextDeviceNumber_;
  nextDeviceNumber_ = nextDeviceNumber_ >= 250 ? 52 : nextDeviceNumber_ + 1;
  device.devnode = "/dev/bus/usb/001/" + Three(device.deviceNumber);

  // The node is a pty's slave, held stopped: poll() on it reports "writable"
  // (a URB is ready to reap) only while the door restarts its output, and
  // closing the master hangs it up, which libusb takes for an unplug.
  char slaveName[128] = {};
  if (openpty(&device.ptyMaster, &device.ptySlave, slaveName, nullptr, nullptr) != 0) {
    std::perror("k24-testbed: openpty");
    return;
  }
  fcntl(device.ptyMaster, F_SETFD, FD_CLOEXEC);
  fcntl(device.ptySlave, F_SETFD, FD_CLOEXEC);
  if (nodeMode_ != 0) fchmod(device.ptySlave, nodeMode_);
  SignalReady(device, false);
  const std::filesystem::path node = rootDir_ + device.devnode;
  std::filesystem::create_directories(node.parent_path());
  std::filesystem::remove(node);
  std::filesystem::create_symlink(slaveName, node);

  // The handler first, so that the node answers as soon as the add event
  // announces it.
  GError* failure = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, device.devnode.c_str(), handler_, &failure)) {
    std::fprintf(stderr, "k24-testbed: attach_ioctl: %s\n", failure ? failure->message : "?");
    if (failure) g_error_free(failure);
  }
  std::vector<std::uint8_t> descriptors =
      DeviceDescriptor(kRecorderVendorId, kRecorderProductId, 0, kModelProductStringIndex);
  const std::vector<std::uint8_t> config = RecorderConfiguration();
  descriptors.insert(descriptors.end(), config.begin(), config.end());
  if (!umockdev_testbed_add_from_string(testbed_, DeviceRecord(device.devpath, device.deviceNumber, descriptors).c_str(),
                                        &failure)) {
    std::fprintf(stderr, "k24-testbed: add device: %s\n", failure ? failure->message : "?");
    if (failure) g_error_free(failure);
  }
  device.present = true;
  ++enumerations_;
}

void UsbfsDoor::RemoveDevice(std::size_t which) {
  Device& device = devices_[which];
  const std::string syspath = "/sys" + device.devpath;
  // umockdev 0.17 does not send the remove event itself.
  umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
  if (device.ptyMaster >= 0) close(device.ptyMaster);
  device.ptyMaster = -1;
  umockdev_testbed_remove_device(testbed_, syspath.c_str());
  umockdev_testbed_detach_ioctl(testbed_, device.devnode.c_str(), nullptr);
  if (device.ptySlave >= 0) close(device.ptySlave);
  device.ptySlave = -1;
  std::error_code ignored;
  std::filesystem::remove(rootDir_ + device.devnode, ignored);
  ReleasePending(device);
  device.present = false;
}

void UsbfsDoor::RetireDevice(Device& device) {
  const std::string syspath = "/sys" + device.devpath;
  umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, syspath.c_str());
  std::error_code ignored;
  std::filesystem::remove(rootDir_ + device.devnode, ignored);
  device.retiredNode = RetiredNode{device.ptyMaster, device.ptySlave, device.devnode};
  device.retired = true;
  device.ptyMaster = -1;
  device.ptySlave = -1;
  device.present = false;
}

void UsbfsDoor::DropRetired(Device& device) {
  if (device.retiredNode.ptyMaster >= 0) close(device.retiredNode.ptyMaster);
  umockdev_testbed_detach_ioctl(testbed_, device.retiredNode.devnode.c_str(), nullptr);
  if (device.retiredNode.ptySlave >= 0) close(device.retiredNode.ptySlave);
  device.retiredNode = RetiredNode{};
  device.retired = false;
}

void UsbfsDoor::ReleasePending(Device& device) {
  for (std::deque<PendingUrb>* queue : {&device.submitted, &device.unanswered, &device.discarded}) {
    for (const PendingUrb& pending : *queue) {
      umockdev_ioctl_data_unref(pending.buffer);
      umockdev_ioctl_data_unref(pending.urb);
    }
    queue->clear();
  }
}

void UsbfsDoor::SignalReady(Device& device, bool ready) {
  if (device.ptySlave >= 0) tcflow(device.ptySlave, ready ? TCOON : TCOOFF);
}

std::size_t UsbfsDoor::DeviceOf(UMockdevIoctlClient* client, bool& retiredNode) const {
  const gchar* node = umockdev_ioctl_client_get_devnode(client);
  const std::string path = node != nullptr ? node : "";
  // The node as attached, or as the client opened it inside the testbed.
  const auto names = [&path](const std::string& devnode) {
    return !devnode.empty() &&
           (path == devnode || (path.size() > devnode.size() &&
                                path.compare(path.size() - devnode.size(), std::string::npos, devnode) == 0));
  };
  for (std::size_t which = 0; which < devices_.size(); ++which) {
    const Device& device = devices_[which];
    if (device.present && names(device.devnode)) {
      retiredNode = false;
      return which;
    }
    if (device.retired && names(device.retiredNode.devnode)) {
      retiredNode = true;
      return which;
    }
  }
  retiredNode = false;
  return devices_.size();
}

// Runs the URB through the model and writes its outcome into the client's
// copies: status, actual_length and, for IN transfers, the data. False when
// the recorder gave no answer: the URB is then left as it is, not completed.
bool UsbfsDoor::CompleteUrb(std::size_t which, const PendingUrb& pending) {
  const auto type = ReadField<unsigned char>(pending.urb, offsetof(usbdevfs_urb, type));
  const auto endpoint = ReadField<unsigned char>(pending.urb, offsetof(usbdevfs_urb, endpoint));
  std::span<std::uint8_t> buffer(pending.buffer->data, static_cast<std::size_t>(pending.buffer->data_len));
  Outcome outcome = Outcome::Failed;  // a stall, as a recorder answers a request it refuses
  std::uint32_t actual = 0;

  if (type == USBDEVFS_URB_TYPE_CONTROL && endpoint == 0 && buffer.size() >= kSetupSize) {
    const std::uint8_t requestType = buffer[0];
    const std::uint8_t request = buffer[1];
    const std::uint16_t value = GetLe16(buffer, 2);
    const std::uint16_t index = GetLe16(buffer, 4);
    const std::uint16_t length = GetLe16(buffer, 6);
    const std::span<std::uint8_t> stage = buffer.subspan(kSetupSize);
    if ((requestType == 0xC0 || requestType == 0x40) && length <= stage.size()) {
      // Vendor requests to the device reach the recorder's firmware.
      const std::uint8_t direction = requestType == 0xC0 ? 1 : 0;
      std::uint32_t moved = 0;
      outcome = HandleControlAt(bus_, which, direction, request, value, index, stage.first(length), moved);
      if (outcome == Outcome::Ok) actual = moved;
    } else if (requestType == kStandardIn && request == kGetDescriptor && (value >> 8) == kStringDescriptor &&
               length <= stage.size()) {
      const std::vector<std::uint8_t> descriptor =
          ReadStringDescriptor(*bus_.recorders[which].model, static_cast<std::uint8_t>(value & 0xFF), index);
      if (!descriptor.empty()) {
        actual = static_cast<std::uint32_t>(std::min<std::size_t>(descriptor.size(), length));
        std::copy_n(descriptor.begin(), actual, stage.begin());
        outcome = Outcome::Ok;
      }
    }
  } else if (type == USBDEVFS_URB_TYPE_BULK && endpoint == kBulkOut) {
    outcome = HandleBulkOutAt(bus_, which, buffer, actual);
  } else if (type == USBDEVFS_URB_TYPE_BULK && endpoint == kBulkIn) {
    outcome = HandleBulkInAt(bus_, which, buffer, actual);
  }
  if (outcome == Outcome::NoAnswer) return false;
  WriteField<int>(pending.urb, offsetof(usbdevfs_urb, status), outcome == Outcome::Ok ? 0 : -EPIPE);
  WriteField<int>(pending.urb, offsetof(usbdevfs_urb, actual_length), static_cast<int>(actual));
  return true;
}

bool UsbfsDoor::HandleIoctl(UMockdevIoctlClient* client) {
  std::lock_guard<std::mutex> guard(mutex_);
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  bool onRetiredNode = false;
  const std::size_t which = DeviceOf(client, onRetiredNode);
  Device* device = which < devices_.size() ? &devices_[which] : nullptr;

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
      if (pending.buffer == nullptr || device == nullptr || onRetiredNode) {
        if (pending.buffer != nullptr) umockdev_ioctl_data_unref(pending.buffer);
        umockdev_ioctl_data_unref(pending.urb);
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
      }
      device->submitted.push_back(pending);
      SignalReady(*device, true);
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }

    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      // Hands the client a URB that is done with.
      const auto reaped = [&](const PendingUrb& pending) {
        UMockdevIoctlData* where = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        if (where != nullptr) umockdev_ioctl_data_set_ptr(where, 0, pending.urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        if (where != nullptr) umockdev_ioctl_data_unref(where);
        umockdev_ioctl_data_unref(pending.buffer);
        umockdev_ioctl_data_unref(pending.urb);
        return true;
      };
      if (onRetiredNode) {
        // The node the restart came through: only the held reply is reaped
        // here, once its removal and return were announced.
        if (!device->holdingReply || !device->heldReplyReady) {
          umockdev_ioctl_client_complete(client, -1, EAGAIN);
          return true;
        }
        tcflow(device->retiredNode.ptySlave, TCOOFF);
        device->holdingReply = false;
        device->heldReplyReady = false;
        return reaped(device->heldReply);
      }
      PendingUrb pending;
      if (device != nullptr && !device->discarded.empty()) {
        pending = device->discarded.front();
        device->discarded.pop_front();
        WriteField<int>(pending.urb, offsetof(usbdevfs_urb, status), -ENOENT);
        WriteField<int>(pending.urb, offsetof(usbdevfs_urb, actual_length), 0);
      } else if (device != nullptr && !device->submitted.empty()) {
        pending = device->submitted.front();
        device->submitted.pop_front();
        if (!CompleteUrb(which, pending)) {
          // No answer: the URB stays with the door until the host gives up on
          // it (libusb discards it when its time limit has passed).
          device->unanswered.push_back(pending);
          if (device->submitted.empty() && device->discarded.empty()) SignalReady(*device, false);
          umockdev_ioctl_client_complete(client, -1, EAGAIN);
          return true;
        }
        const RecorderModel& model = *bus_.recorders[which].model;
        if (restartBeforeReply_ && device->present && !model.onBus && model.returnPending) {
          // A restart: its reply waits until Service has announced it.
          device->heldReply = pending;
          device->holdingReply = true;
          device->heldReplyReady = false;
          SignalReady(*device, false);
          umockdev_ioctl_client_complete(client, -1, EAGAIN);
          return true;
        }
      } else {
        if (device != nullptr) SignalReady(*device, false);
        umockdev_ioctl_client_complete(client, -1, device != nullptr ? EAGAIN : ENODEV);
        return true;
      }
      if (device->submitted.empty() && device->discarded.empty()) SignalReady(*device, false);
      return reaped(pending);
    }

    case USBDEVFS_DISCARDURB: {
      // The argument is the client's address of the URB to cancel.
      const auto address = ReadField<gulong>(arg, 0);
      if (device != nullptr) {
        for (std::deque<PendingUrb>* queue : {&device->submitted, &device->unanswered}) {
          for (auto it = queue->begin(); it != queue->end(); ++it) {
            if (it->urb->client_addr == address) {
              device->discarded.push_back(*it);
              queue->erase(it);
              SignalReady(*device, true);
              umockdev_ioctl_client_complete(client, 0, 0);
              return true;
            }
          }
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
