// The update dialogue: one linear console dialogue from start to exit, the
// only code that prints or reads keys. Its stages: start and connection,
// report and confirmation, update execution. Beside it, the listing of the
// recorders on the bus (k24update --list).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/version_word.h"
#include "console/console.h"
#include "dialogue/instance_lock.h"
#include "history/history_store.h"
#include "history/update_history.h"
#include "images/image_digests.h"
#include "images/image_source.h"
#include "images/image_store.h"
#include "link/clock.h"
#include "link/device_link.h"
#include "recorder/recorder_queries.h"
#include "recorder/serial_number.h"

namespace k24 {

inline constexpr int kExitOk = 0;
inline constexpr int kExitLockHeld = 1;
// The lock could not be taken at all (one line on standard error says why):
// the same code as a lock held elsewhere, since no update ran.
inline constexpr int kExitLockUnavailable = 1;

// No terminal (on Windows, no console) to read key presses from: started by
// cron, a service, or ssh without a terminal. No prompt could be answered, and
// the connection wait would hold the lock for ever.
inline constexpr int kExitNoTerminal = 3;
inline constexpr const char* kNoTerminalLine =
    "k24update: no terminal or console to read key presses from; the update needs one to answer its prompts\n";

// --list found no recorder; --path named no place, or the driver tells none.
inline constexpr int kExitNoneListed = 2;
inline constexpr int kExitPlaceUnusable = 2;

// Said once while more than one recorder is connected and none was chosen
// with --path: nothing is sent to any of them until one is left. The count
// and the places ("1-1 and 1-2"), and what to do; the second text where the
// driver tells no places, which --path needs.
inline constexpr const char* kSeveralRecordersText =
    "%d recorders are connected, at %s.\n"
    "Disconnect all but the one to update, or press Esc and start k24update again with --path\n"
    "and the place of the one to update (k24update --list shows each one's versions and serial number).\n";
inline constexpr const char* kSeveralRecordersNoPlacesText =
    "%d recorders are connected.\n"
    "Disconnect all but the one to update, or press Esc to exit.\n";

inline constexpr const char* kSampleImagesRefusal =
    "This k24update carries sample images, not real recorder firmware: nothing was changed on the recorder.\n";
// The product string of the tests' recorder model: the only recorder a build
// that carries sample images writes them into.
inline constexpr const char* kRecorderModelProduct = "k24update recorder model (not a recorder)";

// Said once in a run, on standard error beside the dialogue, when a recorder
// is on the bus that this user may not open: the dialogue shows it as not
// connected, which alone would send the operator looking at the cable.
inline constexpr const char* kRecorderRefusedHint =
    "k24update: a recorder (USB 10c4:4512) is plugged in, but this user may not open it.\n"
    "k24update: install the udev rule /usr/lib/udev/rules.d/70-k24update.rules (from the package,\n"
    "or packaging/70-k24update.rules from the source tree) and plug the recorder in again,\n"
    "or run k24update as root.\n";
// The same on Windows, where a recorder is refused when no driver that
// k24update can use is bound to it (Windows lists it, but neither WinUSB nor
// the EZ-USB driver has it).
inline constexpr const char* kRecorderWithoutDriverHint =
    "k24update: a recorder (USB 10c4:4512) is plugged in, but no driver that k24update can use has it.\n"
    "k24update: on Windows 10 and 11 bind WinUSB to it with Zadig, as README.txt beside k24update.exe\n"
    "says under \"1. The driver\" (once per PC); on older Windows install the EZ-USB driver.\n";
// How long the wait for the recorder lets a refused recorder stay refused
// before it tells of it: udev gives the access a moment after the recorder
// arrives, and a recorder that gets it in time needs no word.
inline constexpr std::uint64_t kRecorderRefusedHintDelayMs = 1000;

// What the command line chose for the dialogue.
struct DialogueOptions {
  bool diagnosticMode = false;        // "diag": the compatibility check is waived
  std::optional<std::string> place;   // --path: the recorder at this place only
};

// What lives for the whole run. The two images are 63 KiB each: keep the
// state on the heap.
struct DialogueState {
  bool diagnosticMode = false;
  VersionWord currentFirmwareVersion = 0;
  VersionWord currentBootLoaderVersion = 0;
  VersionWord offeredFirmwareVersion = 0;
  VersionWord carriedBootLoaderVersion = 0;
  SerialNumber serialNumber;
  FlashImage firmwareImage{};
  FlashImage replacerImage{};
  bool recorderRefusedTold = false;  // the refused recorder's hint was written
  // This run's entry in the update history, from the moment the recorder's
  // versions were read; written once, when the run's outcome is settled.
  UpdateRecord record;
  bool recordOpen = false;
  bool recordWritten = false;
  bool historyTroubleTold = false;  // the line for a history that could not be written was written
};

// The platform beneath the dialogue.
struct DialoguePorts {
  Console* console = nullptr;
  InstanceLock* lock = nullptr;
  DeviceLink* link = nullptr;  // its driver and clock set; the target is set here
  // The images carried are the build's samples (patterns, not recorder
  // firmware): they go into no recorder but the tests' model, which shows
  // itself by its product string, and only when the environment says too
  // that the recorder is the emulator. Into any other, the dialogue runs up
  // to the confirmations and then ends before anything is written.
  bool sampleImagesOnly = false;
  bool recorderSaidToBeEmulated = false;
  ImageSource* images = nullptr;                // the carried images, opened at start
  const ImageDigests* imageDigests = nullptr;  // what each carried image must hash to
  bool imagesAreSamples = false;               // the carried images are the build's samples
  // Where each run that reaches the recorder leaves its record, and the time
  // for it. Without a store no record is kept.
  HistoryStore* history = nullptr;
  WallClock* wallClock = nullptr;
  // What the operator is told of a refused recorder: this platform's hint.
  const char* recorderRefusedHint = kRecorderRefusedHint;
};

// Before anything else of an update, the lock and the bus included: without
// key input, kNoTerminalLine on standard error and kExitNoTerminal; none when
// the dialogue can run.
std::optional<int> RefuseWithoutKeyInput(Console& console);

// The whole dialogue. Returns the exit code.
int RunDialogue(DialoguePorts& ports, const DialogueOptions& options);

// The stages, each returning an exit code when the dialogue ends there.
std::optional<int> StartDialogue(DialoguePorts& ports, DialogueState& state, const DialogueOptions& options);
std::optional<int> ReportAndConfirm(DialoguePorts& ports, DialogueState& state);
int ExecuteUpdate(DialoguePorts& ports, DialogueState& state);

// k24update --list: under the instance lock, every recorder on the bus, one
// line each on standard output: its place, its boot loader and firmware
// versions and serial number (the read-only queries alone), or that this
// user may not open it. kExitOk when it listed one or more, kExitNoneListed
// (and a line on standard error) when there was none, kExitLockHeld (and
// today's lock message) when another application holds the lock.
int ListRecorders(DialoguePorts& ports);

// Writes the refused recorder's hint (ports.recorderRefusedHint), unless this
// run already did.
void TellOfRefusedRecorder(DialoguePorts& ports, DialogueState& state);

// The run's record (run_record.cpp). Opened once the recorder's versions are
// read; each step taken is added; closed, with how the run ended, as soon as
// that is settled (before the last key, and inside the critical section of a
// procedure, so that a signal held there cannot cost the record; such a
// signal is named in it), and then appended to the history. Before each
// procedure's first write the record as it stands is appended too, as
// unfinished: a run ended while it writes (killed, the power lost) leaves that
// one, and the next run says so. A history that cannot be written costs one
// line on standard error, once in a run, and changes nothing else. A run
// ended by a signal outside a critical section (SIGTERM at a prompt, say;
// Ctrl+C there is only a key) before it began writing leaves no record:
// nothing holds the signal while the dialogue waits.
void OpenRunRecord(DialoguePorts& ports, DialogueState& state);
void RecordStep(DialogueState& state, HistoryStep step);
// Called inside a procedure's critical section, before its first write:
// `writing` names it; the versions it may change are "unknown" in the
// unfinished record.
void RecordWritingBegins(DialoguePorts& ports, DialogueState& state, const char* writing, bool bootLoaderMayChange,
                         bool firmwareMayChange);
void CloseRunRecord(DialoguePorts& ports, DialogueState& state, RunEnd end);
// Says on standard error when the history's last run that began writing to
// a recorder never finished. Called under the lock, before this run writes.
void TellOfUnfinishedRun(DialoguePorts& ports);

}  // namespace k24
