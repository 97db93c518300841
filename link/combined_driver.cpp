#include "link/combined_driver.h"

#include <array>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace k24 {
namespace {

class CombinedDriver final : public UsbDriver {
 public:
  CombinedDriver(std::unique_ptr<UsbDriver> first, std::unique_ptr<UsbDriver> second)
      : backends_{std::move(first), std::move(second)} {}
  CombinedDriver(const CombinedDriver&) = delete;
  CombinedDriver& operator=(const CombinedDriver&) = delete;
  ~CombinedDriver() override {
    for (const auto& [handle, inner] : open_) {
      backends_.at(inner.backend)->Close(inner.handle);
    }
  }

  std::vector<std::string> DeviceNames() override {
    names_.clear();
    std::vector<std::string> names;
    for (std::size_t backend = 0; backend < backends_.size(); ++backend) {
      for (std::string& name : backends_.at(backend)->DeviceNames()) {
        if (names_.emplace(name, backend).second) {
          names.push_back(std::move(name));
        }
      }
    }
    return names;
  }

  // By the last listing: a name opens on the backend that listed it.
  std::optional<DriverHandle> Open(const std::string& name) override {
    const auto listed = names_.find(name);
    if (listed == names_.end()) {
      return std::nullopt;
    }
    const std::optional<DriverHandle> inner = backends_.at(listed->second)->Open(name);
    if (!inner) {
      return std::nullopt;
    }
    const DriverHandle handle = nextHandle_++;
    open_[handle] = Inner{listed->second, *inner};
    return handle;
  }

  void Close(DriverHandle handle) override {
    const auto it = open_.find(handle);
    if (it == open_.end()) {
      return;
    }
    backends_.at(it->second.backend)->Close(it->second.handle);
    open_.erase(it);
  }

  bool MayUse(DriverHandle handle) override {
    const Inner* inner = Find(handle);
    return inner != nullptr && Backend(*inner).MayUse(inner->handle);
  }

  bool TellsPlaces() override { return backends_[0]->TellsPlaces() || backends_[1]->TellsPlaces(); }

  std::optional<std::string> PlaceOf(DriverHandle handle) override {
    const Inner* inner = Find(handle);
    return inner == nullptr ? std::nullopt : Backend(*inner).PlaceOf(inner->handle);
  }

  std::optional<std::string> ProductString(DriverHandle handle) override {
    const Inner* inner = Find(handle);
    return inner == nullptr ? std::nullopt : Backend(*inner).ProductString(inner->handle);
  }

  bool SawUnservedDevice(std::uint16_t vendorId, std::uint16_t productId, const std::string& place) override {
    return backends_[0]->SawUnservedDevice(vendorId, productId, place) ||
           backends_[1]->SawUnservedDevice(vendorId, productId, place);
  }

  bool GetDeviceDescriptor(DriverHandle handle, std::span<std::uint8_t, 18> descriptor) override {
    const Inner* inner = Find(handle);
    return inner != nullptr && Backend(*inner).GetDeviceDescriptor(inner->handle, descriptor);
  }

  DriverStatus VendorRequest(DriverHandle handle, std::span<const std::uint8_t, 10> record,
                             std::span<std::uint8_t> data, std::uint32_t& transferred) override {
    transferred = 0;
    const Inner* inner = Find(handle);
    return inner == nullptr ? DriverStatus::Failed : Backend(*inner).VendorRequest(inner->handle, record, data, transferred);
  }

  DriverStatus BulkRead(DriverHandle handle, std::span<const std::uint8_t, 4> pipe, std::span<std::uint8_t> data,
                        std::uint32_t& transferred) override {
    transferred = 0;
    const Inner* inner = Find(handle);
    return inner == nullptr ? DriverStatus::Failed : Backend(*inner).BulkRead(inner->handle, pipe, data, transferred);
  }

  DriverStatus BulkWrite(DriverHandle handle, std::span<const std::uint8_t, 4> pipe,
                         std::span<const std::uint8_t> data, std::uint32_t& transferred) override {
    transferred = 0;
    const Inner* inner = Find(handle);
    return inner == nullptr ? DriverStatus::Failed : Backend(*inner).BulkWrite(inner->handle, pipe, data, transferred);
  }

  std::optional<UsbAddress> AddressOf(DriverHandle handle) override {
    const Inner* inner = Find(handle);
    return inner == nullptr ? std::nullopt : Backend(*inner).AddressOf(inner->handle);
  }

  std::optional<std::uint8_t> PipeEndpoint(DriverHandle handle, std::uint32_t pipe) override {
    const Inner* inner = Find(handle);
    return inner == nullptr ? std::nullopt : Backend(*inner).PipeEndpoint(inner->handle, pipe);
  }

  // No bus events (the defaults): presence is polled on both backends.

 private:
  // A handle of the pair: the backend's and its own handle there.
  struct Inner {
    std::size_t backend = 0;
    DriverHandle handle = 0;
  };

  [[nodiscard]] const Inner* Find(DriverHandle handle) const {
    const auto it = open_.find(handle);
    return it == open_.end() ? nullptr : &it->second;
  }

  UsbDriver& Backend(const Inner& inner) { return *backends_.at(inner.backend); }

  std::array<std::unique_ptr<UsbDriver>, 2> backends_;
  std::map<std::string, std::size_t> names_;  // the last listing: which backend has each name
  std::map<DriverHandle, Inner> open_;
  DriverHandle nextHandle_ = 1;
};

}  // namespace

std::unique_ptr<UsbDriver> MakeCombinedDriver(std::unique_ptr<UsbDriver> first, std::unique_ptr<UsbDriver> second) {
  return std::make_unique<CombinedDriver>(std::move(first), std::move(second));
}

}  // namespace k24
