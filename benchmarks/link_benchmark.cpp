// What one link operation costs on the host's side, against the in-process
// recorder model: a presence probe (nine names, one descriptor query), one
// vendor request (a probe plus the request), and one whole flash programming
// (189 requests). CPU time per operation is the figure to read.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "link/device_link.h"
#include "recorder/flash_programming.h"
#include "recorder/recorder_queries.h"
#include "testing/emulated_bus.h"
#include "testing/fake_clock.h"
#include "testing/recorder_model.h"

namespace {

struct Bench {
  Bench() {
    bus.recordEvents = false;
    link.driver = &bus;
    link.clock = &clock;
    k24::SetTargetDevice(link, 0x10C4, 0x4512);
  }
  k24::emulator::RecorderModel model;
  k24::emulator::EmulatedBus bus{model};
  k24::emulator::FakeClock clock;
  k24::DeviceLink link;
};

void BM_Probe(benchmark::State& state) {
  Bench bench;
  bench.bus.PlaceOtherDevice(0, 0x04B4, 0x8613);
  bench.bus.PlaceRecorder(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(k24::IsRecorderPresent(bench.link));
  }
}
BENCHMARK(BM_Probe)->Arg(1)->Arg(8);

void BM_VendorRequest(benchmark::State& state) {
  Bench bench;
  for (auto _ : state) {
    benchmark::DoNotOptimize(k24::GetFirmwareVersion(bench.link));
    bench.model.log.clear();
  }
}
BENCHMARK(BM_VendorRequest);

void BM_ProgramFlashImage(benchmark::State& state) {
  Bench bench;
  bench.model.mode = k24::emulator::RecorderMode::Programming;
  const std::vector<std::uint8_t> image(0xFC00, 0x5A);
  for (auto _ : state) {
    benchmark::DoNotOptimize(k24::ProgramFlashImage(bench.link, image));
    bench.model.log.clear();
  }
}
BENCHMARK(BM_ProgramFlashImage)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
