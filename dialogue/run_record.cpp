// The run's record in the update history: what the dialogue knew of the
// recorder before it began, each step it took, what it left, and how it ended.
#include <optional>
#include <string>

#include "dialogue/dialogue.h"

namespace k24 {
namespace {

// Appends `text`, with held signals waiting for it to be whole, here too
// where no procedure runs (a nested section where one does). A history that
// cannot be written costs one line on standard error, once in a run.
void Append(DialoguePorts& ports, DialogueState& state, const std::string& text) {
  ports.console->BeginCriticalSection();
  const HistoryWrite written = ports.history->Append(text);
  ports.console->EndCriticalSection();
  if (written.ok || state.historyTroubleTold) {
    return;
  }
  state.historyTroubleTold = true;
  std::string line = "k24update: could not write the update history";
  if (!written.location.empty()) {
    line += " " + written.location;
  }
  line += ": " + written.reason + "\n";
  ports.console->WriteError(line);
}

void Settle(DialoguePorts& ports, DialogueState& state) {
  UpdateRecord& record = state.record;
  record.endedAt = ports.wallClock != nullptr ? ports.wallClock->UnixSeconds() : 0;
  if (record.serialNumber.empty() && state.serialNumber.answered) {
    record.serialNumber = PrintableSerialNumber(state.serialNumber.text);
  }
  record.serialNumberRead = state.serialNumber.answered;
}

}  // namespace

void OpenRunRecord(DialoguePorts& ports, DialogueState& state) {
  UpdateRecord& record = state.record;
  record = UpdateRecord{};
  record.startedAt = ports.wallClock != nullptr ? ports.wallClock->UnixSeconds() : 0;
  record.programVersion = ProgramVersion();
  if (ports.imageDigests != nullptr) {
    record.imageDigests = *ports.imageDigests;
  }
  record.imagesAreSamples = ports.imagesAreSamples;
  record.diagnosticMode = state.diagnosticMode;
  record.bootLoaderBefore = state.currentBootLoaderVersion;
  record.firmwareBefore = state.currentFirmwareVersion;
  // Until something is written, the recorder holds what it held.
  record.bootLoaderAfter = state.currentBootLoaderVersion;
  record.firmwareAfter = state.currentFirmwareVersion;
  state.recordOpen = true;
}

void RecordStep(DialogueState& state, HistoryStep step) { state.record.steps.push_back(std::move(step)); }

void RecordWritingBegins(DialoguePorts& ports, DialogueState& state, const char* writing, bool bootLoaderMayChange,
                         bool firmwareMayChange) {
  if (!state.recordOpen || state.recordWritten || ports.history == nullptr) {
    return;
  }
  Settle(ports, state);
  UpdateRecord begun = state.record;
  begun.end = RunEnd::Unfinished;
  begun.writing = writing;
  // Should the run end before its next record, what it was writing is not known.
  if (bootLoaderMayChange) {
    begun.bootLoaderAfter.reset();
  }
  if (firmwareMayChange) {
    begun.firmwareAfter.reset();
  }
  Append(ports, state, FormatUpdateRecord(begun));
}

void CloseRunRecord(DialoguePorts& ports, DialogueState& state, RunEnd end) {
  if (!state.recordOpen || state.recordWritten) {
    return;
  }
  state.recordWritten = true;
  Settle(ports, state);
  UpdateRecord& record = state.record;
  record.end = end;
  // Inside a procedure's section: a signal held there ends the program as
  // the section ends, right after this record.
  if (const char* signal = ports.console->HeldEndingSignal()) {
    record.endingSignal = signal;
  }
  if (ports.history == nullptr) {
    return;
  }
  Append(ports, state, FormatUpdateRecord(record));
}

void TellOfUnfinishedRun(DialoguePorts& ports) {
  if (ports.history == nullptr) {
    return;
  }
  std::string end;
  const HistoryRead read = ports.history->ReadTail(kHistoryEndLooked, end);
  if (read.status != HistoryRead::Status::Read) {
    return;  // nothing there yet, or a history this run will say it cannot write
  }
  const std::optional<UnfinishedRun> unfinished = FindUnfinishedRun(end);
  if (!unfinished) {
    return;
  }
  ports.console->WriteError("k24update: an earlier run (run: " + unfinished->run + ", serial number " +
                            (unfinished->serialNumber.empty() ? "unknown" : unfinished->serialNumber) +
                            ") ended while it was writing to a recorder; its record is in " + read.location +
                            " (k24update --history), and \"An interrupted update\" in the README says what to do\n");
}

}  // namespace k24
