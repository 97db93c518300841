// The driver port on libusb-1.0.
//
// Device names are the devices on the bus, written "usb:BBB:DDD" (bus number,
// device address). A recorder that restarts comes back under a new address
// and so under a new name, which the link finds by probing again. Its place
// (the bus number and the port chain, libusb_get_port_numbers) stays the
// same when it comes back on the same port: that is how the link knows it.
//
// The bus as this port sees it is a table of its devices (libusb caches each
// one's descriptor, so the probe reads none from the device). Where libusb has hotplug, the table is kept from its
// arrival and departure events, taken in without blocking at every probe: a
// probe is then a walk through the table, with no system call per device.
// The events are also counted per identity and place, so a recorder that
// leaves and comes back between two probes is still seen to have restarted,
// and one that comes or goes elsewhere is not taken for it. Without
// hotplug the table is listed afresh at every probe.
//
// Opening a name does not open the USB device. The USB device is opened only
// when a transfer is issued on the handle (only on the recorder, since the
// link issues transfers on nothing else), and closed with the handle.
#include "link/driver_libusb.h"

#include <libusb.h>
#include <unistd.h>

#include <sys/time.h>

#include <array>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "common/byte_order.h"
#include "link/link_records.h"

namespace k24 {
namespace {

// A dead or wedged recorder must not hang the program: every transfer ends
// after this long, well above what any request of the recorder needs. The
// port reports such an end as a time-out, and the procedures stop at the
// first one rather than wait this long for every request that follows.
constexpr unsigned int kTransferTimeoutMs = 5000;

constexpr int kRecorderInterface = 0;

std::string NameOf(libusb_device* device) {
  char text[32];
  std::snprintf(text, sizeof text, "usb:%03u:%03u", static_cast<unsigned>(libusb_get_bus_number(device)),
                static_cast<unsigned>(libusb_get_device_address(device)));
  return text;
}

constexpr std::uint32_t Identity(std::uint16_t vendorId, std::uint16_t productId) {
  return static_cast<std::uint32_t>(vendorId) << 16 | productId;
}

// USB allows seven tiers of hubs below the root: at most seven ports in a chain.
constexpr int kMaxPortChain = 7;

// Where the device is plugged in, "3-1.4"; none for a root hub, or when
// libusb cannot tell.
std::optional<std::string> PlaceOfDevice(libusb_device* device) {
  std::array<std::uint8_t, kMaxPortChain> ports{};
  const int count = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
  if (count <= 0) {
    return std::nullopt;
  }
  std::string place = std::to_string(libusb_get_bus_number(device)) + "-";
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      place += '.';
    }
    place += std::to_string(ports[static_cast<std::size_t>(i)]);
  }
  return place;
}

// A device on the bus as the table holds it.
struct BusDevice {
  libusb_device* device = nullptr;   // referenced while in the table
  bool mayUse = false;               // this user was found to have write access to it
  std::optional<std::string> place;  // taken at its arrival
};

// The device as the port sees it between Open and Close.
struct OpenDevice {
  libusb_device* device = nullptr;          // referenced from Open to Close
  libusb_device_handle* usb = nullptr;      // opened at the first transfer
  bool claimed = false;                     // interface 0 claimed (bulk only)
};

class LibusbDriver final : public UsbDriver {
 public:
  LibusbDriver() = default;
  LibusbDriver(const LibusbDriver&) = delete;
  LibusbDriver& operator=(const LibusbDriver&) = delete;

  ~LibusbDriver() override {
    for (auto& [handle, open] : open_) {
      Release(open);
    }
    open_.clear();
    if (hotplug_) {
      libusb_hotplug_deregister_callback(context_, hotplugHandle_);
    }
    ForgetDevices();
    if (context_ != nullptr) {
      libusb_exit(context_);
    }
  }

  std::vector<std::string> DeviceNames() override {
    std::vector<std::string> names;
    if (Context() == nullptr) {
      return names;
    }
    if (hotplug_) {
      TakeInEvents();
    } else {
      ListDevices();
    }
    names.reserve(devices_.size());
    for (const auto& [name, entry] : devices_) {
      names.push_back(name);
    }
    return names;
  }

  // A lookup in the table as the last DeviceNames left it.
  std::optional<DriverHandle> Open(const std::string& name) override {
    const auto it = devices_.find(name);
    if (it == devices_.end()) {
      return std::nullopt;
    }
    const DriverHandle handle = nextHandle_++;
    open_[handle] = OpenDevice{libusb_ref_device(it->second.device), nullptr, false};
    return handle;
  }

  // A handle opens for transfers only when this user may open the device for
  // writing, as the vendor driver's names do. A recorder whose node the user
  // may not write (no udev rule, not root) then counts as not connected,
  // rather than as a recorder that answers no request, which would read as
  // having no boot loader. Checked without opening, and only on the device the
  // probe chose, so no other device is touched. Access once found stays with
  // the device until it leaves the bus; a refusal is asked again at the next
  // probe, since udev may give the access a moment after the arrival.
  bool MayUse(DriverHandle handle) override {
    const OpenDevice* open = Find(handle);
    if (open == nullptr) {
      return false;
    }
    const auto it = devices_.find(NameOf(open->device));
    const bool listed = it != devices_.end() && it->second.device == open->device;
    if (listed && it->second.mayUse) {
      return true;
    }
    const bool may = MayOpenForWriting(open->device);
    if (listed) {
      it->second.mayUse = may;
    }
    return may;
  }

  bool TellsPlaces() override { return true; }

  std::optional<std::string> PlaceOf(DriverHandle handle) override {
    const OpenDevice* open = Find(handle);
    return open == nullptr ? std::nullopt : PlaceOfDevice(open->device);
  }

  // Opens the device (the link asks only the recorder it chose) and reads the
  // string its device descriptor names as the product's.
  std::optional<std::string> ProductString(DriverHandle handle) override {
    OpenDevice* open = Find(handle);
    if (open == nullptr || !EnsureOpened(*open)) {
      return std::nullopt;
    }
    libusb_device_descriptor fields{};
    if (libusb_get_device_descriptor(open->device, &fields) != LIBUSB_SUCCESS || fields.iProduct == 0) {
      return std::nullopt;
    }
    std::array<unsigned char, 256> text{};
    const int length =
        libusb_get_string_descriptor_ascii(open->usb, fields.iProduct, text.data(), static_cast<int>(text.size()));
    if (length < 0) {
      return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(text.data()), static_cast<std::size_t>(length));
  }

  void Close(DriverHandle handle) override {
    const auto it = open_.find(handle);
    if (it == open_.end()) {
      return;
    }
    Release(it->second);
    open_.erase(it);
  }

  bool GetDeviceDescriptor(DriverHandle handle, std::span<std::uint8_t, 18> descriptor) override {
    OpenDevice* open = Find(handle);
    if (open == nullptr) {
      return false;
    }
    libusb_device_descriptor fields{};
    if (libusb_get_device_descriptor(open->device, &fields) != LIBUSB_SUCCESS) {
      return false;
    }
    descriptor[0] = fields.bLength;
    descriptor[1] = fields.bDescriptorType;
    PutLe16(descriptor, 2, fields.bcdUSB);
    descriptor[4] = fields.bDeviceClass;
    descriptor[5] = fields.bDeviceSubClass;
    descriptor[6] = fields.bDeviceProtocol;
    descriptor[7] = fields.bMaxPacketSize0;
    PutLe16(descriptor, kDescriptorVendorOffset, fields.idVendor);
    PutLe16(descriptor, kDescriptorProductOffset, fields.idProduct);
    PutLe16(descriptor, 12, fields.bcdDevice);
    descriptor[14] = fields.iManufacturer;
    descriptor[15] = fields.iProduct;
    descriptor[16] = fields.iSerialNumber;
    descriptor[17] = fields.bNumConfigurations;
    return true;
  }

  DriverStatus VendorRequest(DriverHandle handle, std::span<const std::uint8_t, 10> record,
                             std::span<std::uint8_t> data, std::uint32_t& transferred) override {
    transferred = 0;
    const k24::VendorRequest request = ParseVendorRequestRecord(record);
    if (request.direction != kDirectionIn && request.direction != kDirectionOut) {
      return DriverStatus::Failed;
    }
    if (data.size() > 0xFFFF) {
      return DriverStatus::Failed;
    }
    OpenDevice* open = Find(handle);
    if (open == nullptr || !EnsureOpened(*open)) {
      return DriverStatus::Failed;
    }
    const int result = libusb_control_transfer(open->usb, SetupRequestType(request.direction), request.request,
                                               request.value, request.index, data.empty() ? nullptr : data.data(),
                                               static_cast<std::uint16_t>(data.size()), kTransferTimeoutMs);
    if (result < 0) {
      return StatusOf(result);
    }
    // A reply shorter than asked succeeds here; the recorder layer decides
    // what it means.
    transferred = static_cast<std::uint32_t>(result);
    return DriverStatus::Ok;
  }

  DriverStatus BulkRead(DriverHandle handle, std::span<const std::uint8_t, 4> pipe, std::span<std::uint8_t> data,
                        std::uint32_t& transferred) override {
    transferred = 0;
    if (ParseBulkPipeRecord(pipe) != kPipeBulkIn) {
      return DriverStatus::Failed;
    }
    return Bulk(handle, LIBUSB_ENDPOINT_IN, data.data(), data.size(), transferred);
  }

  DriverStatus BulkWrite(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                         std::span<const std::uint8_t> data, std::uint32_t& transferred) override {
    transferred = 0;
    if (ParseBulkPipeRecord(pipe) != kPipeBulkOut) {
      return DriverStatus::Failed;
    }
    // libusb takes a non-const buffer for both directions; an OUT transfer
    // only reads it.
    std::vector<std::uint8_t> copy(data.begin(), data.end());
    return Bulk(handle, LIBUSB_ENDPOINT_OUT, copy.data(), copy.size(), transferred);
  }

  std::optional<UsbAddress> AddressOf(DriverHandle handle) override {
    const OpenDevice* open = Find(handle);
    if (open == nullptr) {
      return std::nullopt;
    }
    return UsbAddress{libusb_get_bus_number(open->device), libusb_get_device_address(open->device)};
  }

  std::optional<std::uint8_t> PipeEndpoint(DriverHandle handle, std::uint32_t pipe) override {
    const OpenDevice* open = Find(handle);
    if (open == nullptr || (pipe != kPipeBulkOut && pipe != kPipeBulkIn)) {
      return std::nullopt;
    }
    const std::uint8_t endpoint =
        BulkEndpoint(open->device, pipe == kPipeBulkIn ? LIBUSB_ENDPOINT_IN : LIBUSB_ENDPOINT_OUT);
    if (endpoint == 0) {
      return std::nullopt;
    }
    return endpoint;
  }

  std::optional<PresenceCounts> PresenceEvents(std::uint16_t vendorId, std::uint16_t productId,
                                               const std::string& place) override {
    if (Context() == nullptr || !hotplug_) {
      return std::nullopt;
    }
    const auto it = counts_.find({Identity(vendorId, productId), place});
    return it == counts_.end() ? PresenceCounts{} : it->second;
  }

  bool WaitForBusEvent(std::uint32_t timeoutMs) override {
    if (Context() == nullptr || !hotplug_) {
      return false;
    }
    const std::uint64_t before = events_;
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(timeoutMs / 1000);
    timeout.tv_usec = static_cast<suseconds_t>(timeoutMs % 1000) * 1000;
    // Returns once something was handled (an event) or the time is up.
    libusb_handle_events_timeout_completed(context_, &timeout, nullptr);
    return events_ != before;
  }

  std::vector<int> EventDescriptors() override {
    std::vector<int> descriptors;
    if (Context() == nullptr || !hotplug_) {
      return descriptors;
    }
    const libusb_pollfd** fds = libusb_get_pollfds(context_);
    for (std::size_t i = 0; fds != nullptr && fds[i] != nullptr; ++i) {
      descriptors.push_back(fds[i]->fd);
    }
    libusb_free_pollfds(fds);
    return descriptors;
  }

 private:
  // The one context of the run, made at first use, with the hotplug
  // callback when libusb has hotplug here. Registering it reports every device
  // already on the bus as arrived, which fills the table.
  libusb_context* Context() {
    if (!contextTried_) {
      contextTried_ = true;
      if (libusb_init(&context_) != LIBUSB_SUCCESS) {
        context_ = nullptr;  // no usable libusb: the port sees no devices
        return nullptr;
      }
      if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
        const int events = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
        hotplug_ = libusb_hotplug_register_callback(context_, events, LIBUSB_HOTPLUG_ENUMERATE,
                                                    LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                                    LIBUSB_HOTPLUG_MATCH_ANY, &OnHotplug, this,
                                                    &hotplugHandle_) == LIBUSB_SUCCESS;
        if (!hotplug_) {
          ForgetDevices();  // what the enumeration may have put in; listing takes over
        }
      }
    }
    return context_;
  }

  static int LIBUSB_CALL OnHotplug(libusb_context* /*context*/, libusb_device* device, libusb_hotplug_event event,
                                   void* self) {
    static_cast<LibusbDriver*>(self)->Note(device, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    return 0;  // stay registered
  }

  // One arrival or departure, as libusb reports it from its event handling
  // (on this thread, inside a libusb call).
  void Note(libusb_device* device, bool arrived) {
    libusb_device_descriptor fields{};
    const std::uint32_t identity = libusb_get_device_descriptor(device, &fields) == LIBUSB_SUCCESS
                                       ? Identity(fields.idVendor, fields.idProduct)
                                       : 0;
    const std::string name = NameOf(device);
    const auto it = devices_.find(name);
    std::optional<std::string> place;
    if (arrived) {
      if (it != devices_.end()) {
        libusb_unref_device(it->second.device);  // a departure that never came
      }
      place = PlaceOfDevice(device);
      ForgetOthersAt(place, name);  // whatever the table held there has gone from it
      devices_[name] = BusDevice{libusb_ref_device(device), false, place};
    } else if (it != devices_.end() && it->second.device == device) {
      place = it->second.place;  // as taken at the arrival
      libusb_unref_device(it->second.device);
      devices_.erase(it);
    } else {
      place = PlaceOfDevice(device);
    }
    // Counted for the identity anywhere, and at the device's place.
    const auto count = [&](const std::string& where) {
      PresenceCounts& counts = counts_[{identity, where}];
      ++(arrived ? counts.arrivals : counts.departures);
    };
    count(std::string());
    if (place) {
      count(*place);
    }
    ++events_;
  }

  // Drops the table's devices at `place` other than `name`: a device that
  // arrives at a place takes it from whatever was there.
  void ForgetOthersAt(const std::optional<std::string>& place, const std::string& name) {
    if (!place) {
      return;
    }
    for (auto it = devices_.begin(); it != devices_.end();) {
      if (it->first != name && it->second.place == place) {
        libusb_unref_device(it->second.device);
        it = devices_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Hands libusb's pending events to the callback, without waiting.
  void TakeInEvents() {
    timeval now{};
    libusb_handle_events_timeout_completed(context_, &now, nullptr);
  }

  // Without hotplug: the table becomes the bus as listed now.
  void ListDevices() {
    ForgetDevices();
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    for (ssize_t i = 0; i < count; ++i) {
      devices_[NameOf(list[i])] = BusDevice{libusb_ref_device(list[i]), false, PlaceOfDevice(list[i])};
    }
    if (list != nullptr) {
      libusb_free_device_list(list, 1);
    }
  }

  void ForgetDevices() {
    for (auto& [name, entry] : devices_) {
      libusb_unref_device(entry.device);
    }
    devices_.clear();
  }

  // A name opens only when this user may open the device for writing, as the
  // vendor driver's names do. A recorder whose node the user may not write (no
  // udev rule, not root) then counts as not connected, rather than as a
  // recorder that answers no request, which would read as having no boot
  // loader. Checked without opening, so no other device is touched. Linux
  // only: the check knows Linux's usbfs device nodes.
  static bool MayOpenForWriting([[maybe_unused]] libusb_device* device) {
#if defined(__linux__)
    char node[48];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", static_cast<unsigned>(libusb_get_bus_number(device)),
                  static_cast<unsigned>(libusb_get_device_address(device)));
    return access(node, R_OK | W_OK) == 0;
#else
    return true;  // elsewhere the first transfer's libusb_open says
#endif
  }

  OpenDevice* Find(DriverHandle handle) {
    const auto it = open_.find(handle);
    return it == open_.end() ? nullptr : &it->second;
  }

  static bool EnsureOpened(OpenDevice& open) {
    if (open.usb != nullptr) {
      return true;
    }
    if (libusb_open(open.device, &open.usb) != LIBUSB_SUCCESS) {
      open.usb = nullptr;
      return false;
    }
    return true;
  }

  static void Release(OpenDevice& open) {
    if (open.usb != nullptr) {
      if (open.claimed) {
        libusb_release_interface(open.usb, kRecorderInterface);
      }
      libusb_close(open.usb);
    }
    libusb_unref_device(open.device);
    open = OpenDevice{};
  }

  // The address of the first bulk endpoint of interface 0 (alternate setting
  // 0) in the given direction, as the active configuration lists it; 0 when
  // there is none. Pipes are found by their kind, never by their position.
  static std::uint8_t BulkEndpoint(libusb_device* device, std::uint8_t direction) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS || config == nullptr) {
      return 0;
    }
    std::uint8_t address = 0;
    for (int i = 0; i < config->bNumInterfaces && address == 0; ++i) {
      const libusb_interface& interface = config->interface[i];
      if (interface.num_altsetting < 1) {
        continue;
      }
      const libusb_interface_descriptor& setting = interface.altsetting[0];
      if (setting.bInterfaceNumber != kRecorderInterface) {
        continue;
      }
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        const bool bulk = (endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK;
        if (bulk && (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == direction) {
          address = endpoint.bEndpointAddress;
          break;
        }
      }
    }
    libusb_free_config_descriptor(config);
    return address;
  }

  DriverStatus Bulk(DriverHandle handle, std::uint8_t direction, std::uint8_t* buffer, std::size_t length,
                    std::uint32_t& transferred) {
    if (length > 0x7FFFFFFF) {
      return DriverStatus::Failed;
    }
    OpenDevice* open = Find(handle);
    if (open == nullptr) {
      return DriverStatus::Failed;
    }
    const std::uint8_t endpoint = BulkEndpoint(open->device, direction);
    if (endpoint == 0 || !EnsureOpened(*open)) {
      return DriverStatus::Failed;
    }
    if (!open->claimed) {
      // A kernel driver bound to the interface is set aside while it is
      // claimed and given back when it is released.
      libusb_set_auto_detach_kernel_driver(open->usb, 1);
      if (libusb_claim_interface(open->usb, kRecorderInterface) != LIBUSB_SUCCESS) {
        return DriverStatus::Failed;
      }
      open->claimed = true;
    }
    int moved = 0;
    const int result = libusb_bulk_transfer(open->usb, endpoint, buffer, static_cast<int>(length), &moved,
                                            kTransferTimeoutMs);
    // A time-out may still have moved part of the data: the count is
    // reported either way, and the transfer counts as failed.
    transferred = moved > 0 ? static_cast<std::uint32_t>(moved) : 0;
    return result == LIBUSB_SUCCESS ? DriverStatus::Ok : StatusOf(result);
  }

  // A libusb error as the port tells it: LIBUSB_ERROR_TIMEOUT is libusb's
  // word for a transfer the device never completed within its time limit
  // (it cancels it then); every other error is a failure.
  static DriverStatus StatusOf(int error) {
    return error == LIBUSB_ERROR_TIMEOUT ? DriverStatus::TimedOut : DriverStatus::Failed;
  }

  libusb_context* context_ = nullptr;
  bool contextTried_ = false;
  bool hotplug_ = false;
  libusb_hotplug_callback_handle hotplugHandle_{};
  std::map<std::string, BusDevice> devices_;        // the bus, by name
  // Events, by identity and place ("" for the identity anywhere).
  std::map<std::pair<std::uint32_t, std::string>, PresenceCounts> counts_;
  std::uint64_t events_ = 0;                        // every event taken in
  DriverHandle nextHandle_ = 1;
  std::map<DriverHandle, OpenDevice> open_;
};

}  // namespace

std::unique_ptr<UsbDriver> MakeLibusbDriver() { return std::make_unique<LibusbDriver>(); }

}  // namespace k24
