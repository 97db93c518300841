// The dialogue against the recorder model, with a scripted console.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "dialogue/dialogue.h"
#include "testing/emulated_bus.h"
#include "testing/fake_clock.h"
#include "testing/fake_instance_lock.h"
#include "testing/memory_history_store.h"
#include "testing/memory_image_source.h"
#include "testing/recorder_model.h"
#include "testing/scripted_console.h"

namespace k24::test {

inline constexpr const char* kBanner = "Orvo Lumo K24 Firmware Updater version 1.0\n\n";
inline constexpr const char* kNotConnected = "Device is not connected.\nConnect device to continue or press Esc to exit.\n";
inline constexpr const char* kConnected = "Device is connected.\n";

class DialogueFixture : public ::testing::Test {
 protected:
  DialogueFixture() {
    link.driver = &bus;
    link.clock = &clock;
    ports.console = &console;
    ports.lock = &lock;
    ports.link = &link;
    console.clock = &clock;  // the connection wait's pauses
    ports.images = &images;
    ports.imageDigests = &imageDigests;
    ports.imagesAreSamples = true;
    ports.history = &history;
    ports.wallClock = &wallClock;
  }
  void TearDown() override {
    EXPECT_EQ(bus.openHandles, 0);
    EXPECT_EQ(console.readsPastScript, 0) << "the dialogue read more keys than were typed";
  }

  void Type(std::initializer_list<std::uint16_t> keys) { console.keys.insert(console.keys.end(), keys); }

  int Run(DialogueOptions options = {}) { return RunDialogue(ports, options); }

  emulator::RecorderModel model;
  emulator::EmulatedBus bus{model};
  emulator::FakeClock clock;
  emulator::ScriptedConsole console;
  emulator::FakeInstanceLock lock;
  DeviceLink link;
  // The sample images, and their digests as the build would record them;
  // a test may remove, shorten or damage an image after the digests are taken.
  emulator::MemoryImageSource images = emulator::SampleImageSource();
  ImageDigests imageDigests = emulator::DigestsOf(images);
  emulator::MemoryHistoryStore history;  // each run's record
  emulator::FakeWallClock wallClock;
  DialoguePorts ports;
};

}  // namespace k24::test
