#include "dialogue/dialogue.h"

#include <memory>

namespace k24 {

namespace {

int RunStages(DialoguePorts& ports, DialogueState& state, const DialogueOptions& options) {
  if (const std::optional<int> end = StartDialogue(ports, state, options)) {
    return *end;
  }
  if (const std::optional<int> end = ReportAndConfirm(ports, state)) {
    return *end;
  }
  return ExecuteUpdate(ports, state);
}

}  // namespace

std::optional<int> RefuseWithoutKeyInput(Console& console) {
  if (console.HasKeyInput()) {
    return std::nullopt;
  }
  console.WriteError(kNoTerminalLine);
  return kExitNoTerminal;
}

int RunDialogue(DialoguePorts& ports, const DialogueOptions& options) {
  if (options.place && !ports.link->driver->TellsPlaces()) {
    // A place that no recorder could ever be found at would keep the
    // dialogue waiting for nothing.
    ports.console->WriteError(
        "k24update: this system's recorder driver does not tell where a recorder is plugged in, so --path\n"
        "cannot choose one: connect only the recorder to update and start k24update without --path.\n");
    return kExitPlaceUnusable;
  }
  auto state = std::make_unique<DialogueState>();
  ports.link->lastProbeRefused = false;  // a refusal met by an earlier run on this link is not this run's
  ports.link->choice = RecorderChoice{};  // nor is a recorder it chose
  const int exitCode = RunStages(ports, *state, options);
  // A recorder still refused at the end (Esc while waiting for it, or one
  // that came back from a restart without access) is told of now, at once.
  if (ports.link->lastProbeRefused) {
    TellOfRefusedRecorder(ports, *state);
  }
  return exitCode;
}

void TellOfRefusedRecorder(DialoguePorts& ports, DialogueState& state) {
  if (!state.recorderRefusedTold) {
    ports.console->WriteError(ports.recorderRefusedHint);
    state.recorderRefusedTold = true;
  }
}

}  // namespace k24
