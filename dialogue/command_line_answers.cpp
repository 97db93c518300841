// The answers to what the command line may ask before any dialogue (usage,
// version, update history), shared by both platforms' entries. Linked into
// k24update alone: the version says whether the images it carries are the
// samples, which only the program itself records.
#include <cstdio>
#include <memory>
#include <string>

#include "dialogue/command_line.h"
#include "dialogue/dialogue.h"
#include "dialogue/update_history.h"
#include "images/image_digests.h"

namespace k24 {

std::optional<int> AnswerCommandLineRequest(std::span<const std::string> args) {
  switch (ReadCommandLineRequest(args)) {
    case CommandLineRequest::Help:
      std::fputs(UsageText().c_str(), stdout);
      return kExitOk;
    case CommandLineRequest::Version:
      std::fputs(VersionText(EmbeddedImagesAreSamples()).c_str(), stdout);
      return kExitOk;
    case CommandLineRequest::History: {
      std::string out;
      std::string error;
      const int code = ShowHistory(*MakeSystemHistoryStore(), out, error);
      std::fwrite(out.data(), 1, out.size(), stdout);
      std::fputs(error.c_str(), stderr);
      return code;
    }
    case CommandLineRequest::Update:
      break;
  }
  return std::nullopt;
}

}  // namespace k24
