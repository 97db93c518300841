#include "dialogue/dialogue.h"

#include <memory>

namespace k24 {

namespace {

int RunStages(DialoguePorts& ports, DialogueState& state, std::span<const std::string> args) {
  if (const std::optional<int> end = StartDialogue(ports, state, args)) {
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

int RunDialogue(DialoguePorts& ports, std::span<const std::string> args) {
  auto state = std::make_unique<DialogueState>();
  ports.link->lastProbeRefused = false;  // a refusal met by an earlier run on this link is not this run's
  const int exitCode = RunStages(ports, *state, args);
  // A recorder still refused at the end (Esc while waiting for it, or one
  // that came back from a restart without access) is told of now, at once.
  if (ports.link->lastProbeRefused) {
    TellOfRefusedRecorder(ports, *state);
  }
  return exitCode;
}

void TellOfRefusedRecorder(DialoguePorts& ports, DialogueState& state) {
  if (!state.recorderRefusedTold) {
    ports.console->WriteError(kRecorderRefusedHint);
    state.recorderRefusedTold = true;
  }
}

}  // namespace k24
