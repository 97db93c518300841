#include "dialogue/dialogue.h"

#include <memory>

namespace k24 {

int RunDialogue(DialoguePorts& ports, std::span<const std::string> args) {
  auto state = std::make_unique<DialogueState>();
  if (const std::optional<int> end = StartDialogue(ports, *state, args)) {
    return *end;
  }
  if (const std::optional<int> end = ReportAndConfirm(ports, *state)) {
    return *end;
  }
  return ExecuteUpdate(ports, *state);
}

}  // namespace k24
