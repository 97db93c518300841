// The WinUSB backend of the driver port: with the system's own SetupAPI and
// WinUSB (Wine's, which list no recorder), and with those calls answered by
// the recorder model, where the calls it makes (what it enumerates, the paths
// and flags it opens, the setup packets, the pipes, the time-outs) are checked,
// and every set, key, file and WinUSB handle must be closed again.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/device_link.h"
#include "link/driver_winusb.h"
#include "recorder/flash_programming.h"
#include "recorder/requests.h"
#include "testing/fake_clock.h"
#include "testing/recorder_model.h"
#include "testing/winusb_model_system.h"

namespace k24 {
namespace {

using emulator::ModelDeviceNode;
using emulator::WinusbCall;

constexpr const wchar_t* kPortA = L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";
constexpr const wchar_t* kPortB = L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(1)";
constexpr const char* kPlaceA = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";
constexpr const char* kPlaceB = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(1)";

TEST(WinusbDriverOnTheSystem, LoadsWinusbAndFindsNoRecorder) {
  // Wine has setupapi.dll, advapi32.dll and winusb.dll: every function is found.
  EXPECT_TRUE(SystemWinusb().Available());
  std::unique_ptr<UsbDriver> driver = MakeWinusbDriver(SystemWinusb(), 0x10C4, 0x4512);
  EXPECT_TRUE(driver->TellsPlaces());
  emulator::FakeClock clock;
  DeviceLink link;
  link.driver = driver.get();
  link.clock = &clock;
  SetTargetDevice(link, 0x10C4, 0x4512);

  EXPECT_FALSE(IsRecorderPresent(link));
  EXPECT_FALSE(link.lastProbeRefused);
  std::array<std::uint8_t, 2> reply;
  reply.fill(0xA5);
  EXPECT_EQ(SendVendorRequest(link, 1, 0xC6, 0, 0, reply).status, LinkStatus::NoRecorder);
  EXPECT_EQ(reply, (std::array<std::uint8_t, 2>{0xA5, 0xA5}));
}

class WinusbDriverOnModel : public ::testing::Test {
 protected:
  void SetUp() override {
    emulator::AddRecorder(bus, model, kPlaceA);
    system.BindRecorder(0, kPortA);
    link.driver = driver.get();
    link.clock = &clock;
    SetTargetDevice(link, 0x10C4, 0x4512);
  }
  void TearDown() override {
    EXPECT_EQ(system.openSets, 0) << "a device information set was not destroyed";
    EXPECT_EQ(system.openKeys, 0) << "a registry key was not closed";
    EXPECT_EQ(system.openFiles, 0) << "a device file outlived its operation";
    EXPECT_EQ(system.openInterfaces, 0) << "a WinUSB handle outlived its operation";
    EXPECT_EQ(system.untimedTransfers, 0) << "a transfer on a pipe without a time-out";
    EXPECT_EQ(system.filesClosedUnderWinusb, 0) << "a file closed before WinUsb_Free";
    EXPECT_EQ(system.secondOpens, 0) << "a device opened while it was open";
  }

  std::vector<std::string> CallNames() const {
    std::vector<std::string> names;
    for (const WinusbCall& call : system.calls) names.push_back(call.what);
    return names;
  }
  std::vector<WinusbCall> Calls(const std::string& what) const {
    std::vector<WinusbCall> found;
    std::copy_if(system.calls.begin(), system.calls.end(), std::back_inserter(found),
                 [&what](const WinusbCall& call) { return call.what == what; });
    return found;
  }
  // A second recorder, bound to WinUSB at port B.
  std::size_t AddSecond() {
    const std::size_t which = emulator::AddRecorder(bus, second, kPlaceB);
    system.BindRecorder(which, kPortB);
    return which;
  }

  emulator::RecorderModel model;
  emulator::RecorderModel second;
  emulator::RecorderBus bus;
  emulator::ModelWinusbSystem system{bus};
  std::unique_ptr<UsbDriver> driver = MakeWinusbDriver(system, 0x10C4, 0x4512);
  emulator::FakeClock clock;
  DeviceLink link;
};

TEST_F(WinusbDriverOnModel, FindsTheRecorderThroughItsInterfaceAndClosesEverythingWithinTheRequest) {
  system.AddNode(ModelDeviceNode{0x046D, 0xC52B, L"6&11A2B3C&0&1", L"HidUsb", L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)",
                                 {}, false, true, std::nullopt});  // another device: never looked into
  std::array<std::uint8_t, 2> reply{};
  ASSERT_TRUE(SendVendorRequest(link, 1, 0xC6, 0, 0, reply));
  EXPECT_EQ(reply, (std::array<std::uint8_t, 2>{0x02, 0x01}));  // firmware 1.2, little-endian

  const std::string id = "USB\\VID_10C4&PID_4512\\5&2B7A1C3&0&2";
  const std::string guid = "{8E1A5B8C-2D4F-4C67-9B1E-3F6A7D2C5E90}";
  const std::vector<std::string> expected = {
      "SetupDiGetClassDevsW USB",
      "SetupDiOpenDevRegKey",
      "RegQueryValueExW DeviceInterfaceGUIDs",
      "RegCloseKey",
      "SetupDiGetClassDevsW " + guid + " " + id,
      "CreateFileW \\\\?\\usb#vid_10c4&pid_4512#5&2b7a1c3&0&2#{8e1a5b8c-2d4f-4c67-9b1e-3f6a7d2c5e90}",
      "WinUsb_Initialize",
      "WinUsb_SetPipePolicy 0x00 PIPE_TRANSFER_TIMEOUT 5000",
      "WinUsb_GetDescriptor 0x01 0x00",
      "WinUsb_ControlTransfer",
      "WinUsb_Free",
      "CloseHandle"};
  EXPECT_EQ(CallNames(), expected);
  EXPECT_EQ(driver->TellsPlaces(), true);
  EXPECT_EQ(link.lastProbePlaces, (std::vector<std::string>{kPlaceA}));
}

// Each request's setup packet, built from the same record as on Linux: a
// vendor request to the device, its direction in bmRequestType, the length
// of the buffer, and no buffer at all for a request without a data stage.
TEST_F(WinusbDriverOnModel, SendsEachRequestAsItsSetupPacket) {
  struct Case {
    std::uint8_t direction;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::size_t length;
    std::uint8_t requestType;
  };
  const Case cases[] = {
      {1, 0xC6, 0x1234, 0x5678, 2, 0xC0},   // GetFirmwareVersion, with value and index as given
      {1, 0x20, 0x29F9, 0x0000, 5, 0xC0},   // ReadFlash
      {0, 0x21, 0x2A00, 0x0000, 64, 0x40},  // WriteFlash: a data stage out
      {1, 0x23, 0x0000, 0x0000, 0, 0xC0},   // Restart: no data stage
  };
  for (const Case& c : cases) {
    system.calls.clear();
    std::vector<std::uint8_t> data(c.length, 0x5A);
    SendVendorRequest(link, c.direction, c.request, c.value, c.index, data);
    const std::vector<WinusbCall> transfers = Calls("WinUsb_ControlTransfer");
    ASSERT_EQ(transfers.size(), 1u) << "request " << int{c.request};
    const WINUSB_SETUP_PACKET& setup = transfers[0].setup;
    EXPECT_EQ(setup.RequestType, c.requestType);
    EXPECT_EQ(setup.Request, c.request);
    EXPECT_EQ(setup.Value, c.value);
    EXPECT_EQ(setup.Index, c.index);
    EXPECT_EQ(setup.Length, c.length);
    EXPECT_EQ(transfers[0].length, c.length);
    EXPECT_EQ(transfers[0].bufferGiven, c.length != 0);
  }
}

// The recorder lists an interrupt pipe before its bulk pipes: the bulk
// transfers go to the bulk pipes, found by kind, each with its time-out set.
TEST_F(WinusbDriverOnModel, BulkTransfersUseTheBulkPipesFoundByKind) {
  for (std::size_t i = 0; i < model.nand.size(); ++i) model.nand[i] = static_cast<std::uint8_t>(i * 7);
  model.pendingNandRead = true;
  model.pendingNandPage = 0;
  model.pendingNandBytes = 4096;
  std::vector<std::uint8_t> data(4096);
  const LinkResult read = BulkTransfer(link, 1, 2, data);
  ASSERT_TRUE(read);
  EXPECT_EQ(read.transferred, 4096u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), model.nand.begin()));
  const std::vector<WinusbCall> reads = Calls("WinUsb_ReadPipe");
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].pipe, emulator::kModelBulkInPipe);
  EXPECT_EQ(reads[0].length, 4096u);
  EXPECT_EQ(Calls("WinUsb_SetPipePolicy 0x81 PIPE_TRANSFER_TIMEOUT 5000").size(), 1u);

  std::vector<std::uint8_t> page(64, 0x11);
  BulkTransfer(link, 0, 1, page);  // whatever the recorder makes of it
  const std::vector<WinusbCall> writes = Calls("WinUsb_WritePipe");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].pipe, emulator::kModelBulkOutPipe);
  EXPECT_EQ(writes[0].length, 64u);
  EXPECT_EQ(Calls("WinUsb_SetPipePolicy 0x02 PIPE_TRANSFER_TIMEOUT 5000").size(), 1u);

  // A trace names the same endpoints.
  const std::optional<DriverHandle> handle = OpenRecorder(link);
  ASSERT_TRUE(handle);
  EXPECT_EQ(driver->PipeEndpoint(*handle, 2), std::optional<std::uint8_t>(emulator::kModelBulkInPipe));
  EXPECT_EQ(driver->PipeEndpoint(*handle, 1), std::optional<std::uint8_t>(emulator::kModelBulkOutPipe));
  EXPECT_EQ(driver->AddressOf(*handle), std::nullopt);
  driver->Close(*handle);
}

// What came back is what the calls said: a reply cut short is a short reply
// with its count, a bulk transfer that failed fails with what it moved.
TEST_F(WinusbDriverOnModel, ShortRepliesAndTimeOutsAreJudgedByTheCountsTheCallsGive) {
  model.requestFaults.push_back({emulator::requests::GetFirmwareVersion, 1, emulator::ControlFault::ShortReply, 1});
  RequestData<kRequestGetFirmwareVersion> reply{0xEE, 0xEE};
  const SentRequest cut = SendRequest(link, kRequestGetFirmwareVersion, 0, reply);
  EXPECT_EQ(cut.status, LinkStatus::ShortReply);
  EXPECT_EQ(cut.transferred, 1u);

  struct Case {
    emulator::BulkFault fault;
    bool ok;
    std::uint32_t transferred;
  };
  for (const Case& c : {Case{emulator::BulkFault::Short, true, 2048}, Case{emulator::BulkFault::Fail, false, 0},
                        Case{emulator::BulkFault::Zero, true, 0}}) {
    model.bulkFault = c.fault;
    model.pendingNandRead = true;
    model.pendingNandPage = 0;
    model.pendingNandBytes = 4096;
    std::vector<std::uint8_t> data(4096);
    const LinkResult read = BulkTransfer(link, 1, 2, data);
    EXPECT_EQ(static_cast<bool>(read), c.ok) << static_cast<int>(c.fault);
    EXPECT_EQ(read.transferred, c.transferred) << static_cast<int>(c.fault);
  }
}

struct FailureCase {
  const char* name;
  void (*setUp)(emulator::RecorderModel&);
  DWORD lastError;  // what the failed WinUSB call left
  LinkStatus status;
};

// A failed WinUSB transfer is told apart by its error: ERROR_SEM_TIMEOUT,
// WinUSB's word for a transfer it cancelled when the pipe's time-out passed,
// is a time-out; any other error is a failure. Control and bulk alike.
TEST_F(WinusbDriverOnModel, AFailureLeftWithTheTimeOutErrorIsATimeOut) {
  const FailureCase cases[] = {
      {"refused", [](emulator::RecorderModel& m) { m.failRequestNumber = 2; }, ERROR_GEN_FAILURE,
       LinkStatus::Failed},
      {"no answer", [](emulator::RecorderModel& m) { m.stopAnsweringAfterRequest = 1; }, ERROR_SEM_TIMEOUT,
       LinkStatus::TimedOut},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    model = emulator::RecorderModel{};
    c.setUp(model);
    std::array<std::uint8_t, 2> reply{};
    EXPECT_TRUE(SendVendorRequest(link, 1, 0xC6, 0, 0, reply));  // the first is answered
    EXPECT_EQ(SendVendorRequest(link, 1, 0xC6, 0, 0, reply).status, c.status);
    EXPECT_EQ(system.GetLastError(), c.lastError);
    // A bulk read after it: a refused request leaves the pipe alone (it
    // fails, no read being announced); a silent recorder answers nothing.
    std::vector<std::uint8_t> data(64);
    EXPECT_EQ(BulkTransfer(link, 1, 2, data).status,
              c.status == LinkStatus::TimedOut ? LinkStatus::TimedOut : LinkStatus::Failed);
  }
}

// A recorder that stops answering in the middle of flash programming: the
// first request WinUSB cancels at the control pipe's time-out ends the
// procedure, and nothing more is sent (one time-out, not one for each of the
// 180 requests left). The fault is that recorder's own: another on the bus
// still answers.
TEST_F(WinusbDriverOnModel, FlashProgrammingEndsAtTheFirstTimeOut) {
  AddSecond();
  ChooseRecorderAt(link, kPlaceA);
  model.mode = emulator::RecorderMode::Programming;
  model.stopAnsweringAfterRequest = 8;
  model.clock = &clock;
  std::vector<std::uint8_t> image(0x2A00, 0x5A);
  const std::uint64_t start = clock.NowMs();
  const StepResult result = ProgramFlashImage(link, image);
  EXPECT_EQ(result.failure, StepFailure::RequestFailed);
  ASSERT_TRUE(result.request);
  EXPECT_EQ(result.request->code, kRequestWriteFlash.code);
  EXPECT_EQ(result.request->value, 0x01C0);  // the ninth request: page 0's eighth WriteFlash
  EXPECT_EQ(result.request->status, LinkStatus::TimedOut);
  EXPECT_EQ(model.controlRequests, 9);
  EXPECT_EQ(Calls("WinUsb_ControlTransfer").size(), 9u);
  EXPECT_EQ(clock.NowMs() - start, kWinusbTransferTimeoutMs);

  ChooseRecorderAt(link, kPlaceB);
  std::array<std::uint8_t, 2> reply{};
  EXPECT_TRUE(SendVendorRequest(link, 1, 0xC6, 0, 0, reply));
}

// Two recorders at two places: at the connection neither gets anything;
// chosen by its place, one gets every request and the other none.
TEST_F(WinusbDriverOnModel, TwoRecordersAtTwoPlacesAreToldApartByTheirPlaces) {
  AddSecond();
  std::array<std::uint8_t, 2> reply{};
  EXPECT_EQ(SendVendorRequest(link, 1, 0xC6, 0, 0, reply).status, LinkStatus::NotAlone);
  EXPECT_EQ(link.lastProbePlaces, (std::vector<std::string>{kPlaceA, kPlaceB}));
  EXPECT_TRUE(Calls("WinUsb_ControlTransfer").empty());

  const std::vector<RecorderOnBus> found = FindRecorders(link);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].place, std::optional<std::string>(kPlaceA));
  EXPECT_EQ(found[1].place, std::optional<std::string>(kPlaceB));

  ChooseRecorderAt(link, kPlaceB);
  system.calls.clear();
  ASSERT_TRUE(SendVendorRequest(link, 1, 0xC6, 0, 0, reply));
  EXPECT_TRUE(model.log.empty());
  EXPECT_EQ(second.log.size(), 1u);
  // The one elsewhere is not even opened to be looked at.
  const std::wstring pathB = emulator::ModelWinusbSystem::InterfacePath(system.nodes[1], emulator::kModelInterfaceGuid);
  EXPECT_EQ(Calls("CreateFileW " + std::string(pathB.begin(), pathB.end())).size(), 1u);
  EXPECT_EQ(std::count_if(system.calls.begin(), system.calls.end(),
                          [](const WinusbCall& call) { return call.what.rfind("CreateFileW", 0) == 0; }),
            1);
}

// The restart waits poll (WinUSB has no bus events here), bounded and kept to
// the recorder's place: a recorder that never comes back is not back when
// another one arrives elsewhere, and that one gets nothing.
TEST_F(WinusbDriverOnModel, ARecorderThatNeverComesBackEndsTheWaitAtItsBound) {
  system.logCalls = false;
  struct Case {
    bool returns;
    bool otherArrives;
    Reenumeration expected;
  };
  for (const Case& c : {Case{true, false, Reenumeration::Returned}, Case{false, false, Reenumeration::DidNotReturn},
                        Case{false, true, Reenumeration::DidNotReturn}}) {
    emulator::RecorderModel first;
    emulator::RecorderModel other;
    emulator::RecorderBus waitBus;
    emulator::AddRecorder(waitBus, first, kPlaceA);
    emulator::ModelWinusbSystem waitSystem{waitBus};
    waitSystem.logCalls = false;
    waitSystem.BindRecorder(0, kPortA);
    if (c.otherArrives) {
      const std::size_t which = emulator::AddRecorder(waitBus, other, kPlaceB);
      other.onBus = false;
      waitBus.recorders[which].onBusSeen = false;
      waitBus.recorders[which].plugIns.push_back({emulator::BusMoment::Kind::AtRestart, 1, 0});
      waitSystem.BindRecorder(which, kPortB);
    }
    first.neverReturnAfterRestart = !c.returns;
    std::unique_ptr<UsbDriver> waitDriver = MakeWinusbDriver(waitSystem, 0x10C4, 0x4512);
    emulator::FakeClock waitClock;
    DeviceLink waitLink;
    waitLink.driver = waitDriver.get();
    waitLink.clock = &waitClock;
    SetTargetDevice(waitLink, 0x10C4, 0x4512);
    ASSERT_TRUE(KeepToTheRecorderFound(waitLink));
    EXPECT_EQ(PresenceWaitTickMs(waitLink), kPresencePollIntervalMs);  // polled

    SendVendorRequest(waitLink, 1, emulator::requests::Restart, 0, 0, {});
    const std::uint64_t start = waitClock.NowMs();
    EXPECT_EQ(AwaitReenumeration(waitLink), c.expected);
    if (!c.returns) {
      EXPECT_GE(waitClock.NowMs() - start, kReenumerationPhaseLimitMs);
      EXPECT_LT(waitClock.NowMs() - start, kReenumerationPhaseLimitMs + 1000);
    }
    EXPECT_TRUE(other.log.empty());
    if (c.otherArrives) {
      EXPECT_TRUE(other.onBus);
    }
    EXPECT_EQ(waitSystem.openSets + waitSystem.openKeys + waitSystem.openFiles + waitSystem.openInterfaces, 0);
    EXPECT_EQ(waitSystem.untimedTransfers, 0);
  }
}

// A recorder that Windows lists without a driver this program can use is no
// recorder the link can see; it is never opened, and the probe says it was
// refused, so the dialogue can tell how to bind WinUSB. One on the EZ-USB
// driver is the other backend's and no refusal.
TEST_F(WinusbDriverOnModel, ARecorderWithoutAUsableDriverIsRefusedAndNeverOpened) {
  struct Case {
    const char* what;
    std::wstring service;
    bool registered;
    std::vector<std::wstring> guids;
    bool refused;
  };
  const std::vector<Case> cases = {
      {"no driver", L"", false, {}, true},
      {"another driver", L"libusbK", false, {}, true},
      {"WinUSB without an interface class GUID", L"WinUSB", true, {}, true},
      {"WinUSB without its interface registered", L"WinUSB", false, {emulator::kModelInterfaceGuid}, true},
      {"the EZ-USB driver", L"Ezusb", false, {}, false},
  };
  model.onBus = false;  // the recorder bound to WinUSB is not there
  for (const Case& c : cases) {
    emulator::RecorderModel unserved;
    const std::size_t which = emulator::AddRecorder(bus, unserved, "unserved");
    system.AddNode(ModelDeviceNode{0x10C4, 0x4512, L"5&2B7A1C3&0&4", c.service,
                                   L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)", c.guids, false, c.registered, which});
    system.createFileCalls = 0;
    EXPECT_FALSE(IsRecorderPresent(link)) << c.what;
    EXPECT_EQ(link.lastProbeRefused, c.refused) << c.what;
    EXPECT_EQ(driver->SawUnservedDevice(0x10C4, 0x4512, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)"), c.refused);
    EXPECT_FALSE(driver->SawUnservedDevice(0x10C4, 0x4512, kPlaceA)) << "refused at another place";
    EXPECT_EQ(system.createFileCalls, 0) << c.what;
    EXPECT_TRUE(unserved.log.empty());
    system.nodes.pop_back();
    bus.recorders.pop_back();
  }
  // With the usable recorder there too, it is found, and nothing is refused.
  model.onBus = true;
  system.AddNode(ModelDeviceNode{0x10C4, 0x4512, L"5&2B7A1C3&0&4", L"", L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)",
                                 {}, false, false, std::nullopt});
  EXPECT_TRUE(IsRecorderPresent(link));
  EXPECT_FALSE(link.lastProbeRefused);
}

// The interface class GUIDs as installers write them: one or several under
// DeviceInterfaceGUIDs (the first that parses and has an interface counts),
// lower case, or one under DeviceInterfaceGUID.
TEST_F(WinusbDriverOnModel, ReadsTheInterfaceClassGuidsAsInstallersWriteThem) {
  struct Case {
    const char* what;
    std::vector<std::wstring> guids;
    bool single;
  };
  const std::vector<Case> cases = {
      {"several", {L"not a GUID", L"{8E1A5B8C-2D4F-4C67-9B1E-3F6A7D2C5E90}"}, false},
      {"lower case", {L"{8e1a5b8c-2d4f-4c67-9b1e-3f6a7d2c5e90}"}, false},
      {"DeviceInterfaceGUID", {L"{8E1A5B8C-2D4F-4C67-9B1E-3F6A7D2C5E90}"}, true},
  };
  for (const Case& c : cases) {
    system.nodes[0].interfaceGuids = c.guids;
    system.nodes[0].singleGuidValue = c.single;
    std::array<std::uint8_t, 2> reply{};
    EXPECT_TRUE(SendVendorRequest(link, 1, 0xC6, 0, 0, reply)) << c.what;
  }
}

TEST_F(WinusbDriverOnModel, ReadsTheProductStringThroughWinusbGetDescriptor) {
  EXPECT_EQ(ReadProductString(link), std::optional<std::string>(emulator::kModelProductString));
  EXPECT_EQ(Calls("WinUsb_GetDescriptor 0x03 0x02").size(), 1u);  // iProduct, as the device descriptor names it
  EXPECT_EQ(model.stringDescriptorReads, 1);
  model.productString.clear();  // a device without one stalls the request
  EXPECT_EQ(ReadProductString(link), std::nullopt);
}

// A recorder that leaves between the listing and the open, and a Windows
// without WinUSB: nothing found, nothing left open.
TEST_F(WinusbDriverOnModel, NothingIsFoundWhereNothingCanBeOpened) {
  system.countsProbes = false;
  model.vanishAtRequest = 1;  // gone for good with the first request
  std::array<std::uint8_t, 2> reply{};
  EXPECT_EQ(SendVendorRequest(link, 1, 0xC6, 0, 0, reply).status, LinkStatus::Failed);
  EXPECT_EQ(SendVendorRequest(link, 1, 0xC6, 0, 0, reply).status, LinkStatus::NoRecorder);

  model.onBus = true;
  model.vanishAtRequest = 0;
  system.available = false;
  system.calls.clear();
  EXPECT_FALSE(driver->TellsPlaces());
  EXPECT_EQ(SendVendorRequest(link, 1, 0xC6, 0, 0, reply).status, LinkStatus::NoRecorder);
  EXPECT_TRUE(system.calls.empty());
}

}  // namespace
}  // namespace k24
