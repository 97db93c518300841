// What the link costs through the real libusb, in this process, against the
// recorder model on a mocked USB bus (the testbed's usbfs door): one presence
// probe with other devices on the bus, one vendor request, and a run of
// restarts with a short absence, each followed by the wait for re-enumeration.
//
//   libusb_benchmark [benchmark options]     the probe, with 1, 10, 30 other devices
//   libusb_benchmark --restarts N --absence MS
//                                            N restarts in a row; prints how many
//                                            the wait missed (it gives up on one
//                                            after 30 s) and the longest wait
//
// Runs itself again under umockdev's preload library when it is not loaded.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

#include "link/device_link.h"
#include "link/driver_libusb.h"
#include "testing/recorder_model.h"
#include "testing/testbed/usbfs_door.h"

namespace {

constexpr std::uint8_t kRestartRequest = 0x23;             // the recorder's Restart
constexpr std::uint8_t kGetFirmwareVersionRequest = 0xC6;  // and its firmware version query

// One mocked bus and one driver for the whole run: libusb sees the bus that
// exists when its context is made, and hears of changes from then on.
struct Bus {
  k24::emulator::RecorderModel model;
  k24::emulator::UsbfsDoor door{model};
  std::unique_ptr<k24::UsbDriver> driver;
  k24::DeviceLink link;
  int otherDevices = 0;

  bool Start() {
    std::string error;
    if (!door.Start(error)) {
      std::fprintf(stderr, "libusb_benchmark: %s\n", error.c_str());
      return false;
    }
    door.Service();  // the recorder onto the bus
    driver = k24::MakeLibusbDriver();
    link.driver = driver.get();
    link.clock = &k24::SystemClock();
    k24::SetTargetDevice(link, 0x10C4, 0x4512);
    return true;
  }

  // Adds devices up to `count`, and lets the driver take in their arrival.
  void OtherDevices(int count) {
    if (count > otherDevices) door.AddOtherDevices(count - otherDevices);
    otherDevices = count;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    k24::IsRecorderPresent(link);
  }
};

Bus* gBus = nullptr;

void BM_ProbeThroughLibusb(benchmark::State& state) {
  gBus->OtherDevices(static_cast<int>(state.range(0)));
  if (!k24::IsRecorderPresent(gBus->link)) {
    state.SkipWithError("the recorder is not found on the mocked bus");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(k24::IsRecorderPresent(gBus->link));
  }
  state.counters["other_devices"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_ProbeThroughLibusb)->Arg(1)->Arg(10)->Arg(30)->Unit(benchmark::kMicrosecond);

// One version query (a probe, the recorder's USB device opened, one control
// transfer with a 2-byte reply, closed), as every request of an update goes.
void BM_VendorRequestThroughLibusb(benchmark::State& state) {
  gBus->OtherDevices(static_cast<int>(state.range(0)));
  std::array<std::uint8_t, 2> reply{};
  if (!k24::SendVendorRequest(gBus->link, 1, kGetFirmwareVersionRequest, 0, 0, reply)) {
    state.SkipWithError("the recorder does not answer on the mocked bus");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(k24::SendVendorRequest(gBus->link, 1, kGetFirmwareVersionRequest, 0, 0, reply));
  }
}
BENCHMARK(BM_VendorRequestThroughLibusb)->Arg(30)->Unit(benchmark::kMicrosecond);

int RunRestarts(Bus& bus, int restarts, int absenceMs) {
  bus.door.SetAbsence(std::chrono::milliseconds(absenceMs));
  std::atomic<bool> running{true};
  std::thread service([&] {
    while (running) {
      bus.door.Service();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  int missed = 0;
  double longestMs = 0;
  for (int i = 0; i < restarts; ++i) {
    std::span<std::uint8_t> none;
    if (!k24::SendVendorRequest(bus.link, 1, kRestartRequest, 0, 0, none)) {
      std::fprintf(stderr, "restart %d: the request failed\n", i + 1);
      ++missed;
      continue;
    }
    const auto start = std::chrono::steady_clock::now();
    const bool seen = k24::WaitForReenumeration(bus.link);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    longestMs = std::max(longestMs, ms);
    if (!seen) {
      ++missed;
      std::fprintf(stderr, "restart %d: missed (the wait gave up after %.0f ms)\n", i + 1, ms);
    }
  }
  running = false;
  service.join();
  int enumerations = 0;
  {
    std::lock_guard<std::mutex> guard(bus.door.Lock());
    enumerations = bus.door.Enumerations();
  }
  std::printf("restarts: %d\nabsence-ms: %d\nmissed: %d\nenumerations: %d\nlongest-wait-ms: %.1f\n", restarts,
              absenceMs, missed, enumerations, longestMs);
  return missed == 0 ? 0 : 1;
}

// The mocked bus only exists for a process under umockdev's preload library.
void EnsurePreload(char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr) return;
  std::string value = "libumockdev-preload.so.0";
  if (preload != nullptr && preload[0] != '\0') value += std::string(":") + preload;
  setenv("LD_PRELOAD", value.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::perror("libusb_benchmark: re-running under the umockdev preload");
}

}  // namespace

int main(int argc, char** argv) {
  EnsurePreload(argv);
  int restarts = 0;
  int absenceMs = 1;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--restarts") == 0) restarts = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--absence") == 0) absenceMs = std::atoi(argv[i + 1]);
  }
  Bus bus;
  if (!bus.Start()) return 77;
  gBus = &bus;
  if (restarts > 0) return RunRestarts(bus, restarts, absenceMs);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
