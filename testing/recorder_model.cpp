#include "testing/recorder_model.h"

#include <algorithm>
#include <cstdio>

#include "common/byte_order.h"

namespace k24::emulator {
namespace {

struct RequestShape {
  std::uint8_t code;
  std::uint8_t direction;
  std::size_t length;
};

// Direction and data length that the recorder expects for each request.
constexpr RequestShape kShapes[] = {
    {requests::ReadFlash, 1, 64},
    {requests::WriteFlash, 0, 64},
    {requests::ErasePage, 1, 2},
    {requests::Restart, 1, 0},
    {requests::GetBootLoaderVersion, 1, 2},
    {requests::FinishFirmware, 1, 4},
    {requests::PostUpdateQuery, 1, 4},
    {requests::GetSerialNumber, 1, 21},
    {requests::SetSerialNumber, 0, 21},
    {requests::CommitBootArea, 1, 1},
    {requests::GetFirmwareVersion, 1, 2},
    {requests::NandEraseBlock, 0, 5},
    {requests::NandStatus, 1, 1},
    {requests::NandReadPages, 0, 19},
    {requests::NandWritePages, 0, 19},
};

bool ShapeMatches(std::uint8_t request, std::uint8_t direction, std::size_t length) {
  for (const RequestShape& shape : kShapes) {
    if (shape.code == request) {
      return shape.direction == direction && shape.length == length;
    }
  }
  return false;
}

// Leaves the bus for a restart (the restart is counted by the caller).
void LeaveBus(RecorderModel& model) {
  const bool returns = !model.neverReturnAfterRestart && model.restarts != model.neverReturnFromRestart;
  model.onBus = false;
  model.returnPending = returns;
  model.probesUntilReturn = model.restartAbsentProbes;
}

// The state the recorder comes back in after a restart it was asked for.
void Restart(RecorderModel& model) {
  ++model.restarts;
  if (model.mode == RecorderMode::Programming) {
    if (model.firmwareFinished) {
      // Back running the firmware now in flash.
      model.mode = RecorderMode::Firmware;
      model.firmwareVersion = GetLe16(model.flash, 0x29F9);
    } else {
      // Flash holds a boot-loader replacer: it installs the boot loader it
      // carries (its bytes 0x1000-0x1001 hold that boot loader's version).
      model.mode = RecorderMode::BootLoader;
      model.bootLoaderVersion = GetLe16(model.flash, 0x1000);
    }
  } else if (model.programmingRequested) {
    model.mode = RecorderMode::Programming;
  }
  model.programmingRequested = false;
  model.firmwareFinished = false;
  model.pendingNandRead = model.pendingNandWrite = false;
  LeaveBus(model);
}

bool NandPageRange(std::span<const std::uint8_t> record, std::uint32_t& first, std::uint32_t& count) {
  // unit 0, page size 2112, then 1, 0, 1, count, first, 0 (big-endian)
  if (record[0] != 0 || GetBe16(record, 1) != kModelNandPageSize || GetBe16(record, 3) != 1 ||
      GetBe16(record, 5) != 0 || GetBe16(record, 7) != 1 || GetBe16(record, 17) != 0) {
    return false;
  }
  count = GetBe32(record, 9);
  first = GetBe32(record, 13);
  return count > 0 && first < kModelNandPagesPerBlock && count <= kModelNandPagesPerBlock - first;
}

bool Execute(RecorderModel& model, std::uint8_t request, std::uint16_t value, std::span<std::uint8_t> data) {
  const bool firmware = model.mode == RecorderMode::Firmware;
  const bool programming = model.mode == RecorderMode::Programming;
  switch (request) {
    case requests::ReadFlash:
      std::copy_n(model.flash.begin() + value, std::min<std::size_t>(64, kModelFlashSize - value), data.begin());
      return true;
    case requests::WriteFlash:
      if (!programming || value % 64 != 0) return false;
      for (std::size_t i = 0; i < 64; ++i) model.flash[value + i] &= data[i];
      return true;
    case requests::ErasePage:
      if (value % 512 != 0) return false;
      std::fill_n(model.flash.begin() + value, 512, std::uint8_t{0xFF});
      if (!programming && value == 0x0200) model.programmingRequested = true;
      data[0] = data[1] = 0;
      return true;
    case requests::Restart:
      Restart(model);
      return true;
    case requests::GetBootLoaderVersion:
      if (!model.bootLoaderAnswersVersion) return false;
      PutLe16(data, 0, model.bootLoaderVersion);
      return true;
    case requests::GetFirmwareVersion:
      if (!firmware || !model.firmwareAnswersVersion) return false;
      PutLe16(data, 0, model.firmwareVersion);
      return true;
    case requests::FinishFirmware:
      if (!programming) return false;
      model.firmwareFinished = true;
      std::fill(data.begin(), data.end(), std::uint8_t{0});
      return true;
    case requests::PostUpdateQuery:
      if (!firmware) return false;
      std::fill(data.begin(), data.end(), std::uint8_t{0});
      return true;
    case requests::GetSerialNumber:
      if (!firmware) return false;
      std::copy_n(model.flash.begin() + kModelSerialAddress, kModelSerialSize, data.begin());
      return true;
    case requests::SetSerialNumber:
      if (!firmware) return false;
      std::copy_n(data.begin(), kModelSerialSize, model.flash.begin() + kModelSerialAddress);
      return true;
    case requests::CommitBootArea: {
      data[0] = model.commitBootAreaReply;
      if (model.commitBootAreaReply != 0) {
        // The new boot loader is in NAND page 1 on; the recorder restarts by itself.
        model.bootLoaderVersion = GetLe16(model.nand, kModelNandPageSize + 0x1000);
        model.mode = RecorderMode::BootLoader;
        ++model.restarts;
        LeaveBus(model);
      }
      return true;
    }
    case requests::NandEraseBlock:
      if (data[0] != 0 || GetBe32(data, 1) != 0) return false;  // only block 0 is modelled
      std::fill(model.nand.begin(), model.nand.end(), std::uint8_t{0xFF});
      return true;
    case requests::NandStatus:
      data[0] = model.nandStatusReply;
      return true;
    case requests::NandReadPages:
    case requests::NandWritePages: {
      std::uint32_t first = 0;
      std::uint32_t count = 0;
      if (!NandPageRange(data, first, count)) return false;
      model.pendingNandPage = first;
      model.pendingNandOffset = 0;
      model.pendingNandBytes = count * static_cast<std::uint32_t>(kModelNandPageSize);
      model.pendingNandRead = request == requests::NandReadPages;
      model.pendingNandWrite = request == requests::NandWritePages;
      return true;
    }
    default:
      return false;
  }
}

// Applies the bulk fault for this transfer to the count moved; false to fail it.
bool ApplyBulkFault(RecorderModel& model, std::uint32_t asked, std::uint32_t& moved) {
  const bool hit = model.bulkFault != BulkFault::None &&
                   (model.bulkFaultTransfer == 0 || model.bulkFaultTransfer == model.bulkTransfers);
  if (!hit) return true;
  switch (model.bulkFault) {
    case BulkFault::Short: moved = std::max<std::uint32_t>(1, moved / 2); return true;
    case BulkFault::Zero: moved = 0; return true;
    case BulkFault::OverLong: moved = asked + 1; return true;
    case BulkFault::Fail: moved = 0; return false;
    case BulkFault::None: break;
  }
  return true;
}

// The planned fault of transfer `transfer`, if any.
const TransferFault* TransferFaultAt(const RecorderModel& model, int transfer) {
  for (const TransferFault& fault : model.transferFaults) {
    if (fault.transfer == transfer) return &fault;
  }
  return nullptr;
}

TransferFaultKind TransferFaultHere(const RecorderModel& model) {
  const TransferFault* fault = TransferFaultAt(model, model.transfers);
  return fault == nullptr ? TransferFaultKind::None : fault->kind;
}

// VanishAt: the recorder drops off the bus as this transfer arrives, and
// comes back `returnAfterMs` later when that is not negative.
void VanishNow(RecorderModel& model) {
  const TransferFault* fault = TransferFaultAt(model, model.transfers);
  const long returnAfterMs = fault == nullptr ? -1 : fault->returnAfterMs;
  model.onBus = false;
  model.returnPending = false;
  model.timedReturnPending = returnAfterMs >= 0 && model.clock != nullptr;
  if (model.timedReturnPending) {
    model.timedReturnAtMs = model.clock->NowMs() + static_cast<std::uint64_t>(returnAfterMs);
  }
}

// A planned bulk fault of the transfer kind, applied like ApplyBulkFault.
bool ApplyTransferFaultToBulk(TransferFaultKind kind, std::uint32_t asked, std::uint32_t& moved) {
  switch (kind) {
    case TransferFaultKind::Stall: moved = 0; return false;
    case TransferFaultKind::ShortReply: moved = std::max<std::uint32_t>(1, moved / 2); return true;
    case TransferFaultKind::ZeroBytes: moved = 0; return true;
    case TransferFaultKind::OverLong: moved = asked + 1; return true;
    default: return true;
  }
}

// Moves the NAND transfer position on by `bytes`.
void Advance(RecorderModel& model, std::uint32_t bytes) {
  const std::uint32_t position = model.pendingNandOffset + bytes;
  model.pendingNandPage += position / static_cast<std::uint32_t>(kModelNandPageSize);
  model.pendingNandOffset = position % static_cast<std::uint32_t>(kModelNandPageSize);
  model.pendingNandBytes -= bytes;
}

// Counts one transfer of either kind; the recorder leaves for good after the
// one it was told to.
void NoteTransferDone(RecorderModel& model) {
  const TransferFault* next = TransferFaultAt(model, model.transfers + 1);
  const bool leaveBeforeNext = next != nullptr && next->kind == TransferFaultKind::VanishBefore;
  if (leaveBeforeNext || (model.leaveAfterTransfer != 0 && model.transfers == model.leaveAfterTransfer)) {
    model.onBus = false;
    model.returnPending = false;
  }
}

// The fault planned for this request, if any.
const RequestFault* FaultFor(const RecorderModel& model, std::uint8_t request) {
  const auto seen = model.requestsByCode.find(request);
  const int occurrence = seen == model.requestsByCode.end() ? 0 : seen->second;
  for (const RequestFault& fault : model.requestFaults) {
    if (fault.request == request && (fault.occurrence == 0 || fault.occurrence == occurrence)) return &fault;
  }
  return nullptr;
}

// Whether this transfer (counted already) finds the recorder silent: it
// stopped answering at a planned transfer, or after its count of requests.
// A recorder off the bus is not silent but gone.
bool Silent(RecorderModel& model, TransferFaultKind planned) {
  if (planned == TransferFaultKind::NoAnswer ||
      (model.stopAnsweringAfterRequest != 0 && model.controlRequests > model.stopAnsweringAfterRequest)) {
    model.silent = true;
  }
  return model.silent && model.onBus;
}

// Logs a transfer the recorder gave no answer to.
Outcome NoAnswer(RecorderModel& model, LoggedTransfer entry) {
  entry.ok = false;
  entry.answered = false;
  model.log.push_back(std::move(entry));
  NoteTransferDone(model);
  return Outcome::NoAnswer;
}

Outcome OutcomeOf(bool ok) { return ok ? Outcome::Ok : Outcome::Failed; }

}  // namespace

Outcome HandleControl(RecorderModel& model, std::uint8_t direction, std::uint8_t request, std::uint16_t value,
                      std::uint16_t index, std::span<std::uint8_t> data, std::uint32_t& moved) {
  ++model.controlRequests;
  ++model.transfers;
  ++model.requestsByCode[request];
  moved = 0;
  LoggedTransfer entry;
  entry.kind = LoggedTransfer::Kind::Control;
  entry.direction = direction;
  entry.request = request;
  entry.value = value;
  entry.index = index;
  entry.length = static_cast<std::uint32_t>(data.size());
  if (direction == 0) entry.data.assign(data.begin(), data.end());
  if (model.standIn != nullptr) {
    const Outcome outcome = model.standIn->Control(model, direction, request, value, index, data, moved);
    entry.ok = outcome == Outcome::Ok;
    entry.answered = outcome != Outcome::NoAnswer;
    if (direction == 1) {
      const std::span<const std::uint8_t> reply = data.first(std::min<std::size_t>(moved, data.size()));
      entry.data.assign(reply.begin(), reply.end());
    }
    model.log.push_back(std::move(entry));
    return outcome;
  }

  if (model.vanishAtRequest != 0 && model.controlRequests >= model.vanishAtRequest) {
    model.onBus = false;
    model.returnPending = false;
  }
  const TransferFaultKind planned = TransferFaultHere(model);
  if (planned == TransferFaultKind::VanishAt) VanishNow(model);
  if (Silent(model, planned)) return NoAnswer(model, std::move(entry));
  const RequestFault* fault = FaultFor(model, request);
  bool ok = model.onBus && index == 0 && ShapeMatches(request, direction, data.size()) &&
            model.failRequestCodes.count(request) == 0 && model.failRequestNumber != model.controlRequests &&
            (fault == nullptr || fault->kind != ControlFault::Stall) && planned != TransferFaultKind::Stall;
  if (ok) {
    // Carried out on a copy: a cut reply hands the host only its first bytes.
    std::vector<std::uint8_t> stage(data.begin(), data.end());
    ok = Execute(model, request, value, stage);
    std::uint32_t length = static_cast<std::uint32_t>(stage.size());
    if (ok && fault != nullptr && fault->kind == ControlFault::ShortReply) {
      length = std::min(length, fault->replyLength);
    }
    if (ok && planned == TransferFaultKind::ShortReply && direction == 1 && length > 0) --length;
    if (ok && direction == 1) {
      std::copy_n(stage.begin(), length, data.begin());
      entry.data.assign(data.begin(), data.begin() + length);
    }
    if (ok) moved = length;
    if (ok && fault != nullptr && fault->kind == ControlFault::StallAfterExecuting) ok = false;
    if (planned == TransferFaultKind::StallAfterExecuting) ok = false;
  }
  entry.ok = ok;
  model.log.push_back(std::move(entry));
  NoteTransferDone(model);
  return OutcomeOf(ok);
}

Outcome HandleBulkOut(RecorderModel& model, std::span<const std::uint8_t> data, std::uint32_t& moved) {
  ++model.bulkTransfers;
  ++model.transfers;
  LoggedTransfer entry;
  entry.kind = LoggedTransfer::Kind::BulkOut;
  entry.length = static_cast<std::uint32_t>(data.size());
  entry.data.assign(data.begin(), data.end());
  moved = 0;
  if (model.standIn != nullptr) {
    const Outcome outcome = model.standIn->BulkOut(model, data, moved);
    entry.ok = outcome == Outcome::Ok;
    entry.answered = outcome != Outcome::NoAnswer;
    model.log.push_back(std::move(entry));
    return outcome;
  }
  const TransferFaultKind planned = TransferFaultHere(model);
  if (planned == TransferFaultKind::VanishAt) VanishNow(model);
  if (Silent(model, planned)) return NoAnswer(model, std::move(entry));
  bool ok = model.onBus && model.pendingNandWrite;
  if (ok) {
    const std::uint32_t available =
        std::min<std::uint32_t>(static_cast<std::uint32_t>(data.size()), model.pendingNandBytes);
    moved = available;
    ok = ApplyBulkFault(model, static_cast<std::uint32_t>(data.size()), moved) &&
         ApplyTransferFaultToBulk(planned, static_cast<std::uint32_t>(data.size()), moved);
    const std::uint32_t stored = std::min(moved, available);
    if (ok) {
      const std::size_t at = model.pendingNandPage * kModelNandPageSize + (model.pendingNandOffset);
      for (std::uint32_t i = 0; i < stored; ++i) model.nand[at + i] &= data[i];
      Advance(model, stored);
      if (model.pendingNandBytes == 0) model.pendingNandWrite = false;
    }
  }
  entry.ok = ok;
  model.log.push_back(std::move(entry));
  NoteTransferDone(model);
  return OutcomeOf(ok);
}

Outcome HandleBulkIn(RecorderModel& model, std::span<std::uint8_t> data, std::uint32_t& moved) {
  ++model.bulkTransfers;
  ++model.transfers;
  LoggedTransfer entry;
  entry.kind = LoggedTransfer::Kind::BulkIn;
  entry.direction = 1;
  entry.length = static_cast<std::uint32_t>(data.size());
  moved = 0;
  if (model.standIn != nullptr) {
    const Outcome outcome = model.standIn->BulkIn(model, data, moved);
    entry.ok = outcome == Outcome::Ok;
    entry.answered = outcome != Outcome::NoAnswer;
    const std::span<const std::uint8_t> delivered = data.first(std::min<std::size_t>(moved, data.size()));
    entry.data.assign(delivered.begin(), delivered.end());
    model.log.push_back(std::move(entry));
    return outcome;
  }
  const TransferFaultKind planned = TransferFaultHere(model);
  if (planned == TransferFaultKind::VanishAt) VanishNow(model);
  if (Silent(model, planned)) return NoAnswer(model, std::move(entry));
  bool ok = model.onBus && model.pendingNandRead;
  if (ok) {
    const std::uint32_t available =
        std::min<std::uint32_t>(static_cast<std::uint32_t>(data.size()), model.pendingNandBytes);
    moved = available;
    ok = ApplyBulkFault(model, static_cast<std::uint32_t>(data.size()), moved) &&
         ApplyTransferFaultToBulk(planned, static_cast<std::uint32_t>(data.size()), moved);
    const std::uint32_t delivered = ok ? std::min(moved, available) : 0;
    const std::size_t at = model.pendingNandPage * kModelNandPageSize + model.pendingNandOffset;
    std::copy_n(model.nand.begin() + static_cast<std::ptrdiff_t>(at), delivered, data.begin());
    if (model.corruptNandReadBack && delivered > 0) data[delivered / 2] ^= 0x01;
    if (model.corruptNandOffset >= 0 && static_cast<std::size_t>(model.corruptNandOffset) >= at &&
        static_cast<std::size_t>(model.corruptNandOffset) < at + delivered) {
      data[static_cast<std::size_t>(model.corruptNandOffset) - at] ^= 0x01;
    }
    Advance(model, delivered);
    if (model.pendingNandBytes == 0) model.pendingNandRead = false;
    entry.data.assign(data.begin(), data.begin() + delivered);
  }
  entry.ok = ok;
  model.log.push_back(std::move(entry));
  NoteTransferDone(model);
  return OutcomeOf(ok);
}

void NoteProbe(RecorderModel& model) {
  if (model.timedReturnPending && model.clock != nullptr && model.clock->NowMs() >= model.timedReturnAtMs) {
    ComeBack(model);
    return;
  }
  if (model.onBus || !model.returnPending) return;
  if (--model.probesUntilReturn <= 0) ComeBack(model);
}

void ComeBack(RecorderModel& model) {
  model.onBus = true;
  model.returnPending = false;
  model.timedReturnPending = false;
  model.probesUntilReturn = 0;
}

void PlugInAfterProbes(RecorderModel& model, int probes) {
  model.onBus = false;
  model.returnPending = true;
  model.probesUntilReturn = probes;
}

void SetSerialNumber(RecorderModel& model, const std::string& text) {
  std::fill_n(model.flash.begin() + kModelSerialAddress, kModelSerialSize, std::uint8_t{0});
  std::copy_n(text.begin(), std::min(text.size(), kModelSerialSize), model.flash.begin() + kModelSerialAddress);
}

std::vector<std::uint8_t> SerialBytesOf(const RecorderModel& model) {
  const auto begin = model.flash.begin() + kModelSerialAddress;
  return {begin, begin + kModelSerialSize};
}

std::string SerialNumberOf(const RecorderModel& model) {
  std::string text;
  for (std::uint8_t byte : SerialBytesOf(model)) {
    if (byte == 0) break;
    text.push_back(static_cast<char>(byte));
  }
  return text;
}

void SetIdentity(RecorderModel& model, std::span<const std::uint8_t> fiveBytes) {
  std::copy_n(fiveBytes.begin(), 5, model.flash.begin() + 0x29FB);
}

void InstallFirmware(RecorderModel& model, VersionWord version, const std::string& identity) {
  for (std::size_t i = 0; i < 0x2A00; ++i) model.flash[i] = static_cast<std::uint8_t>(i * 7 + 3);
  PutLe16(model.flash, 0x29F9, version);
  std::fill_n(model.flash.begin() + 0x29FB, 5, std::uint8_t{0});
  std::copy_n(identity.begin(), std::min<std::size_t>(identity.size(), 5), model.flash.begin() + 0x29FB);
  model.firmwareVersion = version;
  model.mode = RecorderMode::Firmware;
}

std::vector<std::uint8_t> RequestCodes(const RecorderModel& model) {
  std::vector<std::uint8_t> codes;
  for (const LoggedTransfer& entry : model.log) {
    if (entry.kind == LoggedTransfer::Kind::Control) codes.push_back(entry.request);
  }
  return codes;
}

namespace {

const char* Ending(const LoggedTransfer& entry) {
  if (!entry.answered) return "NO ANSWER";
  return entry.ok ? "ok" : "FAILED";
}

std::string DescribeTransfer(const LoggedTransfer& entry) {
  char line[96];
  switch (entry.kind) {
    case LoggedTransfer::Kind::Control:
      std::snprintf(line, sizeof line, "%s 0x%02X value=0x%04X len=%u %s\n", entry.direction ? "in " : "out",
                    entry.request, entry.value, entry.length, Ending(entry));
      break;
    case LoggedTransfer::Kind::BulkOut:
      std::snprintf(line, sizeof line, "bulk-out len=%u %s\n", entry.length, Ending(entry));
      break;
    case LoggedTransfer::Kind::BulkIn:
      std::snprintf(line, sizeof line, "bulk-in len=%u %s\n", entry.length, Ending(entry));
      break;
  }
  return line;
}

void Leave(RecorderModel& model) {
  model.onBus = false;
  model.returnPending = false;
  model.timedReturnPending = false;
}

// Whether `moment` has come, given what was seen of the bus since the last
// look: `restarted[i]` the restarts recorder i began, `back[i]` whether it
// came back on the bus.
bool Due(BusMoment& moment, const RecorderBus& bus, const std::vector<int>& restartsBefore,
         const std::vector<bool>& back) {
  switch (moment.kind) {
    case BusMoment::Kind::Never:
      return false;
    case BusMoment::Kind::AfterRequests:
      if (moment.fired || bus.controlRequests < moment.count) return false;
      moment.fired = true;
      return true;
    case BusMoment::Kind::AfterProbes:
      if (moment.fired || bus.probes < moment.count) return false;
      moment.fired = true;
      return true;
    case BusMoment::Kind::AtRestart: {
      if (moment.dueAtProbe >= 0 && bus.probes >= moment.dueAtProbe) {
        moment.dueAtProbe = -1;
        return true;
      }
      if (moment.of >= bus.recorders.size() || moment.fired) return false;
      const int now = bus.recorders[moment.of].model->restarts;
      const int before = restartsBefore[moment.of];
      if (now == before) return false;
      if (moment.count != 0 && (before >= moment.count || now < moment.count)) return false;
      moment.fired = moment.count != 0;
      if (moment.afterProbes == 0) return true;
      moment.dueAtProbe = bus.probes + moment.afterProbes;
      return false;
    }
    case BusMoment::Kind::WhenBack:
      return moment.of < back.size() && back[moment.of];
  }
  return false;
}

}  // namespace

std::string DescribeLog(const RecorderModel& model) {
  std::string text;
  for (const LoggedTransfer& entry : model.log) text += DescribeTransfer(entry);
  return text;
}

std::vector<std::uint8_t> ReadStringDescriptor(RecorderModel& model, std::uint8_t index, std::uint16_t languageId) {
  ++model.stringDescriptorReads;
  if (index == 0) return {4, 3, static_cast<std::uint8_t>(kModelLanguageId & 0xFF), kModelLanguageId >> 8};
  if (index != kModelProductStringIndex || languageId != kModelLanguageId || model.productString.empty()) return {};
  const std::size_t characters = std::min<std::size_t>(model.productString.size(), 126);
  std::vector<std::uint8_t> descriptor{static_cast<std::uint8_t>(2 + 2 * characters), 3};
  for (std::size_t i = 0; i < characters; ++i) {
    descriptor.push_back(static_cast<std::uint8_t>(model.productString[i]));
    descriptor.push_back(0);
  }
  return descriptor;
}

std::size_t AddRecorder(RecorderBus& bus, RecorderModel& model, std::string place) {
  BusRecorder recorder;
  recorder.model = &model;
  recorder.place = std::move(place);
  recorder.restartsSeen = model.restarts;
  recorder.onBusSeen = model.onBus;
  bus.recorders.push_back(std::move(recorder));
  return bus.recorders.size() - 1;
}

std::size_t RecorderAt(const RecorderBus& bus, const std::string& place) {
  for (std::size_t i = 0; i < bus.recorders.size(); ++i) {
    if (bus.recorders[i].place == place) return i;
  }
  return bus.recorders.size();
}

Outcome HandleControlAt(RecorderBus& bus, std::size_t which, std::uint8_t direction, std::uint8_t request,
                     std::uint16_t value, std::uint16_t index, std::span<std::uint8_t> data, std::uint32_t& moved) {
  RecorderModel& model = *bus.recorders.at(which).model;
  const Outcome outcome = HandleControl(model, direction, request, value, index, data, moved);
  ++bus.controlRequests;
  bus.log.push_back({which, BusLogEntry::What::Transfer, model.log.size() - 1});
  ApplyBusMoments(bus);
  return outcome;
}

Outcome HandleBulkOutAt(RecorderBus& bus, std::size_t which, std::span<const std::uint8_t> data, std::uint32_t& moved) {
  RecorderModel& model = *bus.recorders.at(which).model;
  const Outcome outcome = HandleBulkOut(model, data, moved);
  bus.log.push_back({which, BusLogEntry::What::Transfer, model.log.size() - 1});
  ApplyBusMoments(bus);
  return outcome;
}

Outcome HandleBulkInAt(RecorderBus& bus, std::size_t which, std::span<std::uint8_t> data, std::uint32_t& moved) {
  RecorderModel& model = *bus.recorders.at(which).model;
  const Outcome outcome = HandleBulkIn(model, data, moved);
  bus.log.push_back({which, BusLogEntry::What::Transfer, model.log.size() - 1});
  ApplyBusMoments(bus);
  return outcome;
}

void NoteBusProbe(RecorderBus& bus) {
  ++bus.probes;
  for (BusRecorder& recorder : bus.recorders) NoteProbe(*recorder.model);
  ApplyBusMoments(bus);
}

void PlugInAt(RecorderBus& bus, std::size_t which) {
  BusRecorder& recorder = bus.recorders.at(which);
  ComeBack(*recorder.model);
  recorder.onBusSeen = true;  // an arrival of its own, not a return from a restart
  bus.log.push_back({which, BusLogEntry::What::PluggedIn, 0});
}

void UnplugAt(RecorderBus& bus, std::size_t which) {
  BusRecorder& recorder = bus.recorders.at(which);
  Leave(*recorder.model);
  recorder.onBusSeen = false;
  bus.log.push_back({which, BusLogEntry::What::Unplugged, 0});
}

void ApplyBusMoments(RecorderBus& bus) {
  const std::size_t count = bus.recorders.size();
  if (count == 0) return;
  std::vector<int> restartsBefore(count);
  std::vector<bool> back(count);
  for (std::size_t i = 0; i < count; ++i) {
    BusRecorder& recorder = bus.recorders[i];
    restartsBefore[i] = recorder.restartsSeen;
    back[i] = !recorder.onBusSeen && recorder.model->onBus;
    recorder.restartsSeen = recorder.model->restarts;
    recorder.onBusSeen = recorder.model->onBus;
  }
  for (std::size_t i = 0; i < count; ++i) {
    BusRecorder& recorder = bus.recorders[i];
    // Every moment is looked at, so that each fires in its turn, whatever
    // the recorder's presence (a plug-in while present changes nothing).
    bool plugIn = false;
    bool unplug = false;
    for (BusMoment& moment : recorder.plugIns) plugIn = Due(moment, bus, restartsBefore, back) || plugIn;
    for (BusMoment& moment : recorder.unplugs) unplug = Due(moment, bus, restartsBefore, back) || unplug;
    if (plugIn && !recorder.model->onBus) {
      PlugInAt(bus, i);
    } else if (unplug && recorder.model->onBus) {
      UnplugAt(bus, i);
    }
  }
}

std::string DescribeBusLog(const RecorderBus& bus) {
  std::string text;
  for (const BusLogEntry& entry : bus.log) {
    const BusRecorder& recorder = bus.recorders.at(entry.recorder);
    switch (entry.what) {
      case BusLogEntry::What::Transfer:
        text += recorder.place + " " + DescribeTransfer(recorder.model->log.at(entry.transfer));
        break;
      case BusLogEntry::What::PluggedIn:
        text += recorder.place + " plugged in\n";
        break;
      case BusLogEntry::What::Unplugged:
        text += recorder.place + " unplugged\n";
        break;
    }
  }
  return text;
}

}  // namespace k24::emulator
