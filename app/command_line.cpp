#include "app/command_line.h"

#include <cstdlib>
#include <string_view>

#ifndef K24_VERSION
#error "K24_VERSION (the project's version) is given by the build"
#endif

namespace k24 {

namespace {

// A number of a place: 1 to 255, without a leading zero.
bool IsPlaceNumber(std::string_view text) {
  if (text.empty() || text.size() > 3 || text[0] == '0') {
    return false;
  }
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + (c - '0');
  }
  return value <= 255;
}

bool IsLocationPathName(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

bool IsLocationPathArgument(char c) {
  return IsLocationPathName(c) || (c >= 'a' && c <= 'z') || c == ',';
}

// A Windows location path: nodes such as PCIROOT(0), PCI(1400), USBROOT(0)
// and USB(4), each a name and its argument in brackets, joined by '#'.
bool IsLocationPath(std::string_view text) {
  constexpr std::size_t kMaxNodes = 32;
  for (std::size_t count = 1; count <= kMaxNodes; ++count) {
    const std::size_t open = text.find('(');
    const std::size_t close = text.find(')');
    if (open == std::string_view::npos || open == 0 || close == std::string_view::npos || close < open) {
      return false;
    }
    for (const char c : text.substr(0, open)) {
      if (!IsLocationPathName(c)) {
        return false;
      }
    }
    for (const char c : text.substr(open + 1, close - open - 1)) {
      if (!IsLocationPathArgument(c)) {
        return false;
      }
    }
    text = text.substr(close + 1);
    if (text.empty()) {
      return true;
    }
    if (text.front() != '#') {
      return false;
    }
    text = text.substr(1);
  }
  return false;
}

}  // namespace

bool IsPlace(std::string_view text) {
  if (IsLocationPath(text)) {
    return true;
  }
  constexpr std::size_t kMaxPortChain = 7;
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos || !IsPlaceNumber(text.substr(0, dash))) {
    return false;
  }
  std::string_view ports = text.substr(dash + 1);
  for (std::size_t count = 1; count <= kMaxPortChain; ++count) {
    const std::size_t dot = ports.find('.');
    if (!IsPlaceNumber(ports.substr(0, dot))) {
      return false;
    }
    if (dot == std::string_view::npos) {
      return true;
    }
    ports = ports.substr(dot + 1);
  }
  return false;
}

CommandLine ReadCommandLine(std::span<const std::string> args) {
  CommandLine line;
  if (args.size() >= 2 && args[1] == "--path") {
    const bool shaped = args.size() == 3 || (args.size() == 4 && args[3] == "diag");
    if (!shaped || !IsPlace(args[2])) {
      line.request = CommandLineRequest::BadPath;
      return line;
    }
    line.place = args[2];
    line.diagnosticMode = args.size() == 4;
    return line;
  }
  if (args.size() != 2) {
    return line;
  }
  if (args[1] == "--help") {
    line.request = CommandLineRequest::Help;
  } else if (args[1] == "--version") {
    line.request = CommandLineRequest::Version;
  } else if (args[1] == "--history") {
    line.request = CommandLineRequest::History;
  } else if (args[1] == "--list") {
    line.request = CommandLineRequest::List;
  } else if (args[1] == "diag") {
    line.diagnosticMode = true;
  }
  return line;
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
         "       k24update [--trace FILE] --path PLACE [diag]\n"
         "       k24update [--trace FILE] --list\n"
         "       k24update --help | --version | --history\n"
         "\n"
         "Replaces the firmware of an Orvo Lumo K24 USB voice recorder with the version\n"
         "this program carries, upgrading the recorder's boot loader first when that\n"
         "firmware needs it. Connect the recorder, start k24update and answer its\n"
         "prompts: 'Y' to load the firmware offered, then 'L' to confirm (loading\n"
         "erases all data on the recorder); any other key leaves without a change.\n"
         "With more than one recorder connected, nothing is sent to any of them until\n"
         "only one is left, unless --path chooses one.\n"
         "\n"
         "  diag          diagnostic mode: waive the firmware compatibility check\n"
         "  --path PLACE  work with the recorder plugged in at PLACE alone, written as\n"
         "                --list shows it (3-1.4: bus 3, port 4 of the hub on port 1; on\n"
         "                Windows a location path, PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4),\n"
         "                which only a recorder on WinUSB has)\n"
         "  --list        list the recorders on the bus, one line each: place, boot\n"
         "                loader and firmware versions, serial number\n"
         "  --trace FILE  write every control and bulk transfer of the run to FILE as it\n"
         "                happens: a capture Wireshark opens (pcap, Linux usbmon records);\n"
         "                k24trace(1), on Linux, shows and compares such captures\n"
         "  --help        show this text and exit\n"
         "  --version     show the version and exit\n"
         "  --history     show the update history, one record for every run that reached\n"
         "                a recorder: $XDG_STATE_HOME/k24update/history.log (by default\n"
         "                ~/.local/state/k24update/history.log), on Windows\n"
         "                %LOCALAPPDATA%\\k24update\\history.log\n"
         "\n"
         "Any other command line starts an ordinary update.\n"
         "Exit status: 1 when another recorder application is running or the\n"
         "instance lock cannot be taken, 2 when --history finds no history or cannot\n"
         "read or show it, --list finds no recorder, or --path is given no place or\n"
         "cannot be used here, 3 when there is no terminal to read key presses from\n"
         "(an update needs one for its prompts), 0 otherwise.\n"
         "\n"
         "On Windows the recorder needs a driver k24update can use. On Windows 10 and\n"
         "11 bind WinUSB to it with Zadig, once per PC: the steps are in README.txt\n"
         "beside k24update.exe. On older Windows the EZ-USB driver that came with the\n"
         "recorder serves as well.\n"
         "See k24update(1) and k24trace(1).\n";
}

std::string VersionText(bool carriesSampleImages) {
  std::string text = "k24update " K24_VERSION "\n";
  if (carriesSampleImages) {
    text += "This build carries sample images, not real recorder firmware: it changes nothing on a recorder.\n";
  }
  return text;
}

std::string BadPathText() {
  return "k24update: --path takes a place, written as k24update --list shows it (for instance 3-1.4,\n"
         "or on Windows PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)), and may be followed by diag alone\n";
}

bool RecorderSaidToBeEmulated() {
  const char* value = std::getenv("K24_EMULATED_RECORDER");
  return value != nullptr && std::string_view(value) == "1";
}

}  // namespace k24
