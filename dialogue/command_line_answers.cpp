// The answers to what the command line may ask before any dialogue (usage,
// version, update history), shared by both platforms' entries. Linked into
// k24update alone: the version says whether the images it carries are the
// samples, which only the program itself records.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

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
      std::string error;
      const int code = ShowHistory(
          *MakeSystemHistoryStore(),
          [](std::string_view piece, std::string& reason) {
            if (std::fwrite(piece.data(), 1, piece.size(), stdout) != piece.size() || std::fflush(stdout) != 0) {
              reason = std::string("standard output: ") + std::strerror(errno);
              return false;
            }
            return true;
          },
          error);
      std::fputs(error.c_str(), stderr);
      return code;
    }
    case CommandLineRequest::Update:
      break;
  }
  return std::nullopt;
}

}  // namespace k24
