#include "app/command_line.h"

#include <cstdlib>
#include <string_view>

#ifndef K24_VERSION
#error "K24_VERSION (the project's version) is given by the build"
#endif

namespace k24 {

CommandLineRequest ReadCommandLineRequest(std::span<const std::string> args) {
  if (args.size() != 2) {
    return CommandLineRequest::Update;
  }
  if (args[1] == "--help") {
    return CommandLineRequest::Help;
  }
  if (args[1] == "--version") {
    return CommandLineRequest::Version;
  }
  if (args[1] == "--history") {
    return CommandLineRequest::History;
  }
  return CommandLineRequest::Update;
}

TraceRequest TakeTraceRequest(std::vector<std::string>& args) {
  TraceRequest trace;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] != "--trace") {
      continue;
    }
    trace.given = true;
    const std::size_t end = i + 1 < args.size() ? i + 2 : i + 1;
    if (i + 1 < args.size()) {
      trace.path = args[i + 1];
    }
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(end));
    break;
  }
  return trace;
}

std::string UsageText() {
  return "Usage: k24update [--trace FILE] [diag]\n"
         "       k24update --help | --version | --history\n"
         "\n"
         "Replaces the firmware of an Orvo Lumo K24 USB voice recorder with the version\n"
         "this program carries, upgrading the recorder's boot loader first when that\n"
         "firmware needs it. Connect the recorder, start k24update and answer its\n"
         "prompts: 'Y' to load the firmware offered, then 'L' to confirm (loading\n"
         "erases all data on the recorder); any other key leaves without a change.\n"
         "\n"
         "  diag       diagnostic mode: waive the firmware compatibility check\n"
         "  --trace FILE\n"
         "             write every control and bulk transfer of the run to FILE as it\n"
         "             happens: a capture Wireshark opens (pcap, Linux usbmon records);\n"
         "             k24trace(1), on Linux, shows and compares such captures\n"
         "  --help     show this text and exit\n"
         "  --version  show the version and exit\n"
         "  --history  show the update history, one record for every run that reached\n"
         "             a recorder: $XDG_STATE_HOME/k24update/history.log (by default\n"
         "             ~/.local/state/k24update/history.log), on Windows\n"
         "             %LOCALAPPDATA%\\k24update\\history.log\n"
         "\n"
         "Any other command line starts an ordinary update.\n"
         "Exit status: 1 when another recorder application is running or the\n"
         "instance lock cannot be taken, 2 when --history finds no history or cannot\n"
         "read or show it, 3 when there is no terminal to read key presses from\n"
         "(an update needs one for its prompts), 0 otherwise.\n"
         "See k24update(1) and k24trace(1).\n";
}

std::string VersionText(bool carriesSampleImages) {
  std::string text = "k24update " K24_VERSION "\n";
  if (carriesSampleImages) {
    text += "This build carries sample images, not real recorder firmware: it changes nothing on a recorder.\n";
  }
  return text;
}

bool RecorderSaidToBeEmulated() {
  const char* value = std::getenv("K24_EMULATED_RECORDER");
  return value != nullptr && std::string_view(value) == "1";
}

}  // namespace k24
