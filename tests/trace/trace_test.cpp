// The trace in-process: the usbmon record against one Linux wrote, whole
// updates traced through the in-process bus (a driver that cannot tell
// addresses, as the EZ-USB driver cannot) and read back with libpcap, a trace
// that cannot be written, which devices a capture takes for the recorder,
// the comparison of captures, and the replay through the in-process door.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "testing/emulated_bus.h"
#include "testing/recorder_model.h"
#include "testing/replay_recorder.h"
#include "trace/capture.h"
#include "trace/capture_file.h"
#include "trace/capture_text.h"
#include "trace/pcap_file.h"
#include "trace/tracing_driver.h"
#include "trace/usbmon_record.h"
#include "whole_update.h"

namespace k24::test {
namespace {

using emulator::LoggedTransfer;

// A submission Linux's usbmon wrote for the kernel's GET_DESCRIPTOR of a
// device at 2.40 (as Wireshark shows it in a public capture): the header
// this program builds must be byte for byte the kernel's.
TEST(UsbmonRecord, IsLaidOutAsLinuxWritesIt) {
  const std::vector<std::uint8_t> written = {
      0xc0, 0x19, 0xd7, 0x51, 0x01, 0x88, 0xff, 0xff, 0x53, 0x02, 0x80, 0x28, 0x02, 0x00, 0x00, 0x3c,
      0x9a, 0x48, 0x86, 0x58, 0x00, 0x00, 0x00, 0x00, 0xd9, 0x34, 0x08, 0x00, 0x8d, 0xff, 0xff, 0xff,
      0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  UsbmonRecord record;
  record.id = 0xffff880151d719c0;
  record.type = 'S';
  record.transferType = kUsbmonControl;
  record.endpoint = kEndpointIn;
  record.device = 40;
  record.bus = 2;
  record.setupFlag = kUsbmonPresent;
  record.dataFlag = kUsbmonDataIncoming;
  record.seconds = 1485195418;
  record.microseconds = 537817;
  record.status = kUsbmonInProgress;
  record.length = 18;
  record.setup = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
  record.transferFlags = kUsbmonFlagDirectionIn;
  EXPECT_EQ(BuildUsbmonRecord(record), written);

  const std::optional<UsbmonRecord> read = ParseUsbmonRecord(written);
  ASSERT_TRUE(read);
  EXPECT_EQ(BuildUsbmonRecord(*read), written);
  EXPECT_EQ(read->status, -115);
  EXPECT_EQ(read->seconds, 1485195418);
  EXPECT_FALSE(ParseUsbmonRecord(std::span(written).first(63)));
}

// A file of the test's own, removed when the test passes.
class CaptureFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "k24-trace-unit-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!HasFailure()) std::filesystem::remove_all(dir_);
  }
  RecorderCapture Read(const std::filesystem::path& path) {
    RecorderCapture capture;
    std::string cutShort;
    std::string error;
    EXPECT_TRUE(ReadRecorderCapture(path.string(), capture, cutShort, error)) << error;
    EXPECT_EQ(cutShort, "");
    return capture;
  }
  std::filesystem::path dir_;
};

// Timestamps that go up a millisecond a record, from a fixed day.
TraceClock SteppingClock() {
  return [now = std::uint64_t{1'796'000'000'000'000}]() mutable { return now += 1000; };
}

const std::vector<std::uint16_t> kKeys = {'Y', 'L', 'Y', 'Y'};

struct TracedCase {
  const char* name;
  VersionWord bootLoader;
  std::vector<emulator::TransferFault> faults;
};

void PrintTo(const TracedCase& c, std::ostream* out) { *out << c.name; }

// A whole update, traced into `path` when one is given.
std::unique_ptr<sweep::WholeUpdate> RunUpdate(const TracedCase& c, const std::filesystem::path& path,
                                              std::vector<std::string>* failures = nullptr) {
  auto update = std::make_unique<sweep::WholeUpdate>(c.bootLoader);
  update->console.keys.assign(kKeys.begin(), kKeys.end());
  update->model.transferFaults = c.faults;
  std::unique_ptr<CaptureSink> file;
  std::unique_ptr<TracingDriver> tracing;
  if (!path.empty()) {
    file = MakeCaptureFile(path.string());
    tracing = std::make_unique<TracingDriver>(
        update->bus, *file,
        [failures](const std::string& reason) {
          if (failures != nullptr) failures->push_back(reason);
        },
        SteppingClock());
    update->link.driver = tracing.get();
  }
  update->Run();
  update->link.driver = &update->bus;
  return update;
}

// Whether the recorder left the bus after this transfer: a restart it was
// asked for, or a boot area it took (it restarts by itself).
bool LeftAfter(const LoggedTransfer& entry) {
  if (entry.kind != LoggedTransfer::Kind::Control) return false;
  if (entry.request == emulator::requests::Restart) return true;
  return entry.request == emulator::requests::CommitBootArea && entry.ok && !entry.data.empty() && entry.data[0] != 0;
}

class TracedWholeUpdate : public CaptureFileTest, public ::testing::WithParamInterface<TracedCase> {};

// Every transfer of the update is in the capture as the recorder model saw
// it, in order, with a restart (a new device number) wherever the recorder
// left the bus and came back; the update itself is as it is untraced.
TEST_P(TracedWholeUpdate, HoldsEveryTransferAsTheRecorderSawIt) {
  const std::filesystem::path path = dir_ / "trace.pcap";
  std::vector<std::string> failures;
  const auto traced = RunUpdate(GetParam(), path, &failures);
  const auto plain = RunUpdate(GetParam(), {});
  EXPECT_EQ(failures, std::vector<std::string>{});
  EXPECT_EQ(traced->console.output, plain->console.output);
  EXPECT_EQ(emulator::DescribeLog(traced->model), emulator::DescribeLog(plain->model));

  const RecorderCapture capture = Read(path);
  const std::vector<LoggedTransfer>& log = traced->model.log;
  ASSERT_EQ(capture.transfers, log.size());
  std::size_t at = 0;
  std::uint8_t device = 1;
  for (std::size_t event = 0; event < capture.events.size(); ++event) {
    ASSERT_EQ(capture.events[event].kind, CaptureEvent::Kind::Transfer) << "event " << event;
    const CapturedTransfer& transfer = capture.events[event].transfer;
    const LoggedTransfer& entry = log[at];
    SCOPED_TRACE("transfer " + std::to_string(at + 1) + ": " + DescribeRequest(transfer));
    EXPECT_EQ(transfer.control, entry.kind == LoggedTransfer::Kind::Control);
    EXPECT_EQ(transfer.in, entry.kind == LoggedTransfer::Kind::BulkIn || entry.direction == 1);
    if (transfer.control) {
      EXPECT_EQ(SetupRequestType(transfer), entry.direction == 1 ? 0xC0 : 0x40);
      EXPECT_EQ(SetupRequest(transfer), entry.request);
      EXPECT_EQ(SetupValue(transfer), entry.value);
      EXPECT_EQ(SetupIndex(transfer), entry.index);
      EXPECT_EQ(SetupLength(transfer), entry.length);
    } else {
      EXPECT_EQ(transfer.endpoint, transfer.in ? 0x82 : 0x01);  // the driver's pipe numbers
      EXPECT_EQ(transfer.asked, entry.length);
    }
    EXPECT_EQ(transfer.in ? transfer.received : transfer.sent, entry.data);
    // A failure the driver reports as a time-out is written as usbmon shows
    // the transfer libusb cancels then (-ECONNRESET), every other as a stall.
    EXPECT_EQ(transfer.end, entry.ok ? CapturedEnd::Ok : entry.answered ? CapturedEnd::Stall : CapturedEnd::Cancelled);
    EXPECT_EQ(transfer.status, entry.ok ? 0 : entry.answered ? -32 : -104);
    EXPECT_EQ(transfer.address.bus, 1);
    EXPECT_EQ(transfer.address.device, device);
    const bool restartNext = event + 1 < capture.events.size() &&
                             capture.events[event + 1].kind == CaptureEvent::Kind::Restart;
    EXPECT_EQ(restartNext, LeftAfter(entry) && at + 1 < log.size());
    if (restartNext) {
      ++event;
      ++device;
    }
    ++at;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, TracedWholeUpdate,
    ::testing::Values(TracedCase{"FlashPath", 0x0100, {}}, TracedCase{"NandPath", 0x00FF, {}},
                      TracedCase{"NoUpgradePath", 0x0102, {}},
                      // The fifth WriteFlash stalls after it was carried out: written as a stall.
                      TracedCase{"NoUpgradePathWithAStall", 0x0102,
                                 {{12, emulator::TransferFaultKind::StallAfterExecuting, -1}}},
                      // The recorder answers nothing from the fifth WriteFlash on.
                      TracedCase{"NoUpgradePathWhereTheRecorderStopsAnswering", 0x0102,
                                 {{12, emulator::TransferFaultKind::NoAnswer, -1}}}),
    [](const ::testing::TestParamInfo<TracedCase>& each) { return std::string(each.param.name); });

// A sink that fails at its n-th write, as a full disk or a pulled stick does.
class FailingSink final : public CaptureSink {
 public:
  explicit FailingSink(int failAt) : failAt_(failAt) {}
  bool Write(std::span<const std::uint8_t> /*piece*/, std::string& reason) override {
    if (++writes == failAt_) {
      reason = "No space left on device";
      return false;
    }
    return true;
  }
  int writes = 0;

 private:
  int failAt_;
};

class UnwritableTrace : public ::testing::TestWithParam<int> {};

// The failure is reported once; nothing more is written, and the update goes
// on exactly as it does untraced.
TEST_P(UnwritableTrace, IsReportedOnceAndTheUpdateGoesOnUntraced) {
  const TracedCase flash{"FlashPath", 0x0100, {}};
  auto update = std::make_unique<sweep::WholeUpdate>(flash.bootLoader);
  update->console.keys.assign(kKeys.begin(), kKeys.end());
  FailingSink sink(GetParam());
  std::vector<std::string> failures;
  TracingDriver tracing(update->bus, sink, [&](const std::string& reason) { failures.push_back(reason); },
                        SteppingClock());
  update->link.driver = &tracing;
  update->Run();
  const auto plain = RunUpdate(flash, {});
  EXPECT_EQ(failures, std::vector<std::string>{"No space left on device"});
  EXPECT_EQ(sink.writes, GetParam());
  EXPECT_FALSE(tracing.Tracing());
  EXPECT_EQ(update->console.output, plain->console.output);
  EXPECT_EQ(emulator::DescribeLog(update->model), emulator::DescribeLog(plain->model));
  EXPECT_EQ(update->Judge(), std::vector<std::string>{});
}

// At the first write (the file cannot be made) and in the middle of the
// firmware programming.
INSTANTIATE_TEST_SUITE_P(Writes, UnwritableTrace, ::testing::Values(1, 300));

// What the backend tells of the bus is handed on as it is: a recorder the
// system lists but no driver serves keeps its hint under --trace too.
TEST(TracingDriverOfTheBus, HandsOnARecorderNoDriverServes) {
  emulator::RecorderModel model;
  emulator::EmulatedBus bus{model};
  bus.unservedPlaces = {"1-4"};
  FailingSink sink(0);
  TracingDriver tracing(bus, sink, [](const std::string&) {}, SteppingClock());
  tracing.DeviceNames();
  EXPECT_TRUE(tracing.SawUnservedDevice(0x10C4, 0x4512, "1-4"));
  EXPECT_FALSE(tracing.SawUnservedDevice(0x10C4, 0x4512, "1-1"));
}

// usbmon records of a made-up capture, for the decoder.
class UsbmonCapture {
 public:
  void Control(std::uint16_t device, std::array<std::uint8_t, 8> setup, std::vector<std::uint8_t> reply) {
    UsbmonRecord submit;
    submit.id = ++id_;
    submit.endpoint = setup[0] & kEndpointIn;
    submit.device = static_cast<std::uint8_t>(device);
    submit.bus = 1;
    submit.setupFlag = kUsbmonPresent;
    submit.setup = setup;
    submit.dataFlag = kUsbmonDataIncoming;
    submit.length = GetLe16(setup, 6);
    Add(submit);
    UsbmonRecord complete = submit;
    complete.type = 'C';
    complete.setupFlag = kUsbmonSetupNotRelevant;
    complete.dataFlag = kUsbmonPresent;
    complete.length = static_cast<std::uint32_t>(reply.size());
    complete.data = std::move(reply);
    Add(complete);
  }
  void BulkOut(std::uint16_t device, std::vector<std::uint8_t> data) {
    UsbmonRecord submit;
    submit.id = ++id_;
    submit.transferType = kUsbmonBulk;
    submit.endpoint = 0x02;
    submit.device = static_cast<std::uint8_t>(device);
    submit.bus = 1;
    submit.length = static_cast<std::uint32_t>(data.size());
    submit.data = std::move(data);
    Add(submit);
    UsbmonRecord complete = submit;
    complete.type = 'C';
    complete.dataFlag = kUsbmonDataOutgoing;
    complete.data.clear();
    Add(complete);
  }
  std::vector<CapturePacket> packets;

 private:
  void Add(const UsbmonRecord& record) {
    CapturePacket packet;
    packet.bytes = BuildUsbmonRecord(record);
    packet.wireLength = static_cast<std::uint32_t>(packet.bytes.size());
    packets.push_back(std::move(packet));
  }
  std::uint64_t id_ = 0;
};

constexpr std::array<std::uint8_t, 8> kGetDeviceDescriptor = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
constexpr std::array<std::uint8_t, 8> kGetFirmwareVersion = {0xC0, 0xC6, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00};

std::vector<std::uint8_t> DeviceDescriptor(std::uint16_t vendor, std::uint16_t product) {
  std::vector<std::uint8_t> descriptor(18, 0);
  descriptor[0] = 18;
  descriptor[1] = 1;
  PutLe16(descriptor, 8, vendor);
  PutLe16(descriptor, 10, product);
  return descriptor;
}

// The recorder among other devices: one described as another identity (its
// vendor requests and bulk transfers are not the recorder's), one never
// described that takes only bulk transfers (a disk plugged in before the
// capture), one never described that takes vendor requests (the recorder,
// plugged in before the capture), and the recorder described at the address
// it comes back under.
TEST(DecodeCapture, TakesTheDescribedRecorderAndAnUndescribedDeviceThatTakesVendorRequests) {
  UsbmonCapture made;
  made.Control(5, kGetDeviceDescriptor, DeviceDescriptor(0x046D, 0xC52B));
  made.Control(5, kGetFirmwareVersion, {0x01, 0x02});
  made.BulkOut(5, {1, 2, 3});
  made.BulkOut(7, {4, 5, 6});
  made.Control(9, kGetFirmwareVersion, {0x02, 0x01});
  made.BulkOut(9, {7, 8, 9});
  made.Control(10, kGetDeviceDescriptor, DeviceDescriptor(0x10C4, 0x4512));
  made.Control(10, kGetFirmwareVersion, {0x00, 0x02});

  RecorderCapture capture;
  std::string error;
  ASSERT_TRUE(DecodeCapture(kLinkTypeUsbLinuxMmapped, made.packets, capture, error)) << error;
  ASSERT_EQ(capture.events.size(), 4u);
  EXPECT_EQ(capture.transfers, 3u);
  EXPECT_EQ(capture.events[0].transfer.frame, 9u);
  EXPECT_EQ(capture.events[0].transfer.received, (std::vector<std::uint8_t>{0x02, 0x01}));
  EXPECT_EQ(capture.events[1].transfer.sent, (std::vector<std::uint8_t>{7, 8, 9}));
  ASSERT_EQ(capture.events[2].kind, CaptureEvent::Kind::Restart);
  EXPECT_EQ(DescribeAddress(capture.events[2].from) + " " + DescribeAddress(capture.events[2].to), "1.9 1.10");
  EXPECT_EQ(capture.events[3].transfer.received, (std::vector<std::uint8_t>{0x00, 0x02}));
  ASSERT_EQ(capture.assumed.size(), 1u);
  EXPECT_EQ(DescribeAddress(capture.assumed[0]), "1.9");

  EXPECT_FALSE(DecodeCapture(1, made.packets, capture, error));  // Ethernet
  EXPECT_EQ(error, "link type 1 is not a USB capture this program reads (220, Linux usbmon; 249, USBPcap)");
}

CapturedTransfer Transfer(std::uint8_t request, bool in, std::vector<std::uint8_t> data) {
  CapturedTransfer transfer;
  transfer.in = in;
  transfer.setup = {static_cast<std::uint8_t>(in ? 0xC0 : 0x40), request, 0, 0, 0, 0,
                    static_cast<std::uint8_t>(data.size()), 0};
  transfer.asked = static_cast<std::uint32_t>(data.size());
  transfer.moved = static_cast<std::uint32_t>(data.size());
  transfer.end = CapturedEnd::Ok;
  (in ? transfer.received : transfer.sent) = data;
  if (!in) transfer.sentLength = static_cast<std::uint32_t>(data.size());
  return transfer;
}

RecorderCapture Capture(std::vector<CaptureEvent> events) {
  RecorderCapture capture;
  capture.events = std::move(events);
  for (const CaptureEvent& event : capture.events) capture.transfers += event.kind == CaptureEvent::Kind::Transfer;
  return capture;
}

CaptureEvent Event(CapturedTransfer transfer) {
  CaptureEvent event;
  event.transfer = std::move(transfer);
  return event;
}

CaptureEvent Restart() {
  CaptureEvent event;
  event.kind = CaptureEvent::Kind::Restart;
  event.from = {1, 52};
  event.to = {1, 53};
  return event;
}

struct ComparisonCase {
  const char* name;
  RecorderCapture other;
  std::string text;  // what the comparison says, from its start
};

void PrintTo(const ComparisonCase& c, std::ostream* out) { *out << c.name; }

const RecorderCapture kBase = Capture({Event(Transfer(0xC6, true, {2, 1})), Event(Transfer(0x23, true, {})),
                                       Restart(), Event(Transfer(0x21, false, {9, 8, 7, 6}))});

CapturedTransfer Stalled(CapturedTransfer transfer) {
  transfer.end = CapturedEnd::Stall;
  transfer.status = -32;
  transfer.moved = 0;
  transfer.received.clear();
  return transfer;
}

class CompareCapturesTest : public ::testing::TestWithParam<ComparisonCase> {};

TEST_P(CompareCapturesTest, SaysTheFirstDifferenceAndWhere) {
  const CaptureComparison comparison = CompareCaptures(kBase, GetParam().other);
  EXPECT_EQ(comparison.match, GetParam().text.rfind("the captures match", 0) == 0);
  EXPECT_EQ(comparison.text.substr(0, GetParam().text.size()), GetParam().text) << comparison.text;
}

INSTANTIATE_TEST_SUITE_P(
    Variants, CompareCapturesTest,
    ::testing::Values(
        ComparisonCase{"Same", kBase, "the captures match: 3 transfers and 1 restart\n"},
        ComparisonCase{"OneByteSent",
                       Capture({Event(Transfer(0xC6, true, {2, 1})), Event(Transfer(0x23, true, {})), Restart(),
                                Event(Transfer(0x21, false, {9, 8, 0x17, 6}))}),
                       "the captures differ at transfer 3: the data sent differs at byte 2: A 0x07, B 0x17\n"
                       "  A frame 0: out 0x21 WriteFlash value 0x0000 index 0x0000 length 4: 09 08 07 06 -> ok, 4 "
                       "bytes\n  B frame 0: out 0x21 WriteFlash"},
        ComparisonCase{"OneByteReceived",
                       Capture({Event(Transfer(0xC6, true, {2, 0})), Event(Transfer(0x23, true, {})), Restart(),
                                Event(Transfer(0x21, false, {9, 8, 7, 6}))}),
                       "the captures differ at transfer 1: the data received differs at byte 1: A 0x01, B 0x00"},
        ComparisonCase{"Stalled",
                       Capture({Event(Stalled(Transfer(0xC6, true, {2, 1}))), Event(Transfer(0x23, true, {})),
                                Restart(), Event(Transfer(0x21, false, {9, 8, 7, 6}))}),
                       "the captures differ at transfer 1: the outcome differs: A ok, 2 bytes: 02 01; B stall "
                       "(status -32), 0 bytes"},
        ComparisonCase{"NoRestart",
                       Capture({Event(Transfer(0xC6, true, {2, 1})), Event(Transfer(0x23, true, {})),
                                Event(Transfer(0x21, false, {9, 8, 7, 6}))}),
                       "the captures differ at the restart after transfer 2: one has a restart where the other has "
                       "a transfer"},
        ComparisonCase{"Shorter", Capture({Event(Transfer(0xC6, true, {2, 1}))}),
                       "the captures differ after transfer 1: B ends there, A goes on with frame 0: in  0x23 Restart"}),
    [](const ::testing::TestParamInfo<ComparisonCase>& each) { return std::string(each.param.name); });

// A capture whose completion says more bytes moved than the transfer held
// (found by the capture fuzzer): the replay does not hand that count to the
// program, it stops there.
TEST(ReplayRecorder, StopsAtACountBeyondTheTransfer) {
  CapturedTransfer write = Transfer(0x21, false, {9, 8, 7, 6});
  write.moved = 5;
  CapturedTransfer read = Transfer(0xC6, true, {2, 1});
  read.moved = 3;
  read.received = {2, 1, 0};
  for (const CapturedTransfer& transfer : {write, read}) {
    emulator::ReplayRecorder replay(Capture({Event(transfer)}));
    emulator::RecorderModel model;
    model.standIn = &replay;
    std::vector<std::uint8_t> data = transfer.in ? std::vector<std::uint8_t>(2) : transfer.sent;
    std::uint32_t moved = 0;
    EXPECT_EQ(emulator::HandleControl(model, transfer.in ? 1 : 0, SetupRequest(transfer), 0, 0, data, moved),
              emulator::Outcome::Failed);
    EXPECT_EQ(moved, 0u);
    EXPECT_TRUE(replay.Differed());
    EXPECT_NE(replay.Report().find("holds less than the capture says moved (" + std::to_string(transfer.moved) +
                                   " bytes)"),
              std::string::npos)
        << replay.Report();
  }
}

// A transfer the capture shows cancelled, as a time-out ends one, is played
// back as no answer at all: the program's own driver then ends it at its
// time limit, as in the run that was captured.
TEST(ReplayRecorder, PlaysACancelledTransferAsNoAnswer) {
  CapturedTransfer read = Transfer(0xC6, true, {2, 1});
  read.end = CapturedEnd::Cancelled;
  read.status = -104;
  read.moved = 0;
  read.received.clear();
  emulator::ReplayRecorder replay(Capture({Event(read)}));
  emulator::RecorderModel model;
  model.standIn = &replay;
  std::vector<std::uint8_t> data(2);
  std::uint32_t moved = 0;
  EXPECT_EQ(emulator::HandleControl(model, 1, 0xC6, 0, 0, data, moved), emulator::Outcome::NoAnswer);
  EXPECT_FALSE(replay.Differed());
  ASSERT_EQ(model.log.size(), 1u);
  EXPECT_FALSE(model.log.back().answered);
}

// The replay through the in-process door: the flash path's trace played back
// to the same dialogue ends as the run did; with one byte of one WriteFlash
// changed in the capture it stops there.
TEST_F(CaptureFileTest, ReplayThroughTheInProcessBus) {
  const TracedCase flash{"FlashPath", 0x0100, {}};
  const std::filesystem::path path = dir_ / "trace.pcap";
  const auto original = RunUpdate(flash, path);
  const RecorderCapture capture = Read(path);

  emulator::ReplayRecorder replay(capture);
  auto replayed = std::make_unique<sweep::WholeUpdate>(flash.bootLoader);
  replayed->console.keys.assign(kKeys.begin(), kKeys.end());
  replayed->model.standIn = &replay;
  replayed->Run();
  EXPECT_EQ(replayed->console.output, original->console.output);
  EXPECT_EQ(replayed->exitCode, original->exitCode);
  EXPECT_EQ(emulator::DescribeLog(replayed->model), emulator::DescribeLog(original->model));
  EXPECT_EQ(replay.Report(), "replay: all " + std::to_string(capture.transfers) + " transfers of the capture played\n");

  RecorderCapture changed = capture;
  std::size_t transfer = 0;
  std::size_t writes = 0;
  for (CaptureEvent& event : changed.events) {
    if (event.kind != CaptureEvent::Kind::Transfer) continue;
    ++transfer;
    if (event.transfer.control && SetupRequest(event.transfer) == 0x21 && ++writes == 10) {
      event.transfer.sent[5] ^= 0x5A;
      break;
    }
  }
  emulator::ReplayRecorder stopped(changed);
  auto stoppedRun = std::make_unique<sweep::WholeUpdate>(flash.bootLoader);
  stoppedRun->console.keys.assign(kKeys.begin(), kKeys.end());
  stoppedRun->model.standIn = &stopped;
  stoppedRun->Run();
  EXPECT_TRUE(stopped.Differed());
  EXPECT_EQ(stopped.Played(), transfer - 1);
  EXPECT_EQ(stopped.Report().rfind("replay: the program's transfer " + std::to_string(transfer) +
                                       " differs from the capture's (frame " + std::to_string(2 * transfer - 1) +
                                       "): the data sent differs at byte 5: ",
                                   0),
            0u)
      << stopped.Report();
  ASSERT_GE(stoppedRun->model.log.size(), transfer);
  EXPECT_FALSE(stoppedRun->model.log[transfer - 1].ok);
  // Nothing after it reached a recorder: it left the bus for good.
  EXPECT_EQ(stoppedRun->model.log.size(), transfer);
}

}  // namespace
}  // namespace k24::test
