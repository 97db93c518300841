// What the command line asks of k24update. Usage, version and update history
// are answered at once, with no lock taken and no recorder looked for; the
// listing takes the lock and looks at the bus; everything else starts the
// update dialogue: a lone "diag" in diagnostic mode, "--path PLACE [diag]"
// with the recorder at that place alone, any other command line as an
// ordinary update. "--trace FILE" goes with an update or a listing,
// wherever it stands (TakeTraceRequest).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace k24 {

enum class CommandLineRequest {
  Update,    // the dialogue
  Help,      // a lone "--help"
  Version,   // a lone "--version"
  History,   // a lone "--history": the update history, printed as it is
  List,      // a lone "--list": the recorders on the bus
  BadPath,   // "--path" without a place, or with more than "diag" after it
};

struct CommandLine {
  CommandLineRequest request = CommandLineRequest::Update;
  bool diagnosticMode = false;       // Update: a lone "diag", or "diag" after --path PLACE
  std::optional<std::string> place;  // Update: --path PLACE
};

// args[0] is the program's name. Only a lone "--help", "--version",
// "--history" or "--list" counts, as only a lone "diag" does: with any other
// argument beside it, it is no request and the dialogue starts as it always
// has. A command line that begins with "--path" is "--path PLACE" or
// "--path PLACE diag", or else BadPath.
CommandLine ReadCommandLine(std::span<const std::string> args);

// Whether `text` is a place as the kernel and dfu-util write it: the bus
// number, a dash, and one to seven port numbers joined by dots ("3-1.4"),
// each from 1 to 255; or as Windows writes it, a location path
// ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)"). Either is read on either
// system: a place the driver never reports finds no recorder.
bool IsPlace(std::string_view text);

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
// For standard error when --path is given no place (exit code 2).
std::string BadPathText();

// Whether the environment says the recorder is the emulator: exactly
// K24_EMULATED_RECORDER=1, as the testbed and scripts/demo set it; any other
// value is as good as none. It alone opens nothing: a build's sample images
// go only into a recorder that shows itself to be the tests' model as well.
bool RecorderSaidToBeEmulated();

}  // namespace k24
