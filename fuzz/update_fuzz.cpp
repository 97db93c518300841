// Fuzz target: the recorder procedures and the whole dialogue against a
// recorder model whose state, faults (refused requests, cut replies, bulk
// transfers that move too few, no or too many bytes, a recorder that leaves
// and comes back late, at once or never, one that stops answering), presence
// at start and the operator's keys all come from the input. Every run is judged as the fault
// sweep judges (tests/sweep/whole_update.h): a defined ending in bounded
// virtual time, no untrue "OK", nothing lost.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "recorder/flash_programming.h"
#include "recorder/nand_boot_area.h"
#include "recorder/recorder_queries.h"
#include "whole_update.h"

namespace {

using k24::emulator::TransferFault;
using k24::emulator::TransferFaultKind;

void Fail(const std::string& what, const std::string& output) {
  std::fprintf(stderr, "update: %s\n--- output ---\n%s\n", what.c_str(), output.c_str());
  std::abort();
}

k24::VersionWord PickBootLoader(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return 0x0100;
    case 1: return 0x00FF;
    case 2: return 0x0102;
    default: return in.ConsumeIntegral<std::uint16_t>();
  }
}

// Faults at transfer indexes up to a little past the longest update.
std::vector<TransferFault> PickFaults(FuzzedDataProvider& in) {
  std::vector<TransferFault> faults;
  const int count = in.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < count; ++i) {
    TransferFault fault;
    fault.transfer = in.ConsumeIntegralInRange(1, 520);
    fault.kind = static_cast<TransferFaultKind>(in.ConsumeIntegralInRange(
        static_cast<int>(TransferFaultKind::Stall), static_cast<int>(TransferFaultKind::NoAnswer)));
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0: fault.returnAfterMs = -1; break;
      case 1: fault.returnAfterMs = 0; break;
      case 2: fault.returnAfterMs = static_cast<long>(k24::kReenumerationPhaseLimitMs) + 1; break;
      default: fault.returnAfterMs = in.ConsumeIntegralInRange<long>(1, 70'000); break;
    }
    faults.push_back(fault);
  }
  return faults;
}

void PickRecorder(FuzzedDataProvider& in, k24::emulator::RecorderModel& model) {
  const auto quirks = in.ConsumeIntegral<std::uint8_t>();
  model.firmwareAnswersVersion = (quirks & 1) == 0;
  model.bootLoaderAnswersVersion = (quirks & 2) == 0;
  model.commitBootAreaReply = (quirks & 4) == 0 ? 1 : 0;
  if ((quirks & 8) != 0) model.mode = k24::emulator::RecorderMode::BootLoader;
  if ((quirks & 16) != 0) {
    const std::string identity = in.ConsumeBytesAsString(5);
    std::vector<std::uint8_t> five(5, 0xFF);
    std::copy(identity.begin(), identity.end(), five.begin());
    k24::emulator::SetIdentity(model, five);
  }
  if ((quirks & 32) != 0) model.firmwareVersion = in.ConsumeIntegral<std::uint16_t>();
  if ((quirks & 64) != 0) {
    // Up to 20 characters, or 21 with the mark, as the recorder may hold them.
    std::string serial = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, 20));
    if (serial.size() == 20 && in.ConsumeBool()) serial.insert(5, "W");
    k24::emulator::SetSerialNumber(model, serial);
  }
  // Away for at least two probes after a restart: one that is back by the
  // first probe after it left was never seen leaving (a fault the transfer
  // faults cover).
  model.restartAbsentProbes = 2 + in.ConsumeIntegralInRange(0, 6);
  model.transferFaults = PickFaults(in);
}

std::uint16_t PickKey(FuzzedDataProvider& in) {
  static const std::uint16_t kKeys[] = {'Y', 'y', 'L', 'l', 'n', ' ', k24::kKeyEsc, 0};
  const std::uint16_t key = kKeys[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kKeys) - 1)];
  return key == 0 && in.ConsumeBool() ? in.ConsumeIntegral<std::uint8_t>() : key;
}

void WholeDialogue(FuzzedDataProvider& in) {
  auto update = std::make_unique<k24::sweep::WholeUpdate>(PickBootLoader(in));
  PickRecorder(in, update->model);
  const bool diag = in.ConsumeBool();
  if (in.ConsumeBool()) {
    // Plugged in while the program waits for it.
    const int probes = in.ConsumeIntegralInRange(1, 200);
    k24::emulator::PlugInAfterProbes(update->model, probes);
    update->timeBoundMs += static_cast<std::uint64_t>(probes) + 10;
  }
  // No keys from the input: the operator says yes to everything.
  const int keys = in.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < keys; ++i) update->console.keys.push_back(PickKey(in));
  if (keys == 0) update->console.keys = {'Y', 'L', 'Y', 'Y'};
  update->console.escWhenOut = true;  // past its keys the operator presses Esc
  update->Run(k24::DialogueOptions{diag, std::nullopt});
  const std::vector<std::string> problems = update->Judge();
  if (!problems.empty()) Fail(problems.front(), update->console.output);
}

// The procedures on their own: a true result must be true of the recorder.
void Procedures(FuzzedDataProvider& in) {
  auto update = std::make_unique<k24::sweep::WholeUpdate>(0x00FF);
  PickRecorder(in, update->model);
  k24::emulator::RecorderModel& model = update->model;
  k24::DeviceLink& link = update->link;
  k24::SetTargetDevice(link, k24::kRecorderVendorId, k24::kRecorderProductId);
  const std::vector<std::uint8_t> page0(model.nand.begin(), model.nand.begin() + k24::kNandPageSize);
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: {
      const k24::FlashImage& replacer = k24::sweep::Expected().nandReplacer;
      if (!k24::RewriteNandBootArea(link, replacer)) break;
      if (!std::equal(page0.begin(), page0.end(), model.nand.begin())) Fail("rewrite true, page 0 changed", "");
      if (!std::equal(replacer.begin(), replacer.begin() + k24::kNandBootImageSize,
                      model.nand.begin() + k24::kNandPageSize)) {
        Fail("rewrite true, the image is not in NAND", "");
      }
      break;
    }
    case 1: {
      const k24::FlashImage& firmware = k24::sweep::Expected().firmware;
      if (!k24::PrepareForProgramming(link) || !k24::ProgramFlashImage(link, firmware)) break;
      if (!std::equal(firmware.begin(), firmware.begin() + k24::kImageRegionSize, model.flash.begin())) {
        Fail("programming true, the flash does not hold the image", "");
      }
      break;
    }
    default: {
      const std::vector<std::uint8_t> serial = k24::emulator::SerialBytesOf(model);
      const k24::VersionWord firmware = k24::GetFirmwareVersion(link);
      if (firmware != 0 && firmware != model.firmwareVersion) Fail("a firmware version the recorder never gave", "");
      const k24::VersionWord bootLoader = k24::GetBootLoaderVersion(link);
      if (bootLoader != 0 && bootLoader != model.bootLoaderVersion && bootLoader != 0x0100) {
        Fail("a boot loader version the recorder never gave", "");
      }
      const k24::SerialNumber read = k24::ReadSerialNumber(link, firmware);
      const std::size_t kept = firmware != 0 ? k24::kSerialNumberSize : k24::kSerialNumberSize - 1;
      if (read.answered &&
          !std::equal(read.asRead.begin(), read.asRead.begin() + static_cast<std::ptrdiff_t>(kept), serial.begin())) {
        Fail("a serial number the recorder never gave", "");
      }
      if (!read.answered && read.text[0] != 0) Fail("an unanswered serial number that is not empty", "");
      break;
    }
  }
  if (update->bus.openHandles != 0) Fail("a device handle left open", "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    Procedures(in);
  } else {
    WholeDialogue(in);
  }
  return 0;
}
