// A model of the recorder as far as the updater relies on it: its program
// flash, NAND block 0, serial number, version answers, product string,
// restarts, and the effects of the programming procedures. Front doors (the
// in-process driver, the usbfs testbed, the EZ-USB model kernel) hand it
// control requests and bulk transfers; it answers them, logs every one, and
// can be told to misbehave.
//
// Several recorders can share one bus (RecorderBus, below): each its own
// model at its own place, plugged in and unplugged at chosen moments, with
// one log of which recorder got each request. A fault is its model's own: a
// recorder that stops answering, cuts a reply short or never comes back does
// so alone, and the others on the bus answer as they would.
//
// Not thread-safe: a front door that calls it from several threads locks.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "common/version_word.h"
#include "link/clock.h"

namespace k24::emulator {

// The recorder's request codes, written out here on their own so that a wrong
// code on the host side shows up as a request the recorder does not know.
// Tests name them in their expectations (testing/request_names.h).
namespace requests {
inline constexpr std::uint8_t ReadFlash = 0x20;
inline constexpr std::uint8_t WriteFlash = 0x21;
inline constexpr std::uint8_t ErasePage = 0x22;
inline constexpr std::uint8_t Restart = 0x23;
inline constexpr std::uint8_t GetBootLoaderVersion = 0x24;
inline constexpr std::uint8_t FinishFirmware = 0x26;
inline constexpr std::uint8_t PostUpdateQuery = 0xB1;
inline constexpr std::uint8_t GetSerialNumber = 0xC1;
inline constexpr std::uint8_t SetSerialNumber = 0xC2;
inline constexpr std::uint8_t CommitBootArea = 0xC5;
inline constexpr std::uint8_t GetFirmwareVersion = 0xC6;
inline constexpr std::uint8_t NandEraseBlock = 0xD1;
inline constexpr std::uint8_t NandStatus = 0xD2;
inline constexpr std::uint8_t NandReadPages = 0xE0;
inline constexpr std::uint8_t NandWritePages = 0xE1;
}  // namespace requests

inline constexpr std::size_t kModelFlashSize = 0x10000;
inline constexpr std::size_t kModelNandPageSize = 2112;
inline constexpr std::size_t kModelNandPagesPerBlock = 64;
inline constexpr std::size_t kModelNandBlockSize = kModelNandPageSize * kModelNandPagesPerBlock;

// The product string descriptor the model answers with: only the model says
// this, so a build that carries sample images can tell it from a recorder.
// Written out here on its own, as the request codes are.
inline constexpr const char* kModelProductString = "k24update recorder model (not a recorder)";
// What a recorder that is not the model answers instead (for the tests).
inline constexpr const char* kOtherProductString = "USB Voice Recorder";
// The string descriptor indexes the model's device descriptor names.
inline constexpr std::uint8_t kModelProductStringIndex = 2;
inline constexpr std::uint16_t kModelLanguageId = 0x0409;  // English (United States)

enum class RecorderMode {
  Firmware,     // firmware running: answers the version and serial requests
  BootLoader,   // only the boot loader runs (no usable firmware)
  Programming,  // boot loader in programming state: takes the flash requests
};

enum class BulkFault { None, Short, Zero, OverLong, Fail };

// How the recorder met a control request or a bulk transfer.
enum class Outcome {
  Ok,        // carried out and acknowledged (a reply perhaps cut short)
  Failed,    // refused, stalled, or gone: the host's driver reports a failure
  NoAnswer,  // no answer at all: the host's driver gives up when its time is up
};

// How a control request the recorder is told to misbehave on goes wrong.
enum class ControlFault {
  Stall,               // refused: nothing carried out, the request fails
  StallAfterExecuting, // carried out, then the status stage fails (as when the
                       // recorder drops off the bus before acknowledging)
  ShortReply,          // carried out, but the reply is cut to `replyLength` bytes
};

// A fault on the `occurrence`-th control request with code `request`
// (1-based; 0 = every one with that code).
struct RequestFault {
  std::uint8_t request = 0;
  int occurrence = 0;
  ControlFault kind = ControlFault::Stall;
  std::uint32_t replyLength = 0;  // ShortReply only
};

// One fault at one transfer, counted over every control request and bulk
// transfer together (`RecorderModel::transfers`, 1-based), so that a sweep can
// put each kind of fault on each transfer of an update in turn.
enum class TransferFaultKind {
  None,
  Stall,                // control: refused, nothing carried out; bulk: fails, nothing moved
  StallAfterExecuting,  // control: carried out, then the status stage fails
  ShortReply,           // control in: the reply one byte shorter than asked; bulk: half the bytes moved
  ZeroBytes,            // bulk: succeeds having moved nothing
  OverLong,             // bulk: reports one byte more than asked
  VanishBefore,         // off the bus once transfer k-1 is done (k >= 2), never back
  VanishAt,             // off the bus as transfer k arrives (not carried out, fails);
                        // back `returnAfterMs` of virtual time later, or never when negative
  NoAnswer,             // stops answering at transfer k: it and every transfer after it
                        // get no answer at all, though the recorder stays on the bus
};

struct TransferFault {
  int transfer = 0;  // 1-based; 0 = none
  TransferFaultKind kind = TransferFaultKind::None;
  long returnAfterMs = -1;  // VanishAt only (needs RecorderModel::clock): virtual ms until back
};

struct LoggedTransfer {
  enum class Kind { Control, BulkOut, BulkIn };
  Kind kind = Kind::Control;
  std::uint8_t direction = 0;  // 0 = host to recorder, 1 = recorder to host
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint32_t length = 0;
  std::vector<std::uint8_t> data;  // bytes sent by the host, or returned to it
  bool ok = false;
  bool answered = true;  // false: the recorder gave no answer at all
};

struct RecorderModel;

// A recorder that answers in the model's place: the front doors hand the
// model every transfer as ever, the model counts and logs it, and this gives
// the answer (a capture played back, testing/replay_recorder.h). It may take
// the model off the bus and bring it back as the model's own restarts do.
class StandInRecorder {
 public:
  virtual ~StandInRecorder() = default;
  virtual Outcome Control(RecorderModel& model, std::uint8_t direction, std::uint8_t request, std::uint16_t value,
                          std::uint16_t index, std::span<std::uint8_t> data, std::uint32_t& moved) = 0;
  virtual Outcome BulkOut(RecorderModel& model, std::span<const std::uint8_t> data, std::uint32_t& moved) = 0;
  virtual Outcome BulkIn(RecorderModel& model, std::span<std::uint8_t> data, std::uint32_t& moved) = 0;
};

struct RecorderModel {
  // Memories. Erased flash and NAND read 0xFF; programming only clears bits.
  std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(kModelFlashSize, 0xFF);
  std::vector<std::uint8_t> nand = std::vector<std::uint8_t>(kModelNandBlockSize, 0xFF);

  RecorderMode mode = RecorderMode::Firmware;
  VersionWord firmwareVersion = 0x0102;
  VersionWord bootLoaderVersion = 0x0100;
  bool firmwareAnswersVersion = true;    // 0xC6 answered while firmware runs
  bool bootLoaderAnswersVersion = true;  // 0x24 answered
  std::string productString = kModelProductString;  // empty: the device has none

  // Bus presence. While absent with a return pending, every presence probe
  // counts down `probesUntilReturn`; at zero the recorder is back.
  bool onBus = true;
  bool returnPending = false;
  int probesUntilReturn = 0;
  int restartAbsentProbes = 3;  // probes a restart keeps the recorder away

  // Faults.
  std::vector<RequestFault> requestFaults;
  int failRequestNumber = 0;                // the n-th control request (1-based) fails
  std::set<std::uint8_t> failRequestCodes;  // every request with these codes fails
  int vanishAtRequest = 0;                  // gone for good from the n-th control request
  bool neverReturnAfterRestart = false;
  int neverReturnFromRestart = 0;           // the n-th restart (1-based) never comes back
  BulkFault bulkFault = BulkFault::None;
  int bulkFaultTransfer = 0;           // the n-th bulk transfer (1-based); 0 = every one
  std::uint8_t commitBootAreaReply = 1;  // CommitBootArea's answer
  std::uint8_t nandStatusReply = 0;      // NandStatus's answer (0 = success)
  bool corruptNandReadBack = false;    // NAND reads return one flipped bit
  long corruptNandOffset = -1;         // a NAND read of this block offset returns it with one bit flipped
  int leaveAfterTransfer = 0;          // gone for good once the n-th transfer (control or bulk) is done
  // Answers this many control requests and then nothing more, control or
  // bulk, for good (0: never stops). It stays on the bus: a recorder wedged
  // in its firmware, whose USB device still enumerates.
  int stopAnsweringAfterRequest = 0;
  std::vector<TransferFault> transferFaults;  // faults by transfer index (the first that matches applies)
  Clock* clock = nullptr;              // the host's clock, for returns timed in virtual milliseconds
  StandInRecorder* standIn = nullptr;  // answers every transfer in the model's place when set

  // What happened.
  std::vector<LoggedTransfer> log;
  int controlRequests = 0;
  std::map<std::uint8_t, int> requestsByCode;  // control requests seen, per code
  int bulkTransfers = 0;
  int transfers = 0;  // control requests and bulk transfers together
  int restarts = 0;
  int stringDescriptorReads = 0;  // standard requests, kept out of `log`
  bool silent = false;  // stopped answering (stopAnsweringAfterRequest, TransferFaultKind::NoAnswer)

  // Internal state of the protocol.
  bool programmingRequested = false;  // page 0x0200 erased outside programming state
  bool firmwareFinished = false;      // FinishFirmware since the last restart
  bool commitRestart = false;         // the pending return follows a NAND commit
  std::uint32_t pendingNandPage = 0;
  std::uint32_t pendingNandOffset = 0;  // within pendingNandPage
  std::uint32_t pendingNandBytes = 0;
  bool pendingNandWrite = false;
  bool pendingNandRead = false;
  bool timedReturnPending = false;  // a VanishAt return, due at timedReturnAtMs
  std::uint64_t timedReturnAtMs = 0;
};

// Front-door entry points. `moved` is the count of data-stage bytes the
// recorder sent or took (less than asked for a cut reply). A front door
// plays NoAnswer as its driver meets it: the in-process bus reports the
// driver's time-out, the usbfs testbed never completes the transfer, so that
// libusb's own time limit ends it.
Outcome HandleControl(RecorderModel& model, std::uint8_t direction, std::uint8_t request, std::uint16_t value,
                      std::uint16_t index, std::span<std::uint8_t> data, std::uint32_t& moved);
Outcome HandleBulkOut(RecorderModel& model, std::span<const std::uint8_t> data, std::uint32_t& moved);
Outcome HandleBulkIn(RecorderModel& model, std::span<std::uint8_t> data, std::uint32_t& moved);

// One presence probe from the host's side; brings a pending return closer.
void NoteProbe(RecorderModel& model);
// Ends an absence at once (for front doors that time restarts themselves).
void ComeBack(RecorderModel& model);
// Leaves the bus after `probes` presence probes, then comes back (plug-in).
void PlugInAfterProbes(RecorderModel& model, int probes);

// The string descriptor at `index` as the device sends it (bLength,
// bDescriptorType 3, then UTF-16LE; index 0 lists the language IDs); empty
// when the device has none there, which a device answers with a stall.
// Standard requests are not the recorder's protocol: they are counted in
// stringDescriptorReads and not logged.
std::vector<std::uint8_t> ReadStringDescriptor(RecorderModel& model, std::uint8_t index, std::uint16_t languageId);

// Scenario helpers.
void SetSerialNumber(RecorderModel& model, const std::string& text);
std::string SerialNumberOf(const RecorderModel& model);          // text up to its NUL
std::vector<std::uint8_t> SerialBytesOf(const RecorderModel& model);  // the 21 bytes
void SetIdentity(RecorderModel& model, std::span<const std::uint8_t> fiveBytes);
// Fills flash 0x0000-0x29FF as an installed firmware of `version` and `identity`.
void InstallFirmware(RecorderModel& model, VersionWord version, const std::string& identity);

// Where the serial number lives in the recorder's flash, and how long it is.
inline constexpr std::size_t kModelSerialAddress = 0xDE00;
inline constexpr std::size_t kModelSerialSize = 21;

// Log helpers for tests.
std::vector<std::uint8_t> RequestCodes(const RecorderModel& model);
std::string DescribeLog(const RecorderModel& model);

// ---- Several recorders on one bus ----

// A moment of a run at which a recorder on a bus of several is plugged in
// (when it is absent) or unplugged (when it is present).
struct BusMoment {
  enum class Kind : std::uint8_t {
    Never,
    AfterRequests,  // once `count` control requests reached the bus's recorders, all together
    AfterProbes,    // once the host has looked at the bus `count` times (presence probes)
    AtRestart,      // as recorder `of` leaves the bus for its `count`-th restart (0: for each one)
    WhenBack,       // as recorder `of` comes back on the bus, each time
  };
  Kind kind = Kind::Never;
  int count = 0;
  std::size_t of = 0;  // a recorder's index on the bus
  // AtRestart: so many presence probes after the restart (0: with it). For
  // the in-process bus, whose probes the model sees.
  int afterProbes = 0;
  bool fired = false;  // AfterRequests, AfterProbes and a numbered AtRestart happen once
  int dueAtProbe = -1;  // AtRestart with afterProbes: the probe it is due at
};

struct BusRecorder {
  RecorderModel* model = nullptr;
  std::string place;  // where it is plugged in, written as the kernel writes it ("1-4.2")
  std::vector<BusMoment> plugIns;
  std::vector<BusMoment> unplugs;
  // What ApplyBusMoments last saw of it.
  int restartsSeen = 0;
  bool onBusSeen = true;
};

// One line of the bus's log: a transfer one recorder got (its index in that
// recorder's own log), or a recorder plugged in or unplugged.
struct BusLogEntry {
  enum class What : std::uint8_t { Transfer, PluggedIn, Unplugged };
  std::size_t recorder = 0;
  What what = What::Transfer;
  std::size_t transfer = 0;
};

struct RecorderBus {
  std::vector<BusRecorder> recorders;  // the models are the caller's
  int controlRequests = 0;             // over all recorders
  int probes = 0;                      // NoteBusProbe calls
  std::vector<BusLogEntry> log;
};

// Puts `model` on the bus at `place`, present when its model is on the bus;
// returns its index.
std::size_t AddRecorder(RecorderBus& bus, RecorderModel& model, std::string place);
// The index of the recorder at `place`, or bus.recorders.size().
std::size_t RecorderAt(const RecorderBus& bus, const std::string& place);

// The front doors' entry points for the recorder at `which`: as HandleControl
// and the bulk handlers, logged on the bus, followed by the bus's moments.
Outcome HandleControlAt(RecorderBus& bus, std::size_t which, std::uint8_t direction, std::uint8_t request,
                        std::uint16_t value, std::uint16_t index, std::span<std::uint8_t> data,
                        std::uint32_t& moved);
Outcome HandleBulkOutAt(RecorderBus& bus, std::size_t which, std::span<const std::uint8_t> data,
                        std::uint32_t& moved);
Outcome HandleBulkInAt(RecorderBus& bus, std::size_t which, std::span<std::uint8_t> data, std::uint32_t& moved);
// One presence probe of the whole bus (NoteProbe on each recorder), then the moments.
void NoteBusProbe(RecorderBus& bus);
// Plugs the recorder in, or unplugs it, now (an operator's hand, or a moment).
void PlugInAt(RecorderBus& bus, std::size_t which);
void UnplugAt(RecorderBus& bus, std::size_t which);
// Plugs in and unplugs what the moments say, given what happened since the
// last call (restarts, returns, requests). Front doors that change a
// recorder's presence themselves (a return served by the door) call it after.
void ApplyBusMoments(RecorderBus& bus);
// The bus's log, one line per entry, each beginning with the recorder's
// place: "1-2 in  0xC6 value=0x0000 len=2 ok", "1-2 plugged in".
std::string DescribeBusLog(const RecorderBus& bus);

}  // namespace k24::emulator
