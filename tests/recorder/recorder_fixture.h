// The recorder model on the in-process bus, with the link set up to reach it.
#pragma once

#include <gtest/gtest.h>

#include "link/device_link.h"
#include "testing/emulated_bus.h"
#include "testing/fake_clock.h"
#include "testing/recorder_model.h"

namespace k24 {

class RecorderFixture : public ::testing::Test {
 protected:
  RecorderFixture() {
    link.driver = &bus;
    link.clock = &clock;
    SetTargetDevice(link, 0x10C4, 0x4512);
  }
  void TearDown() override { EXPECT_EQ(bus.openHandles, 0); }

  std::vector<const testing::LoggedTransfer*> Requests(std::uint8_t code) const {
    std::vector<const testing::LoggedTransfer*> found;
    for (const testing::LoggedTransfer& entry : model.log) {
      if (entry.kind == testing::LoggedTransfer::Kind::Control && entry.request == code) found.push_back(&entry);
    }
    return found;
  }

  testing::RecorderModel model;
  testing::EmulatedBus bus{model};
  testing::FakeClock clock;
  DeviceLink link;
};

}  // namespace k24
