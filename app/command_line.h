// What the command line asks of k24update before any dialogue: its usage, its
// version or its update history, printed at once, with no lock taken and no
// recorder looked for.
// Every other command line starts the update dialogue, which reads it itself
// (a lone "diag" is diagnostic mode; anything else is an ordinary run).
#pragma once

#include <span>
#include <string>
#include <vector>

namespace k24 {

enum class CommandLineRequest {
  Update,   // the dialogue
  Help,     // a lone "--help"
  Version,  // a lone "--version"
  History,  // a lone "--history": the update history, printed as it is
};

// args[0] is the program's name. Only a lone "--help", "--version" or
// "--history" counts,
// as only a lone "diag" does: with any other argument beside it, it is no
// request and the dialogue starts as it always has.
CommandLineRequest ReadCommandLineRequest(std::span<const std::string> args);

// "--trace FILE": the update's transfers go into FILE, a capture Wireshark
// opens (trace/tracing_driver.h). It goes with an update, beside "diag".
struct TraceRequest {
  bool given = false;
  std::string path;  // empty when "--trace" came last, without a file name
};

// Takes the first "--trace FILE" out of `args` (wherever it stands), so the
// rest keeps the meaning it has without it.
TraceRequest TakeTraceRequest(std::vector<std::string>& args);

// The texts for standard output.
std::string UsageText();
// The program's version; `carriesSampleImages` adds a line saying that the
// firmware it carries is the build's sample, not recorder firmware.
std::string VersionText(bool carriesSampleImages);

// Whether the environment says the recorder is the emulator
// (K24_EMULATED_RECORDER=1, set by the testbed and scripts/demo): the build's
// sample images may go into no other recorder.
bool RecorderSaidToBeEmulated();

}  // namespace k24
