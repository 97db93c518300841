// k24-testbed: runs the real k24update, through the real libusb, against the
// recorder model sitting on a mocked USB bus (umockdev), on a terminal of its
// own. Keys come from a script (each typed once its prompt has appeared) or
// from the user's terminal; at the end the recorder's state, the output (and,
// kept apart, what k24update wrote on standard error) and the request log are
// written where a test can read them.
//
// More than one recorder can be on the bus, each its own model at its own
// place, there from the start or plugged in and unplugged at chosen moments
// (a count of requests, another recorder's restart or return, a prompt).
//
//   k24-testbed --k24update PATH [scenario options] [--on TEXT --press KEY]...
//               [--out DIR] [--interactive] [-- ARGS FOR K24UPDATE]
//
// With --replay CAPTURE the recorder answers from a capture instead of the
// model (testing/replay_recorder.h); the first transfer that differs from the
// capture's ends the run (k24update is stopped there) and is reported.
//
// Each run is in a network namespace of its own, where k24update's instance
// lock (an abstract socket name) is the run's alone.
//
// Exit status: 0 when k24update ran to its end (its own exit code is in the
// results), 2 for a usage error, 3 when it did not end in time, 4 when a
// replay stopped at a difference, 77 when the mocked bus or the run's network
// namespace cannot be set up on this machine.
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dialogue/instance_lock.h"
#include "testing/network_namespace.h"
#include "testing/recorder_model.h"
#include "testing/replay_recorder.h"
#include "testing/testbed/terminal_session.h"
#include "testing/testbed/usbfs_door.h"
#include "tools/sample_images.h"
#include "trace/capture_file.h"

namespace k24::emulator {
namespace {

constexpr int kExitUsage = 2;
constexpr int kExitTimeout = 3;
constexpr int kExitReplayDiffered = 4;
constexpr int kExitNoUmockdev = 77;
constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";
constexpr const char* kNotConnectedText = "Device is not connected.\n";
constexpr std::size_t kImageRegionSize = 0x2A00;

// A moment as the command line names it; the place is resolved to a
// recorder once all of them are known.
struct NamedMoment {
  BusMoment moment;
  std::string place;  // AtRestart, WhenBack: whose
};

// One recorder on the bus, at the start.
struct RecorderOptions {
  std::string place = "1-1";
  VersionWord bootLoader = 0x0100;
  bool noBootLoader = false;
  VersionWord firmware = 0x0102;
  std::string identity = "K24A1";
  std::string serial = "ABCDE12345";
  bool plugInLater = false;  // absent at the start, plugged in once the updater says so
  bool unplugged = false;    // never on the bus, unless a moment plugs it in
  bool neverReturn = false;  // gone for good after its first restart
  int neverReturnFrom = 0;   // gone for good after this restart (1-based)
  bool notModel = false;     // answers another product string than the model's
  int stopAnsweringAfter = 0;  // answers this many control requests, then nothing
  std::vector<RequestFault> requestFaults;
  std::vector<NamedMoment> plugIns;
  std::vector<NamedMoment> unplugs;
};

// What the script does once a text has appeared: type a key, or plug a
// recorder in or unplug it (by the operator's hand).
struct ScriptedStep {
  enum class Kind { Type, PlugIn, Unplug };
  std::string prompt;
  Kind kind = Kind::Type;
  std::string bytes;  // Type
  std::string place;  // PlugIn, Unplug
};

struct Options {
  std::string k24update;
  std::vector<std::string> updaterArgs;
  std::string outDir;
  bool interactive = false;
  bool echo = false;
  int timeoutSeconds = 120;

  std::vector<RecorderOptions> recorders = std::vector<RecorderOptions>(1);
  int absenceMs = 100;
  bool restartBeforeReply = false;  // each restart announced whole before its reply
  int otherDevices = 0;     // other devices on the bus besides the recorders
  int measureWaitSeconds = 0;  // measure k24update's cost while it waits for the recorder
  bool holdLock = false;
  bool notEmulated = false;  // do not tell k24update that the recorder is the emulator
  std::string emulatedValue = "1";  // what K24_EMULATED_RECORDER is set to
  std::string replay;       // a capture the first recorder answers from, instead of the model
  uid_t asUser = 0;         // run k24update as this user
  mode_t nodeMode = 0;      // the recorders' device node mode, when set

  // A real signal sent to k24update once the recorder has seen this many
  // control requests (0: none).
  int signalAtRequest = 0;
  int signalToSend = 0;
  long long fileSizeLimit = -1;  // k24update's file size limit (ulimit -f), in bytes; -1: as the testbed's

  std::vector<ScriptedStep> steps;
};

void Usage() {
  std::fputs(
      "usage: k24-testbed --k24update PATH [options] [-- ARGS]\n"
      "recorder at the start (these describe the recorder last named, the first one by default):\n"
      "  --place PLACE         where it is plugged in (default 1-1): bus 1, a dash, the port chain\n"
      "  --recorder PLACE      another recorder on the bus, at PLACE; the options after it describe it\n"
      "                        (it starts as the first did: boot loader 1.0, firmware 1.2, K24A1,\n"
      "                        ABCDE12345); with more than one, requests.log begins each line with\n"
      "                        the recorder's place and says when each was plugged in or unplugged,\n"
      "                        and the state has each one's fields after its place\n"
      "  --boot-loader HEX     boot loader version (default 0x0100); below 0x0100 takes the NAND path\n"
      "  --no-boot-loader      answers no boot loader request and runs no firmware\n"
      "  --firmware HEX        running firmware version, 0 for none (default 0x0102)\n"
      "  --identity TEXT       five-byte model identity in flash (default K24A1)\n"
      "  --serial TEXT         serial number (default ABCDE12345)\n"
      "  --plug-in             absent at the start; plugged in once the updater says it is not connected\n"
      "  --unplugged           never on the bus\n"
      "  --never-return        does not come back after a restart\n"
      "  --never-return-from N comes back from its first N-1 restarts, not from the N-th\n"
      "  --plug-in-when WHEN   absent at the start, plugged in at WHEN: requests:N (once N control\n"
      "                        requests reached the bus), restart:PLACE:N (as the recorder at PLACE\n"
      "                        leaves for its Nth restart; 0: each one), back:PLACE (as it comes back)\n"
      "  --unplug-when WHEN    unplugged at WHEN (the same moments)\n"
      "  --not-model           answers another product string than the model's, as a recorder does\n"
      "  --absence MS          how long a restart keeps it off the bus (default 100, as short as 1)\n"
      "  --other-devices N     put N other USB devices on the bus (at most 50)\n"
      "  --short-reply CODE:N  every request CODE (hex) is answered with only N bytes\n"
      "  --stop-answering-after N  answers N control requests, then nothing more (control or\n"
      "                        bulk): the transfers are never completed, libusb's time limit ends them\n"
      "bus and updater:\n"
      "  --restart-before-reply  a restart's removal and return are both announced before\n"
      "                        the reply to its request reaches k24update: no probe sees it away\n"
      "  --hold-lock           hold the updater's instance lock while it runs (in the run's\n"
      "                        network namespace, where the updater looks for it)\n"
      "  --as-user UID         run k24update as this user (the testbed stays root)\n"
      "  --node-mode OCTAL     mode of the recorder's device node (default: owner only)\n"
      "  --file-size-limit N   start k24update with a file size limit of N bytes (ulimit -f)\n"
      "  --not-emulated        do not tell k24update that this recorder is the emulator\n"
      "                        (a build with sample images then writes nothing)\n"
      "  --emulated-value TEXT set K24_EMULATED_RECORDER to TEXT instead of 1\n"
      "  --signal-at-request N SIG  send signal SIG (INT, TERM, HUP, QUIT, TSTP, KILL or a number)\n"
      "                        to k24update once the recorder has taken N control requests\n"
      "  --replay CAPTURE      answer from CAPTURE (pcap or pcapng, Linux usbmon or USBPcap) instead\n"
      "                        of the model; the first transfer that differs from the capture's\n"
      "                        stops k24update and is reported (exit status 4)\n"
      "keys and output:\n"
      "  --on TEXT --press KEY type KEY once TEXT has appeared (esc, enter, up, f1, ctrl-c, \\xNN or text)\n"
      "  --on TEXT --plug PLACE, --on TEXT --unplug PLACE\n"
      "                        plug the recorder at PLACE in, or unplug it, once TEXT has appeared\n"
      "                        (before a key typed at the same text)\n"
      "  --interactive         pass this terminal's keys through instead\n"
      "  --echo                copy the updater's output to standard output (its standard error\n"
      "                        to standard error)\n"
      "  --out DIR             write output, errors (the updater's standard error, kept apart\n"
      "                        unless --interactive), exit-code, state, flash.bin, nand.bin,\n"
      "                        requests.log, bulk-out.bin and bulk-in.bin (the bulk data the\n"
      "                        recorder took and gave, in order), replay (with --replay)\n"
      "  --timeout SECONDS     give up after this long (default 120)\n"
      "measurements (written to the state):\n"
      "  --measure-wait S      once k24update says it is not connected, measure its CPU time and\n"
      "                        wakeups over S seconds before any key or plug-in; also always\n"
      "                        written: plug-in-to-connected-ms, last-key-to-exit-ms, updater-cpu-ms\n",
      stderr);
}

// A signal by name (INT or SIGINT) or number; 0 when unknown.
int SignalNumber(std::string name) {
  if (name.rfind("SIG", 0) == 0) name = name.substr(3);
  const std::pair<const char*, int> known[] = {
      {"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}, {"QUIT", SIGQUIT}, {"TSTP", SIGTSTP}, {"KILL", SIGKILL}};
  for (const auto& [each, number] : known) {
    if (name == each) return number;
  }
  return std::atoi(name.c_str());
}

// A moment as --plug-in-when and --unplug-when take it.
std::optional<NamedMoment> ParseMoment(const std::string& text) {
  NamedMoment named;
  const std::size_t colon = text.find(':');
  const std::string kind = text.substr(0, colon);
  const std::string rest = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (kind == "requests" && !rest.empty()) {
    named.moment.kind = BusMoment::Kind::AfterRequests;
    named.moment.count = std::atoi(rest.c_str());
    return named.moment.count > 0 ? std::optional<NamedMoment>(named) : std::nullopt;
  }
  if (kind == "restart") {
    const std::size_t second = rest.rfind(':');
    if (second == std::string::npos || second == 0) return std::nullopt;
    named.moment.kind = BusMoment::Kind::AtRestart;
    named.place = rest.substr(0, second);
    named.moment.count = std::atoi(rest.substr(second + 1).c_str());
    return named.moment.count >= 0 ? std::optional<NamedMoment>(named) : std::nullopt;
  }
  if (kind == "back" && !rest.empty()) {
    named.moment.kind = BusMoment::Kind::WhenBack;
    named.place = rest;
    return named;
  }
  return std::nullopt;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  std::string pendingPrompt;
  bool havePrompt = false;
  const auto recorder = [&]() -> RecorderOptions& { return options.recorders.back(); };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto next = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    std::optional<std::string> value;
    if (arg == "--") {
      for (++i; i < argc; ++i) options.updaterArgs.emplace_back(argv[i]);
      break;
    } else if (arg == "--interactive") {
      options.interactive = true;
    } else if (arg == "--echo") {
      options.echo = true;
    } else if (arg == "--no-boot-loader") {
      recorder().noBootLoader = true;
    } else if (arg == "--plug-in") {
      recorder().plugInLater = true;
    } else if (arg == "--unplugged") {
      recorder().unplugged = true;
    } else if (arg == "--never-return") {
      recorder().neverReturn = true;
    } else if (arg == "--not-model") {
      recorder().notModel = true;
    } else if (arg == "--restart-before-reply") {
      options.restartBeforeReply = true;
    } else if (arg == "--hold-lock") {
      options.holdLock = true;
    } else if (arg == "--not-emulated") {
      options.notEmulated = true;
    } else if (!(value = next())) {
      std::fprintf(stderr, "k24-testbed: %s needs a value\n", arg.c_str());
      return false;
    } else if (arg == "--k24update") {
      options.k24update = *value;
    } else if (arg == "--out") {
      options.outDir = *value;
    } else if (arg == "--timeout") {
      options.timeoutSeconds = std::atoi(value->c_str());
    } else if (arg == "--place") {
      recorder().place = *value;
    } else if (arg == "--recorder") {
      options.recorders.emplace_back();
      recorder().place = *value;
    } else if (arg == "--boot-loader") {
      recorder().bootLoader = static_cast<VersionWord>(std::strtoul(value->c_str(), nullptr, 0));
    } else if (arg == "--firmware") {
      recorder().firmware = static_cast<VersionWord>(std::strtoul(value->c_str(), nullptr, 0));
    } else if (arg == "--identity") {
      recorder().identity = *value;
    } else if (arg == "--serial") {
      recorder().serial = *value;
    } else if (arg == "--plug-in-when" || arg == "--unplug-when") {
      const std::optional<NamedMoment> moment = ParseMoment(*value);
      if (!moment) {
        std::fprintf(stderr, "k24-testbed: %s takes requests:N, restart:PLACE:N or back:PLACE\n", arg.c_str());
        return false;
      }
      (arg == "--plug-in-when" ? recorder().plugIns : recorder().unplugs).push_back(*moment);
    } else if (arg == "--emulated-value") {
      options.emulatedValue = *value;
    } else if (arg == "--short-reply") {
      const std::size_t colon = value->find(':');
      if (colon == std::string::npos) {
        std::fputs("k24-testbed: --short-reply needs CODE:N\n", stderr);
        return false;
      }
      RequestFault fault;
      fault.request = static_cast<std::uint8_t>(std::strtoul(value->substr(0, colon).c_str(), nullptr, 16));
      fault.kind = ControlFault::ShortReply;
      fault.replyLength = static_cast<std::uint32_t>(std::strtoul(value->substr(colon + 1).c_str(), nullptr, 10));
      recorder().requestFaults.push_back(fault);
    } else if (arg == "--replay") {
      options.replay = *value;
    } else if (arg == "--as-user") {
      options.asUser = static_cast<uid_t>(std::strtoul(value->c_str(), nullptr, 10));
    } else if (arg == "--node-mode") {
      options.nodeMode = static_cast<mode_t>(std::strtoul(value->c_str(), nullptr, 8));
    } else if (arg == "--file-size-limit") {
      options.fileSizeLimit = std::atoll(value->c_str());
    } else if (arg == "--absence") {
      options.absenceMs = std::atoi(value->c_str());
    } else if (arg == "--never-return-from") {
      recorder().neverReturnFrom = std::atoi(value->c_str());
      if (recorder().neverReturnFrom <= 0) {
        std::fputs("k24-testbed: --never-return-from takes a restart's number, from 1\n", stderr);
        return false;
      }
    } else if (arg == "--stop-answering-after") {
      recorder().stopAnsweringAfter = std::atoi(value->c_str());
      if (recorder().stopAnsweringAfter <= 0) {
        std::fputs("k24-testbed: --stop-answering-after takes a count of requests\n", stderr);
        return false;
      }
    } else if (arg == "--other-devices") {
      options.otherDevices = std::atoi(value->c_str());
      if (options.otherDevices < 0 || options.otherDevices > UsbfsDoor::kMaxOtherDevices) {
        std::fputs("k24-testbed: --other-devices takes 0 to 50\n", stderr);
        return false;
      }
    } else if (arg == "--measure-wait") {
      options.measureWaitSeconds = std::atoi(value->c_str());
    } else if (arg == "--signal-at-request") {
      const std::optional<std::string> name = next();
      options.signalAtRequest = std::atoi(value->c_str());
      options.signalToSend = name ? SignalNumber(*name) : 0;
      if (options.signalAtRequest <= 0 || options.signalToSend <= 0) {
        std::fputs("k24-testbed: --signal-at-request needs a request count and a signal\n", stderr);
        return false;
      }
    } else if (arg == "--on") {
      pendingPrompt = *value;
      havePrompt = true;
    } else if (arg == "--press" || arg == "--plug" || arg == "--unplug") {
      if (!havePrompt) {
        std::fprintf(stderr, "k24-testbed: %s needs an --on before it\n", arg.c_str());
        return false;
      }
      ScriptedStep step;
      step.prompt = pendingPrompt;
      if (arg == "--press") {
        step.bytes = KeyBytes(*value);
      } else {
        step.kind = arg == "--plug" ? ScriptedStep::Kind::PlugIn : ScriptedStep::Kind::Unplug;
        step.place = *value;
      }
      options.steps.push_back(step);
      havePrompt = false;
    } else {
      std::fprintf(stderr, "k24-testbed: unknown option %s\n", arg.c_str());
      return false;
    }
  }
  if (options.k24update.empty()) {
    std::fputs("k24-testbed: --k24update is required\n", stderr);
    return false;
  }
  // Every place named is one recorder's, and no two recorders share one.
  const auto known = [&](const std::string& place) {
    return std::count_if(options.recorders.begin(), options.recorders.end(),
                         [&](const RecorderOptions& each) { return each.place == place; }) == 1;
  };
  for (const RecorderOptions& each : options.recorders) {
    bool named = known(each.place);
    for (const auto* moments : {&each.plugIns, &each.unplugs}) {
      for (const NamedMoment& moment : *moments) named = named && (moment.place.empty() || known(moment.place));
    }
    if (!named) {
      std::fprintf(stderr, "k24-testbed: the recorder at %s: a place that is no one recorder's\n", each.place.c_str());
      return false;
    }
  }
  for (const ScriptedStep& step : options.steps) {
    if (step.kind != ScriptedStep::Kind::Type && !known(step.place)) {
      std::fprintf(stderr, "k24-testbed: no recorder at %s\n", step.place.c_str());
      return false;
    }
  }
  return true;
}

void SetUpRecorder(const RecorderOptions& options, RecorderModel& model) {
  model.bootLoaderVersion = options.bootLoader;
  if (options.firmware != 0) {
    InstallFirmware(model, options.firmware, options.identity);
  } else {
    // Only the boot loader runs; the identity area still holds what is there.
    model.mode = RecorderMode::BootLoader;
    model.firmwareVersion = 0;
    std::vector<std::uint8_t> identity(5, 0);
    for (std::size_t i = 0; i < identity.size() && i < options.identity.size(); ++i) {
      identity[i] = static_cast<std::uint8_t>(options.identity[i]);
    }
    SetIdentity(model, identity);
  }
  if (options.noBootLoader) {
    model.bootLoaderAnswersVersion = false;
    model.firmwareAnswersVersion = false;
  }
  SetSerialNumber(model, options.serial);
  model.neverReturnAfterRestart = options.neverReturn;
  model.neverReturnFromRestart = options.neverReturnFrom;
  model.requestFaults = options.requestFaults;
  model.stopAnsweringAfterRequest = options.stopAnsweringAfter;
  if (options.notModel) model.productString = kOtherProductString;
  if (options.plugInLater || options.unplugged || !options.plugIns.empty()) {
    model.onBus = false;
    model.returnPending = false;
  }
}

std::string Version(VersionWord word) {
  return std::to_string(word >> 8) + "." + std::to_string(word & 0xFF);
}

const char* ModeName(RecorderMode mode) {
  switch (mode) {
    case RecorderMode::Firmware: return "firmware";
    case RecorderMode::BootLoader: return "boot loader";
    case RecorderMode::Programming: return "programming";
  }
  return "?";
}

// What the image region of the recorder's flash now holds, in words.
std::string ImageRegionContent(const RecorderModel& model) {
  const auto matches = [&](const FlashImage& image) {
    return std::equal(image.begin(), image.begin() + kImageRegionSize, model.flash.begin());
  };
  if (matches(BuildSampleFirmwareImage())) return "the sample firmware image (the one k24update carries)";
  if (std::all_of(model.flash.begin(), model.flash.begin() + kImageRegionSize, [](std::uint8_t b) { return b == 0xFF; })) {
    return "erased";
  }
  return "other data (not the sample firmware image)";
}

// The recorder's state, one "field: value" line each; with `prefix` before
// each field (a recorder's place, for a bus of several).
std::string StateReport(const RecorderModel& model, const std::string& prefix) {
  std::string text;
  text += "boot-loader-version: " + Version(model.bootLoaderVersion) + "\n";
  text += "firmware-version: " + Version(model.firmwareVersion) + "\n";
  text += "running: " + std::string(ModeName(model.mode)) + "\n";
  text += "serial-number: " + SerialNumberOf(model) + "\n";
  text += "image-region: " + ImageRegionContent(model) + "\n";
  text += "on-bus: " + std::string(model.onBus ? "yes" : "no") + "\n";
  text += "restarts: " + std::to_string(model.restarts) + "\n";
  text += "control-requests: " + std::to_string(model.controlRequests) + "\n";
  const auto count = [&](std::uint8_t code) {
    const auto it = model.requestsByCode.find(code);
    return std::to_string(it == model.requestsByCode.end() ? 0 : it->second);
  };
  text += "page-erases: " + count(0x22) + "\n";         // ErasePage
  text += "nand-block-erases: " + count(0xD1) + "\n";   // NandEraseBlock
  text += "bulk-transfers: " + std::to_string(model.bulkTransfers) + "\n";
  text += "string-descriptor-reads: " + std::to_string(model.stringDescriptorReads) + "\n";
  const auto unanswered = std::count_if(model.log.begin(), model.log.end(),
                                        [](const LoggedTransfer& entry) { return !entry.answered; });
  text += "unanswered-transfers: " + std::to_string(unanswered) + "\n";
  if (prefix.empty()) return text;
  std::string prefixed;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at) + 1;
    prefixed += prefix + " " + text.substr(at, end - at);
    at = end;
  }
  return prefixed;
}

void WriteFile(const std::string& path, const void* data, std::size_t size) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void WriteText(const std::string& path, const std::string& text) { WriteFile(path, text.data(), text.size()); }

// The data of every bulk transfer of one direction the recorder carried, in order.
std::vector<std::uint8_t> BulkData(const RecorderModel& model, LoggedTransfer::Kind kind) {
  std::vector<std::uint8_t> bytes;
  for (const LoggedTransfer& entry : model.log) {
    if (entry.kind == kind) bytes.insert(bytes.end(), entry.data.begin(), entry.data.end());
  }
  return bytes;
}

// What a process has used so far, over all its threads: CPU time in clock
// ticks (user and system, /proc/PID/stat) and voluntary context switches,
// which count its wakeups from sleep (/proc/PID/task/*/status).
struct ProcessSample {
  long long ticks = 0;
  long long wakeups = 0;
  std::chrono::steady_clock::time_point at{};
};

ProcessSample SampleProcess(pid_t pid) {
  ProcessSample sample;
  sample.at = std::chrono::steady_clock::now();
  const std::string dir = "/proc/" + std::to_string(pid);
  std::ifstream stat(dir + "/stat");
  std::string text;
  std::getline(stat, text);
  const std::size_t close = text.rfind(')');
  if (close != std::string::npos) {
    // Fields after the name: state is field 3, utime 14 and stime 15.
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
      if (number == 14 || number == 15) sample.ticks += std::atoll(field.c_str());
    }
  }
  std::error_code ignored;
  for (const auto& task : std::filesystem::directory_iterator(dir + "/task", ignored)) {
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) sample.wakeups += std::atoll(line.c_str() + 24);
    }
  }
  return sample;
}

// Puts the user's terminal into raw mode for the run and back afterwards.
class RawUserTerminal {
 public:
  RawUserTerminal() {
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    cfmakeraw(&raw);
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~RawUserTerminal() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  RawUserTerminal(const RawUserTerminal&) = delete;
  RawUserTerminal& operator=(const RawUserTerminal&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

int Run(const Options& options) {
  // The recorders, each at its place; the first is "the recorder" of a run
  // with one.
  std::deque<RecorderModel> models(options.recorders.size());
  RecorderBus bus;
  for (std::size_t i = 0; i < options.recorders.size(); ++i) {
    SetUpRecorder(options.recorders[i], models[i]);
    AddRecorder(bus, models[i], options.recorders[i].place);
  }
  for (std::size_t i = 0; i < options.recorders.size(); ++i) {
    const auto resolve = [&](const std::vector<NamedMoment>& named, std::vector<BusMoment>& moments) {
      for (NamedMoment each : named) {
        each.moment.of = RecorderAt(bus, each.place);
        moments.push_back(each.moment);
      }
    };
    resolve(options.recorders[i].plugIns, bus.recorders[i].plugIns);
    resolve(options.recorders[i].unplugs, bus.recorders[i].unplugs);
  }
  RecorderModel& model = models.front();
  std::optional<ReplayRecorder> replay;
  if (!options.replay.empty()) {
    RecorderCapture capture;
    std::string cutShort;
    std::string error;
    if (!ReadRecorderCapture(options.replay, capture, cutShort, error)) {
      std::fprintf(stderr, "k24-testbed: --replay %s: %s\n", options.replay.c_str(), error.c_str());
      return kExitUsage;
    }
    if (!cutShort.empty()) {
      std::fprintf(stderr, "k24-testbed: --replay %s: read up to where it is cut short: %s\n",
                   options.replay.c_str(), cutShort.c_str());
    }
    replay.emplace(std::move(capture));
    model.standIn = &*replay;
  }

  // The run gets a network namespace of its own, and with it the updater's
  // instance lock (an abstract socket name): parallel runs and a real
  // updater on this machine never meet, under the lock's real name.
  if (!options.outDir.empty()) mkdir(options.outDir.c_str(), 0755);
  std::string error;
  if (!EnterOwnNetworkNamespace(error)) {
    std::fprintf(stderr, "k24-testbed: no network namespace of its own for the run: %s\n", error.c_str());
    return kExitNoUmockdev;
  }
  std::unique_ptr<InstanceLock> heldLock;
  if (options.holdLock) {
    heldLock = MakeSystemInstanceLock();
    std::string reason;
    if (heldLock->Take(kInstanceLockName, reason) != LockOutcome::Taken) {
      std::fprintf(stderr, "k24-testbed: could not take the instance lock %s\n", reason.c_str());
      return kExitUsage;
    }
  }

  // k24update writes its sample images only into a recorder it was told is
  // the emulator.
  if (options.notEmulated) {
    unsetenv("K24_EMULATED_RECORDER");
  } else {
    setenv("K24_EMULATED_RECORDER", options.emulatedValue.c_str(), 1);
  }

  // The mocked bus's sockets (its uevents, the device node's ioctls) are
  // made by binding, with modes from the umask: another user must be able to
  // connect to them.
  if (options.asUser != 0) umask(0);

  UsbfsDoor door(bus);
  if (!door.Start(error)) {
    std::fprintf(stderr, "k24-testbed: umockdev cannot run here: %s\n", error.c_str());
    return kExitNoUmockdev;
  }
  door.SetAbsence(std::chrono::milliseconds(options.absenceMs));
  door.SetRestartBeforeReply(options.restartBeforeReply);
  door.SetNodeMode(options.nodeMode);
  if (options.asUser != 0) door.OpenToAllUsers();
  door.AddOtherDevices(options.otherDevices);
  door.Service();  // puts a recorder that is on the bus at the start onto it

  std::vector<std::string> argv = {options.k24update};
  argv.insert(argv.end(), options.updaterArgs.begin(), options.updaterArgs.end());
  TerminalSession session;
  if (options.fileSizeLimit >= 0) session.LimitFileSize(static_cast<std::uint64_t>(options.fileSizeLimit));
  // A scripted run keeps the updater's standard error apart from the
  // dialogue on its terminal; a person sees both on the terminal.
  if (!session.Start(argv, options.interactive, error, options.asUser, !options.interactive)) {
    std::fprintf(stderr, "k24-testbed: %s\n", error.c_str());
    return kExitUsage;
  }
  std::optional<RawUserTerminal> userTerminal;
  if (options.interactive) userTerminal.emplace();

  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(options.timeoutSeconds);
  std::string output;
  std::string errors;  // the updater's standard error
  std::size_t scanFrom = 0;  // where the next prompt is looked for
  std::size_t nextStep = 0;
  // Recorders plugged in once the updater says it is not connected.
  std::vector<std::size_t> toPlugIn;
  for (std::size_t i = 0; i < options.recorders.size(); ++i) {
    if (options.recorders[i].plugInLater) toPlugIn.push_back(i);
  }
  bool plugInScheduled = false;
  bool plugInDone = toPlugIn.empty();
  std::chrono::steady_clock::time_point plugInAt{};
  bool timedOut = false;
  bool signalSent = false;
  bool replayDiffered = false;

  // Measurements.
  enum class Measuring { NotYet, Settling, Running, Done };
  Measuring measuring = options.measureWaitSeconds > 0 ? Measuring::NotYet : Measuring::Done;
  ProcessSample waitStart;
  std::string measurements;
  // Moments of the run (0: not yet).
  std::chrono::steady_clock::time_point pluggedInAt{};
  std::chrono::steady_clock::time_point lastKeyAt{};
  std::chrono::steady_clock::time_point endedAt{};
  const std::chrono::steady_clock::time_point never{};
  const auto millisecondsSince = [](std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - from).count();
  };

  while (true) {
    const std::string more = session.Pump(1, options.interactive);
    if (!more.empty()) {
      output += more;
      if (options.echo || options.interactive) {
        std::fwrite(more.data(), 1, more.size(), stdout);
        std::fflush(stdout);
      }
    }
    const std::string moreErrors = session.TakeErrors();
    errors += moreErrors;
    if (options.echo && !moreErrors.empty()) std::fputs(moreErrors.c_str(), stderr);
    if (pluggedInAt != never && output.find("Device is connected.\n") != std::string::npos) {
      char line[64];
      std::snprintf(line, sizeof line, "plug-in-to-connected-ms: %.2f\n", millisecondsSince(pluggedInAt));
      measurements += line;
      pluggedInAt = never;
    }
    if (measuring == Measuring::NotYet && output.find(kNotConnectedText) != std::string::npos) {
      measuring = Measuring::Settling;
      waitStart = SampleProcess(session.Pid());
    } else if (measuring == Measuring::Settling && millisecondsSince(waitStart.at) >= 500) {
      measuring = Measuring::Running;  // past the start-up, into the wait itself
      waitStart = SampleProcess(session.Pid());
    } else if (measuring == Measuring::Running &&
               millisecondsSince(waitStart.at) >= options.measureWaitSeconds * 1000.0) {
      const ProcessSample end = SampleProcess(session.Pid());
      const double seconds = std::chrono::duration<double>(end.at - waitStart.at).count();
      const double ticksPerSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
      char lines[256];
      std::snprintf(lines, sizeof lines,
                    "wait-seconds: %.3f\nwait-cpu-ticks: %lld\nwait-cpu-percent: %.3f\n"
                    "wait-wakeups: %lld\nwait-wakeups-per-second: %.1f\n",
                    seconds, end.ticks - waitStart.ticks,
                    100.0 * static_cast<double>(end.ticks - waitStart.ticks) / ticksPerSecond / seconds,
                    end.wakeups - waitStart.wakeups, static_cast<double>(end.wakeups - waitStart.wakeups) / seconds);
      measurements += lines;
      measuring = Measuring::Done;
    }
    while (measuring == Measuring::Done && nextStep < options.steps.size()) {
      const ScriptedStep& step = options.steps[nextStep];
      const std::size_t found = output.find(step.prompt, scanFrom);
      if (found == std::string::npos) break;
      if (step.kind == ScriptedStep::Kind::Type) {
        scanFrom = found + step.prompt.size();
        session.Type(step.bytes);
        lastKeyAt = std::chrono::steady_clock::now();
      } else {
        // Done before anything typed at the same text.
        scanFrom = found;
        const std::size_t which = RecorderAt(bus, step.place);
        if (step.kind == ScriptedStep::Kind::PlugIn) {
          door.PlugIn(which);
        } else {
          door.Unplug(which);
        }
      }
      ++nextStep;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!plugInScheduled && !plugInDone && measuring == Measuring::Done &&
        output.find(kNotConnectedText) != std::string::npos) {
      plugInScheduled = true;
      plugInAt = now + std::chrono::milliseconds(options.absenceMs);
    }
    if (plugInScheduled && now >= plugInAt) {
      // Timed from before the plug-in: the device may be announced before
      // PlugIn returns.
      pluggedInAt = std::chrono::steady_clock::now();
      for (const std::size_t which : toPlugIn) door.PlugIn(which);
      char line[64];
      std::snprintf(line, sizeof line, "plug-in-call-ms: %.2f\n", millisecondsSince(pluggedInAt));
      measurements += line;
      plugInScheduled = false;
      plugInDone = true;
    }
    door.Service();
    if (options.signalAtRequest > 0 && !signalSent) {
      int requests = 0;
      {
        std::lock_guard<std::mutex> guard(door.Lock());
        requests = bus.controlRequests;
      }
      if (requests >= options.signalAtRequest) {
        session.Signal(options.signalToSend);
        signalSent = true;
      }
    }
    if (replay) {
      bool differed = false;
      {
        std::lock_guard<std::mutex> guard(door.Lock());
        differed = replay->Differed();
      }
      if (differed) {
        // The run ends at the first difference: nothing after it means anything.
        replayDiffered = true;
        session.Kill();
        output += session.Pump(0, false);
        break;
      }
    }
    if (session.OutputClosed() && session.ExitCode()) {
      endedAt = std::chrono::steady_clock::now();
      break;
    }
    if (now >= deadline) {
      timedOut = true;
      session.Kill();
      break;
    }
  }
  errors += session.TakeErrors();  // the rest, now that it has ended
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  userTerminal.reset();

  const int exitCode = session.ExitCode().value_or(-1);
  std::string state;
  {
    std::lock_guard<std::mutex> guard(door.Lock());
    state = "exit-code: " + std::to_string(exitCode) + "\n" + StateReport(model, "") +
            "enumerations: " + std::to_string(door.Enumerations()) + "\n" +
            "elapsed-ms: " + std::to_string(elapsed.count()) + "\n" + measurements;
    if (bus.recorders.size() > 1) {
      for (const BusRecorder& each : bus.recorders) state += StateReport(*each.model, each.place);
    }
    char lines[128];
    if (lastKeyAt != never && endedAt != never) {
      std::snprintf(lines, sizeof lines, "last-key-to-exit-ms: %.2f\n",
                    std::chrono::duration<double, std::milli>(endedAt - lastKeyAt).count());
      state += lines;
    }
    if (session.CpuMs()) {
      std::snprintf(lines, sizeof lines, "updater-cpu-ms: %.1f\n", *session.CpuMs());
      state += lines;
    }
    if (!options.outDir.empty()) {
      const std::string dir = options.outDir + "/";
      WriteText(dir + "output", output);
      WriteText(dir + "errors", errors);
      WriteText(dir + "exit-code", std::to_string(exitCode) + "\n");
      WriteText(dir + "state", state);
      WriteText(dir + "requests.log", bus.recorders.size() > 1 ? DescribeBusLog(bus) : DescribeLog(model));
      const std::vector<std::uint8_t> bulkOut = BulkData(model, LoggedTransfer::Kind::BulkOut);
      const std::vector<std::uint8_t> bulkIn = BulkData(model, LoggedTransfer::Kind::BulkIn);
      WriteFile(dir + "bulk-out.bin", bulkOut.data(), bulkOut.size());
      WriteFile(dir + "bulk-in.bin", bulkIn.data(), bulkIn.size());
      if (replay) WriteText(dir + "replay", replay->Report());
      WriteFile(dir + "flash.bin", model.flash.data(), model.flash.size());
      WriteFile(dir + "nand.bin", model.nand.data(), model.nand.size());
    }
  }
  if (options.interactive || options.echo) {
    std::printf("\n--- k24update ended with exit code %d; the recorder now holds:\n%s", exitCode, state.c_str());
  }
  if (replay) {
    std::lock_guard<std::mutex> guard(door.Lock());
    std::fputs(replay->Report().c_str(), stderr);
  }
  if (replayDiffered) return kExitReplayDiffered;
  if (timedOut) {
    std::fprintf(stderr, "k24-testbed: k24update did not end within %d s\n", options.timeoutSeconds);
    return kExitTimeout;
  }
  return 0;
}

// The mocked bus only works for processes under umockdev's preload library,
// the testbed included (or no hotplug event reaches libusb): start again
// under it when it is not loaded yet.
void EnsurePreload(char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr) return;
  std::string value = kPreloadLibrary;
  if (preload != nullptr && preload[0] != '\0') value += std::string(":") + preload;
  setenv("LD_PRELOAD", value.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::perror("k24-testbed: re-running under the umockdev preload");
}

}  // namespace
}  // namespace k24::emulator

int main(int argc, char** argv) {
  k24::emulator::Options options;
  if (!k24::emulator::ParseOptions(argc, argv, options)) {
    k24::emulator::Usage();
    return k24::emulator::kExitUsage;
  }
  k24::emulator::EnsurePreload(argv);
  return k24::emulator::Run(options);
}
