// k24update's driver on Windows: the EZ-USB backend and the WinUSB backend as
// one, both answered by recorder models on one bus. A recorder on the EZ-USB
// driver sees exactly the kernel calls it saw before WinUSB came; a recorder
// on each driver is two recorders.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "link/combined_driver.h"
#include "link/device_link.h"
#include "link/driver_ezusb.h"
#include "link/driver_winusb.h"
#include "testing/emulated_bus.h"
#include "testing/ezusb_model_kernel.h"
#include "testing/fake_clock.h"
#include "testing/recorder_model.h"
#include "testing/winusb_model_system.h"

namespace k24 {
namespace {

constexpr const wchar_t* kPort = L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)";
constexpr const char* kPlace = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)";

std::vector<std::string> CallNames(const emulator::ModelEzusbKernel& kernel) {
  std::vector<std::string> names;
  for (const emulator::KernelCall& call : kernel.calls) names.push_back(call.what);
  return names;
}

// The recorder under ezusb-0 (EmulatedBus's first), optionally a second one
// bound to WinUSB; the program's pair of backends over both doors.
class CombinedDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winusb.countsProbes = false;  // the EZ-USB door counts the host's probes
    link.driver = driver.get();
    link.clock = &clock;
    SetTargetDevice(link, 0x10C4, 0x4512);
  }
  void TearDown() override {
    EXPECT_EQ(kernel.openHandles, 0);
    EXPECT_EQ(winusb.openSets + winusb.openKeys + winusb.openFiles + winusb.openInterfaces, 0);
  }
  std::size_t BindSecondToWinusb() {
    const std::size_t which = bus.AddRecorder(1, second, kPlace);
    bus.slots[1] = emulator::BusSlot{};  // not under the EZ-USB driver's names
    winusb.BindRecorder(which, kPort);
    return which;
  }

  emulator::RecorderModel model;
  emulator::RecorderModel second;
  emulator::EmulatedBus bus{model};
  emulator::ModelEzusbKernel kernel{bus};
  emulator::ModelWinusbSystem winusb{bus.Recorders()};
  std::unique_ptr<UsbDriver> driver =
      MakeCombinedDriver(MakeEzusbDriver(kernel), MakeWinusbDriver(winusb, 0x10C4, 0x4512));
  emulator::FakeClock clock;
  DeviceLink link;
};

// Each operation on the EZ-USB driver's recorder, through the pair and
// through the EZ-USB backend alone: the same kernel calls with the same
// records and buffers.
TEST_F(CombinedDriverTest, TheEzusbDriversRecorderSeesExactlyTheCallsItSawAlone) {
  emulator::RecorderModel aloneModel;
  emulator::EmulatedBus aloneBus{aloneModel};
  emulator::ModelEzusbKernel aloneKernel{aloneBus};
  std::unique_ptr<UsbDriver> alone = MakeEzusbDriver(aloneKernel);
  DeviceLink aloneLink;
  aloneLink.driver = alone.get();
  aloneLink.clock = &clock;
  SetTargetDevice(aloneLink, 0x10C4, 0x4512);

  for (DeviceLink* each : {&link, &aloneLink}) {
    ASSERT_TRUE(KeepToTheRecorderFound(*each));
    std::array<std::uint8_t, 2> reply{};
    ASSERT_TRUE(SendVendorRequest(*each, 1, 0xC6, 0x1234, 0, reply));
    std::vector<std::uint8_t> page(64, 0x11);
    BulkTransfer(*each, 0, 1, page);
    ReadProductString(*each);
  }
  ASSERT_EQ(CallNames(kernel), CallNames(aloneKernel));
  for (std::size_t i = 0; i < kernel.calls.size(); ++i) {
    EXPECT_EQ(kernel.calls[i].input, aloneKernel.calls[i].input) << kernel.calls[i].what;
    EXPECT_EQ(kernel.calls[i].outputSize, aloneKernel.calls[i].outputSize) << kernel.calls[i].what;
    EXPECT_EQ(kernel.calls[i].outputGiven, aloneKernel.calls[i].outputGiven) << kernel.calls[i].what;
  }
  EXPECT_EQ(model.log.size(), aloneModel.log.size());
  EXPECT_TRUE(link.choice.kind == RecorderChoice::Kind::Alone);  // the EZ-USB driver tells no place
  EXPECT_TRUE(winusb.calls.size() > 0);  // WinUSB was looked at too, and found nothing
  EXPECT_EQ(winusb.createFileCalls, 0);
}

// A Windows without WinUSB (no winusb.dll): the EZ-USB driver's recorder is
// reached as ever, and --path has no place to find.
TEST_F(CombinedDriverTest, WithoutWinusbTheEzusbDriversRecorderIsReachedAsEver) {
  winusb.available = false;
  std::array<std::uint8_t, 2> reply{};
  EXPECT_TRUE(SendVendorRequest(link, 1, 0xC6, 0, 0, reply));
  EXPECT_EQ(model.log.size(), 1u);
  EXPECT_FALSE(driver->TellsPlaces());
  EXPECT_TRUE(winusb.calls.empty());
}

// One recorder on each driver: two recorders at the connection, nothing sent
// to either. Once the link keeps to one, a recorder that comes on the other
// driver is kept apart as it would be on that one's own: elsewhere than the
// WinUSB recorder's place, or one too many beside the EZ-USB recorder.
TEST_F(CombinedDriverTest, ARecorderOnEachDriverIsTwoRecorders) {
  BindSecondToWinusb();
  std::array<std::uint8_t, 2> reply{};
  EXPECT_FALSE(IsRecorderPresent(link));
  EXPECT_EQ(link.lastProbePlaces, (std::vector<std::string>{"", kPlace}));
  EXPECT_EQ(SendVendorRequest(link, 1, 0xC6, 0, 0, reply).status, LinkStatus::NotAlone);
  EXPECT_TRUE(model.log.empty());
  EXPECT_TRUE(second.log.empty());
  EXPECT_TRUE(driver->TellsPlaces());

  // Kept to the WinUSB recorder's place: the EZ-USB one is elsewhere.
  ChooseRecorderAt(link, kPlace);
  EXPECT_TRUE(SendVendorRequest(link, 1, 0xC6, 0, 0, reply));
  EXPECT_TRUE(model.log.empty());
  EXPECT_EQ(second.log.size(), 1u);

  // Kept to the EZ-USB recorder alone: the WinUSB one makes it not alone.
  second.onBus = false;
  link.choice = RecorderChoice{};
  ASSERT_TRUE(KeepToTheRecorderFound(link));
  second.onBus = true;
  EXPECT_EQ(SendVendorRequest(link, 1, 0xC6, 0, 0, reply).status, LinkStatus::NotAlone);
  EXPECT_TRUE(model.log.empty());
  EXPECT_EQ(second.log.size(), 1u);
}

// --list through the pair: the EZ-USB recorder by its name, the WinUSB one
// by its place; each chosen in turn gets its own queries.
TEST_F(CombinedDriverTest, FindsTheRecordersOfBothDrivers) {
  BindSecondToWinusb();
  const std::vector<RecorderOnBus> found = FindRecorders(link);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].name, "ezusb-0");
  EXPECT_EQ(found[0].place, std::nullopt);
  EXPECT_EQ(found[1].name, "USB\\VID_10C4&PID_4512\\5&2B7A1C3&0&2");
  EXPECT_EQ(found[1].place, std::optional<std::string>(kPlace));
  std::array<std::uint8_t, 2> reply{};
  for (const RecorderOnBus& recorder : found) {
    ChooseFoundRecorder(link, recorder);
    EXPECT_TRUE(SendVendorRequest(link, 1, 0xC6, 0, 0, reply)) << recorder.name;
  }
  EXPECT_EQ(model.log.size(), 1u);
  EXPECT_EQ(second.log.size(), 1u);

  // What a trace asks of the WinUSB one is asked of its backend.
  const std::optional<DriverHandle> handle = OpenRecorder(link);
  ASSERT_TRUE(handle);
  EXPECT_EQ(driver->PipeEndpoint(*handle, 2), std::optional<std::uint8_t>(emulator::kModelBulkInPipe));
  driver->Close(*handle);
}

}  // namespace
}  // namespace k24
