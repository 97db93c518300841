// What both platforms' entries share: the answers to what the command line
// may ask before any dialogue (usage, version, update history), and the
// dialogue's run over the platform's ports. Linked into k24update alone: it
// reads what the program recorded of the images it carries (their digests,
// whether they are the samples).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/entry.h"

#include "app/command_line.h"
#include "dialogue/dialogue.h"
#include "history/history_store.h"
#include "history/update_history.h"
#include "images/image_digests.h"
#include "trace/pcap_file.h"
#include "trace/tracing_driver.h"

namespace k24 {

std::optional<int> AnswerCommandLineRequest(std::span<const std::string> args) {
  // A --path without a place is refused before anything else, with or
  // without a --trace beside it.
  std::vector<std::string> untraced(args.begin(), args.end());
  TakeTraceRequest(untraced);
  if (ReadCommandLine(untraced).request == CommandLineRequest::BadPath) {
    std::fputs(BadPathText().c_str(), stderr);
    return kExitPlaceUnusable;
  }
  switch (ReadCommandLine(args).request) {
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
    case CommandLineRequest::BadPath:  // answered above
    case CommandLineRequest::Update:
    case CommandLineRequest::List:
      break;
  }
  return std::nullopt;
}

bool ListsRecorders(std::span<const std::string> args) {
  std::vector<std::string> untraced(args.begin(), args.end());
  TakeTraceRequest(untraced);
  return ReadCommandLine(untraced).request == CommandLineRequest::List;
}

int RunUpdater(std::span<const std::string> args, ImageSource& images, Console& console, InstanceLock& lock,
               UsbDriver& driver, const char* recorderRefusedHint) {
  // --trace: the platform's driver behind one that writes every transfer
  // down; the dialogue sees the command line without it.
  std::vector<std::string> dialogueArgs(args.begin(), args.end());
  const TraceRequest trace = TakeTraceRequest(dialogueArgs);
  std::unique_ptr<CaptureSink> traceFile;
  std::unique_ptr<TracingDriver> tracing;
  if (trace.given && trace.path.empty()) {
    console.WriteError("k24update: --trace needs a file name; the run goes on untraced\n");
  } else if (trace.given) {
    traceFile = MakeCaptureFile(trace.path);
    tracing = std::make_unique<TracingDriver>(driver, *traceFile, [&console, path = trace.path](const std::string& reason) {
      console.WriteError("k24update: could not write the trace " + path + ": " + reason +
                         "; the run goes on untraced\n");
    });
  }

  DeviceLink link;
  link.driver = tracing ? static_cast<UsbDriver*>(tracing.get()) : &driver;
  link.clock = &SystemClock();
  DialoguePorts ports;
  ports.console = &console;
  ports.lock = &lock;
  ports.link = &link;
  ports.images = &images;
  ports.imageDigests = &EmbeddedImageDigests();
  ports.sampleImagesOnly = EmbeddedImagesAreSamples();
  ports.recorderSaidToBeEmulated = RecorderSaidToBeEmulated();
  ports.imagesAreSamples = EmbeddedImagesAreSamples();
  const std::unique_ptr<HistoryStore> history = MakeSystemHistoryStore();
  ports.history = history.get();
  ports.wallClock = &SystemWallClock();
  ports.recorderRefusedHint = recorderRefusedHint;

  const CommandLine line = ReadCommandLine(dialogueArgs);
  const int exitCode = line.request == CommandLineRequest::List
                           ? ListRecorders(ports)
                           : RunDialogue(ports, DialogueOptions{line.diagnosticMode, line.place});
  console.Flush();
  return exitCode;
}

}  // namespace k24
