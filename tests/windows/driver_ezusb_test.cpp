// The EZ-USB backend of the driver port: with no driver installed (the system's
// own kernel calls), and with its kernel calls answered by the recorder model,
// where the calls it makes (paths, flags, control codes, records, buffers) are
// checked one by one.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/device_link.h"
#include "link/driver_ezusb.h"
#include "recorder/requests.h"
#include "testing/emulated_bus.h"
#include "testing/ezusb_model_kernel.h"
#include "testing/fake_clock.h"
#include "testing/recorder_model.h"

namespace k24 {
namespace {

using emulator::KernelCall;

TEST(EzusbDriverWithoutDriver, FindsNothingAndLeavesBuffersUntouched) {
  std::unique_ptr<UsbDriver> driver = MakeEzusbDriver(SystemEzusbKernel());
  emulator::FakeClock clock;
  DeviceLink link;
  link.driver = driver.get();
  link.clock = &clock;
  SetTargetDevice(link, 0x10C4, 0x4512);

  EXPECT_FALSE(IsRecorderPresent(link));
  EXPECT_EQ(GetFileAttributesA("\\\\.\\ezusb-0"), INVALID_FILE_ATTRIBUTES);

  std::array<std::uint8_t, 2> reply;
  reply.fill(0xA5);
  const LinkResult result = SendVendorRequest(link, 1, 0xC6, 0, 0, reply);
  EXPECT_FALSE(result);
  EXPECT_EQ(result.status, LinkStatus::NoRecorder);
  EXPECT_EQ(reply, (std::array<std::uint8_t, 2>{0xA5, 0xA5}));

  std::vector<std::uint8_t> bulk(512, 0x5A);
  EXPECT_EQ(BulkTransfer(link, 1, 2, bulk).status, LinkStatus::NoRecorder);
  EXPECT_TRUE(std::all_of(bulk.begin(), bulk.end(), [](std::uint8_t b) { return b == 0x5A; }));
  EXPECT_EQ(BulkTransfer(link, 0, 1, bulk).status, LinkStatus::NoRecorder);
}

class EzusbDriverOnModel : public ::testing::Test {
 protected:
  void SetUp() override {
    link.driver = driver.get();
    link.clock = &clock;
    SetTargetDevice(link, 0x10C4, 0x4512);
  }
  void TearDown() override { EXPECT_EQ(kernel.openHandles, 0) << "a driver handle outlived its operation"; }

  std::vector<std::string> CallNames() const {
    std::vector<std::string> names;
    for (const KernelCall& call : kernel.calls) names.push_back(call.what);
    return names;
  }

  emulator::RecorderModel model;
  emulator::EmulatedBus bus{model};
  emulator::ModelEzusbKernel kernel{bus};
  std::unique_ptr<UsbDriver> driver = MakeEzusbDriver(kernel);
  emulator::FakeClock clock;
  DeviceLink link;
};

TEST_F(EzusbDriverOnModel, ProbesTheNamesInOrderAndSendsTheVendorRequestRecord) {
  bus.PlaceOtherDevice(0, 0x04B4, 0x8613);
  bus.PlaceRecorder(3);
  std::array<std::uint8_t, 2> reply{};
  ASSERT_TRUE(SendVendorRequest(link, 1, 0xC6, 0x1234, 0, reply));
  EXPECT_EQ(reply, (std::array<std::uint8_t, 2>{0x02, 0x01}));  // firmware 1.2, little-endian

  // Every name is opened, also after the recorder: a second recorder, which
  // this driver's names cannot tell apart from the first, must be seen.
  const std::vector<std::string> expected = {
      "CreateFileA \\\\.\\ezusb-0", "DeviceIoControl 0x222004", "CloseHandle",
      "CreateFileA \\\\.\\ezusb-1", "CreateFileA \\\\.\\ezusb-2",
      "CreateFileA \\\\.\\ezusb-3", "DeviceIoControl 0x222004",
      "CreateFileA \\\\.\\ezusb-4", "CreateFileA \\\\.\\ezusb-5", "CreateFileA \\\\.\\ezusb-6",
      "CreateFileA \\\\.\\ezusb-7", "CreateFileA \\\\.\\ezusb-8",
      "DeviceIoControl 0x222059", "CloseHandle"};
  ASSERT_EQ(CallNames(), expected);
  // The descriptor query: 18 bytes in and out, identifiers cleared before it.
  const KernelCall& descriptor = kernel.calls[1];
  ASSERT_EQ(descriptor.input.size(), 18u);
  EXPECT_EQ(descriptor.outputSize, 18u);
  EXPECT_TRUE(std::all_of(descriptor.input.begin() + 8, descriptor.input.begin() + 12,
                          [](std::uint8_t b) { return b == 0; }));
  const KernelCall& request = kernel.calls[12];
  EXPECT_EQ(request.input, (std::vector<std::uint8_t>{0x01, 0x02, 0x00, 0x00, 0xC6, 0x00, 0x34, 0x12, 0x00, 0x00}));
  EXPECT_EQ(request.outputSize, 2u);
  EXPECT_TRUE(request.outputGiven);
}

// Two recorders under the driver's names: which one is which cannot be told,
// so no request goes to either (not a single vendor request call).
TEST_F(EzusbDriverOnModel, TwoRecordersGetNoRequest) {
  emulator::RecorderModel second;
  bus.AddRecorder(4, second, "");
  std::array<std::uint8_t, 2> reply{};
  EXPECT_EQ(SendVendorRequest(link, 1, 0xC6, 0, 0, reply).status, LinkStatus::NotAlone);
  for (const KernelCall& call : kernel.calls) EXPECT_NE(call.what, "DeviceIoControl 0x222059");
  EXPECT_TRUE(model.log.empty());
  EXPECT_TRUE(second.log.empty());
  EXPECT_FALSE(driver->TellsPlaces());
}

// The product string through the driver's string descriptor code: the
// descriptor's iProduct, English, the driver's input record.
TEST_F(EzusbDriverOnModel, ReadsTheProductStringThroughTheStringDescriptorCode) {
  EXPECT_EQ(ReadProductString(link), std::optional<std::string>(emulator::kModelProductString));
  const auto read = std::find_if(kernel.calls.begin(), kernel.calls.end(),
                                 [](const KernelCall& call) { return call.what == "DeviceIoControl 0x222044"; });
  ASSERT_NE(read, kernel.calls.end());
  EXPECT_EQ(read->input, (std::vector<std::uint8_t>{emulator::kModelProductStringIndex, 0x00, 0x09, 0x04}));
  EXPECT_EQ(model.stringDescriptorReads, 1);

  model.productString.clear();  // a device without one: the driver fails the call
  EXPECT_EQ(ReadProductString(link), std::nullopt);
}

// The driver's bytes returned are the count of the reply: one cut short of a
// version, whose every byte is read, is a short reply, and says how much came.
TEST_F(EzusbDriverOnModel, AReplyCutShortIsAShortReplyWithTheBytesReturned) {
  model.requestFaults.push_back({emulator::requests::GetFirmwareVersion, 1, emulator::ControlFault::ShortReply, 1});
  RequestData<kRequestGetFirmwareVersion> reply{0xEE, 0xEE};
  const SentRequest result = SendRequest(link, kRequestGetFirmwareVersion, 0, reply);
  EXPECT_EQ(result.status, LinkStatus::ShortReply);
  EXPECT_EQ(result.transferred, 1u);
  EXPECT_EQ(reply[1], 0xEE);  // the byte that did not come is no answer
}

TEST_F(EzusbDriverOnModel, ARequestWithoutDataStagePassesNoBuffer) {
  SendVendorRequest(link, 0, 0x23, 0, 0, {});  // Restart: its status stage may be lost as the recorder goes
  ASSERT_GE(kernel.calls.size(), 2u);
  const KernelCall& request = kernel.calls[kernel.calls.size() - 2];
  ASSERT_EQ(request.what, "DeviceIoControl 0x222059");
  EXPECT_EQ(request.input[0], 0x00);  // direction out
  EXPECT_EQ(request.input[4], 0x23);
  EXPECT_EQ(request.outputSize, 0u);
  EXPECT_FALSE(request.outputGiven);
}

TEST_F(EzusbDriverOnModel, ARecorderOnlyUnderTheTenthNameIsNeverOpened) {
  bus.PlaceRecorder(9);
  EXPECT_FALSE(IsRecorderPresent(link));
  std::vector<std::string> expected;
  for (char digit = '0'; digit <= '8'; ++digit) expected.push_back(std::string("CreateFileA \\\\.\\ezusb-") + digit);
  EXPECT_EQ(CallNames(), expected);
}

TEST_F(EzusbDriverOnModel, BulkTransfersUseTheirCodesAndPipeRecordsAndReportTheBytesMoved) {
  // A NAND read waiting on the recorder's bulk-in pipe.
  for (std::size_t i = 0; i < model.nand.size(); ++i) model.nand[i] = static_cast<std::uint8_t>(i * 7);
  model.pendingNandRead = true;
  model.pendingNandPage = 0;
  model.pendingNandBytes = 4096;
  std::vector<std::uint8_t> data(4096);
  const LinkResult moved = BulkTransfer(link, 1, 2, data);
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved.transferred, 4096u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), model.nand.begin()));
  const KernelCall& read = kernel.calls[kernel.calls.size() - 2];
  EXPECT_EQ(read.what, "DeviceIoControl 0x22204E");
  EXPECT_EQ(read.input, (std::vector<std::uint8_t>{0x02, 0x00, 0x00, 0x00}));
  EXPECT_EQ(read.outputSize, 4096u);

  kernel.calls.clear();
  std::vector<std::uint8_t> page(64, 0x11);
  BulkTransfer(link, 0, 1, page);  // whatever the recorder makes of it
  ASSERT_GE(kernel.calls.size(), 2u);
  const KernelCall& write = kernel.calls[kernel.calls.size() - 2];
  EXPECT_EQ(write.what, "DeviceIoControl 0x222051");
  EXPECT_EQ(write.input, (std::vector<std::uint8_t>{0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(write.outputSize, 64u);
}

struct FailureCase {
  const char* name;
  void (*setUp)(emulator::RecorderModel&);
  DWORD lastError;  // what DeviceIoControl left
  LinkStatus status;
};

// A failed DeviceIoControl is told apart by its error: ERROR_SEM_TIMEOUT,
// the USB stack's STATUS_IO_TIMEOUT for a request the recorder never
// answered, is a time-out; any other error is a failure.
TEST_F(EzusbDriverOnModel, AFailureLeftWithTheTimeOutErrorIsATimeOut) {
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
    EXPECT_EQ(kernel.GetLastError(), c.lastError);
    // A bulk read after it: refused requests leave the pipe alone, a silent
    // recorder answers nothing.
    std::vector<std::uint8_t> data(64);
    const LinkResult read = BulkTransfer(link, 1, 2, data);
    EXPECT_EQ(read.status, c.status == LinkStatus::TimedOut ? LinkStatus::TimedOut : LinkStatus::Failed);
  }
}

}  // namespace
}  // namespace k24
