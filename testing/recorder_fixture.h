// The recorder model on the in-process bus, with a device link set up to
// reach it: the fixture of the tests of the link and of the recorder layer.
// Every test ends with no handle left open: each link operation closes its own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "link/device_link.h"
#include "testing/emulated_bus.h"
#include "testing/fake_clock.h"
#include "testing/recorder_model.h"

namespace k24::test {

class RecorderFixture : public ::testing::Test {
 protected:
  RecorderFixture() {
    link.driver = &bus;
    link.clock = &clock;
    SetTargetDevice(link, emulator::kModelVendorId, emulator::kModelProductId);
  }
  void TearDown() override { EXPECT_EQ(bus.openHandles, 0) << "a handle outlived its operation"; }

  // The control requests with `code` the recorder saw, in order.
  std::vector<const emulator::LoggedTransfer*> Requests(std::uint8_t code) const {
    std::vector<const emulator::LoggedTransfer*> found;
    for (const emulator::LoggedTransfer& entry : model.log) {
      if (entry.kind == emulator::LoggedTransfer::Kind::Control && entry.request == code) found.push_back(&entry);
    }
    return found;
  }

  emulator::RecorderModel model;
  emulator::EmulatedBus bus{model};
  emulator::FakeClock clock;
  DeviceLink link;
};

}  // namespace k24::test
