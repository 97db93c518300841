// The run's record in the update history: what the dialogue knew of the
// recorder before it began, each step it took, what it left, and how it ended.
#include "dialogue/dialogue.h"

namespace k24 {

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

void CloseRunRecord(DialoguePorts& ports, DialogueState& state, RunEnd end) {
  if (!state.recordOpen || state.recordWritten) {
    return;
  }
  state.recordWritten = true;
  UpdateRecord& record = state.record;
  record.end = end;
  record.endedAt = ports.wallClock != nullptr ? ports.wallClock->UnixSeconds() : 0;
  if (record.serialNumber.empty() && state.serialNumber.answered) {
    record.serialNumber = PrintableSerialNumber(state.serialNumber.text);
  }
  record.serialNumberRead = state.serialNumber.answered;
  if (ports.history == nullptr) {
    return;
  }
  const std::string text = FormatUpdateRecord(record);
  // Held signals wait for the record to be whole, here too where no
  // procedure runs (a nested section where one does).
  ports.console->BeginCriticalSection();
  const HistoryWrite written = ports.history->Append(text);
  ports.console->EndCriticalSection();
  if (!written.ok) {
    std::string line = "k24update: could not write the update history";
    if (!written.location.empty()) {
      line += " " + written.location;
    }
    line += ": " + written.reason + "\n";
    ports.console->WriteError(line);
  }
}

}  // namespace k24
