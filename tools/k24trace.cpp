// k24trace: reads USB captures of the recorder, Linux usbmon (link type 220,
// as `k24update --trace` and Wireshark on Linux write them) and Windows
// USBPcap (link type 249), pcap or pcapng.
//   k24trace show FILE         the recorder's vendor requests and bulk transfers, one line each
//   k24trace compare A B       the first difference between two captures, or that they match
// Exit status: 0 done (compare: the captures match), 1 the captures differ,
// 2 a usage error or a file that cannot be read as a capture.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "trace/capture.h"
#include "trace/capture_file.h"
#include "trace/capture_text.h"

namespace k24 {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitDiffer = 1;
constexpr int kExitUsage = 2;

void PrintUsage() {
  std::fputs(
      "usage: k24trace show FILE      the recorder's vendor requests and bulk transfers in a capture\n"
      "       k24trace compare A B    compare two captures transfer by transfer\n"
      "Captures: pcap or pcapng, Linux usbmon (k24update --trace, Wireshark on Linux) or USBPcap (Windows).\n"
      "Exit status: 0 done (compare: they match), 1 the captures differ, 2 usage or unreadable file.\n",
      stderr);
}

const char* KindOf(std::uint32_t linkType) {
  return linkType == kLinkTypeUsbPcap ? "USBPcap capture (link type 249)" : "Linux usbmon capture (link type 220)";
}

// Reads a capture, saying on standard error why when it cannot be; a capture
// cut short is read up to the cut, with a note.
bool Load(const std::string& path, RecorderCapture& capture) {
  std::string cutShort;
  std::string error;
  if (!ReadRecorderCapture(path, capture, cutShort, error)) {
    std::fprintf(stderr, "k24trace: %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  if (!cutShort.empty()) {
    std::fprintf(stderr, "k24trace: %s: read up to where it is cut short: %s\n", path.c_str(), cutShort.c_str());
  }
  return true;
}

int Show(const std::string& path) {
  RecorderCapture capture;
  if (!Load(path, capture)) return kExitUsage;
  const std::size_t restarts = capture.events.size() - capture.transfers;
  std::printf("%s: %s, %zu packets; the recorder's transfers: %zu, restarts: %zu\n", path.c_str(),
              KindOf(capture.linkType), capture.packets, capture.transfers, restarts);
  if (!capture.assumed.empty()) {
    std::string addresses;
    for (const UsbAddress& address : capture.assumed) {
      addresses += (addresses.empty() ? "" : ", ") + DescribeAddress(address);
    }
    std::printf("taken for the recorder without its device descriptor in the capture, as it takes vendor requests: %s\n",
                addresses.c_str());
  }
  std::size_t number = 0;
  for (const CaptureEvent& event : capture.events) {
    if (event.kind == CaptureEvent::Kind::Restart) {
      std::printf("       restart: the recorder left the bus and came back (%s -> %s)\n",
                  DescribeAddress(event.from).c_str(), DescribeAddress(event.to).c_str());
      continue;
    }
    const CapturedTransfer& transfer = event.transfer;
    std::printf("%5zu  frame %-6llu %-7s %s -> %s\n", ++number, static_cast<unsigned long long>(transfer.frame),
                DescribeAddress(transfer.address).c_str(), DescribeRequest(transfer).c_str(),
                DescribeOutcome(transfer).c_str());
  }
  return kExitOk;
}

int Compare(const std::string& first, const std::string& second) {
  RecorderCapture a;
  RecorderCapture b;
  if (!Load(first, a) || !Load(second, b)) return kExitUsage;
  const CaptureComparison comparison = CompareCaptures(a, b);
  std::printf("A: %s\nB: %s\n%s", first.c_str(), second.c_str(), comparison.text.c_str());
  return comparison.match ? kExitOk : kExitDiffer;
}

int Run(const std::vector<std::string_view>& args) {
  if (args.size() == 2 && args[0] == "show") return Show(std::string(args[1]));
  if (args.size() == 3 && args[0] == "compare") return Compare(std::string(args[1]), std::string(args[2]));
  PrintUsage();
  return kExitUsage;
}

}  // namespace
}  // namespace k24

int main(int argc, char** argv) {
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return k24::Run(args);
}
