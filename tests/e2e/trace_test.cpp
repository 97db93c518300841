// The trace and the replay, end to end: the shipped k24update with --trace on
// the mocked bus (k24-testbed), its capture decoded by tshark and read by
// k24trace, and the capture played back to the same program by the testbed's
// replay door.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/testbed_run.h"
#include "tests/e2e/usbpcap_writer.h"
#include "trace/capture_file.h"

namespace k24::test {
namespace {

std::vector<std::string> Join(std::vector<std::string> first, const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t from = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', from);
    fields.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
    if (tab == std::string::npos) return fields;
    from = tab + 1;
  }
}

std::vector<std::uint8_t> FromHex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

unsigned long Number(const std::string& field) { return std::stoul(field, nullptr, 0); }

// tshark's fields of every frame of `capture` that passes `filter` (all when
// empty), one row per frame.
std::vector<std::vector<std::string>> Tshark(const std::filesystem::path& dir, const std::filesystem::path& capture,
                                             const std::vector<std::string>& fields, const std::string& filter = "") {
  std::vector<std::string> args = {K24_TSHARK, "-r", capture.string(), "-T", "fields", "-E", "separator=/t"};
  for (const std::string& field : fields) args.insert(args.end(), {"-e", field});
  if (!filter.empty()) args.insert(args.end(), {"-Y", filter});
  std::string out;
  EXPECT_EQ(RunForOutput(dir, args, out), 0) << "tshark could not read " << capture;
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : Lines(out)) rows.push_back(Split(line));
  return rows;
}

// One line of the testbed's requests.log, as the recorder model writes it.
std::string LogLine(bool control, bool in, unsigned long request, unsigned long value, unsigned long length, bool ok) {
  char line[96];
  if (control) {
    std::snprintf(line, sizeof line, "%s 0x%02lX value=0x%04lX len=%lu %s\n", in ? "in " : "out", request, value,
                  length, ok ? "ok" : "FAILED");
  } else {
    std::snprintf(line, sizeof line, "bulk-%s len=%lu %s\n", in ? "in" : "out", length, ok ? "ok" : "FAILED");
  }
  return line;
}

// What tshark makes of a usbmon capture: the requests in the model's words
// (one line per transfer, from its submission and its completion's status),
// and the bulk data each way.
struct Decoded {
  std::size_t frames = 0;
  std::string requests;
  std::vector<std::uint8_t> bulkOut;
  std::vector<std::uint8_t> bulkIn;
  std::size_t submissions = 0;
  std::size_t completions = 0;
};

Decoded TsharkUsbmon(const std::filesystem::path& dir, const std::filesystem::path& capture) {
  const auto rows = Tshark(dir, capture,
                           {"usb.urb_id", "usb.urb_type", "usb.transfer_type", "usb.endpoint_address",
                            "usb.bmRequestType", "usb.setup.bRequest", "usb.setup.wValue", "usb.setup.wLength",
                            "usb.urb_status", "usb.urb_len", "usb.capdata"});
  Decoded decoded;
  decoded.frames = rows.size();
  std::map<std::string, bool> completedOk;
  for (const auto& row : rows) {
    if (row.size() == 11 && row[1] == "'C'") completedOk[row[0]] = row[8] == "0";
  }
  for (const auto& row : rows) {
    if (row.size() != 11) continue;
    const bool control = row[2] == "0x02";
    const bool in = (Number(row[3]) & 0x80) != 0;
    if (row[1] == "'S'") {
      ++decoded.submissions;
      const bool ok = completedOk.count(row[0]) != 0 && completedOk[row[0]];
      decoded.requests += control ? LogLine(true, in, Number(row[5]), Number(row[6]), Number(row[7]), ok)
                                  : LogLine(false, in, 0, 0, Number(row[9]), ok);
      if (!control && !in) {
        const auto data = FromHex(row[10]);
        decoded.bulkOut.insert(decoded.bulkOut.end(), data.begin(), data.end());
      }
    } else if (row[1] == "'C'") {
      ++decoded.completions;
      if (!control && in) {
        const auto data = FromHex(row[10]);
        decoded.bulkIn.insert(decoded.bulkIn.end(), data.begin(), data.end());
      }
    }
  }
  return decoded;
}

// Frames that are not USB to tshark, or that it found malformed.
std::size_t UndecodedFrames(const std::filesystem::path& dir, const std::filesystem::path& capture) {
  return Tshark(dir, capture, {"frame.number"}, "!usb || _ws.malformed || _ws.expert.severity >= \"error\"").size();
}

struct PathCase {
  const char* name;
  const char* bootLoader;
  bool upgrade;
  bool bulk;  // the path moves NAND pages over the bulk pipes
};

void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }

const PathCase kPaths[] = {
    {"FlashPath", "0x0100", true, false},
    {"NandPath", "0x00FF", true, true},
    {"NoUpgradePath", "0x0102", false, false},
};

std::vector<std::string> Scenario(const PathCase& path) {
  return Join({"--boot-loader", path.bootLoader}, FullUpdateKeys(path.upgrade));
}

bool TsharkPresent() { return std::filesystem::exists(K24_TSHARK); }
constexpr const char* kNoTshark = "tshark is missing: scripts/setup.sh installs it (Debian package tshark)";

class TracedUpdate : public TestbedRun, public ::testing::WithParamInterface<PathCase> {};

// The trace of each update path: tshark decodes every record, the setup
// packets in order are the requests the recorder model took, and the bulk
// data is what it took and gave. Played back to the same program, the trace
// ends the run as the original ended, transfer for transfer.
TEST_P(TracedUpdate, IsWhatTheRecorderSawAndReplaysToTheSameEnd) {
  ASSERT_TRUE(TsharkPresent()) << kNoTshark;
  const std::filesystem::path run = dir_ / "run";
  const std::filesystem::path trace = dir_ / "trace.pcap";
  const int status = RunTestbed(run, Scenario(GetParam()), {"--trace", trace.string()});
  if (status == kTestbedCannotRun) GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(run / "testbed.stderr");
  ASSERT_EQ(status, 0) << ReadAll(run / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(run / "errors"), "");
  EXPECT_EQ(ReadState(run / "state").at("firmware-version"), "2.0");

  const std::string requests = ReadAll(run / "requests.log");
  const std::size_t transfers = Lines(requests).size();
  const Decoded decoded = TsharkUsbmon(dir_, trace);
  EXPECT_EQ(UndecodedFrames(dir_, trace), 0u);
  EXPECT_EQ(decoded.frames, 2 * transfers);
  EXPECT_EQ(decoded.requests, requests);
  EXPECT_EQ(decoded.bulkOut, Bytes(ReadAll(run / "bulk-out.bin")));
  EXPECT_EQ(decoded.bulkIn, Bytes(ReadAll(run / "bulk-in.bin")));
  EXPECT_EQ(!decoded.bulkOut.empty() && !decoded.bulkIn.empty(), GetParam().bulk);

  // k24trace reads the same transfers.
  std::string shown;
  ASSERT_EQ(RunForOutput(dir_, {K24_TRACE_TOOL, "show", trace.string()}, shown), 0);
  const std::vector<std::string> lines = Lines(shown);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find("the recorder's transfers: " + std::to_string(transfers) + ","), std::string::npos)
      << lines[0];

  // The replay, traced too: the same dialogue, exit code and requests, the
  // whole capture played, and a trace that matches the first.
  const std::filesystem::path replayRun = dir_ / "replay";
  const std::filesystem::path replayTrace = dir_ / "replay.pcap";
  ASSERT_EQ(RunTestbed(replayRun, Join({"--replay", trace.string()}, Scenario(GetParam())),
                       {"--trace", replayTrace.string()}),
            0)
      << ReadAll(replayRun / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(replayRun / "output"), ReadAll(run / "output"));
  EXPECT_EQ(ReadAll(replayRun / "exit-code"), ReadAll(run / "exit-code"));
  EXPECT_EQ(ReadAll(replayRun / "requests.log"), requests);
  EXPECT_EQ(ReadAll(replayRun / "replay"),
            "replay: all " + std::to_string(transfers) + " transfers of the capture played\n");

  std::string compared;
  EXPECT_EQ(RunForOutput(dir_, {K24_TRACE_TOOL, "compare", trace.string(), trace.string()}, compared), 0) << compared;
  EXPECT_EQ(RunForOutput(dir_, {K24_TRACE_TOOL, "compare", trace.string(), replayTrace.string()}, compared), 0)
      << compared;
  EXPECT_NE(compared.find("the captures match: " + std::to_string(transfers) + " transfers"), std::string::npos)
      << compared;
}

INSTANTIATE_TEST_SUITE_P(Paths, TracedUpdate, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<PathCase>& each) { return std::string(each.param.name); });

// The pcap records of a capture file, as offsets of their packets.
struct PcapRecord {
  std::size_t at = 0;  // the packet's first byte in the file
  std::size_t length = 0;
};

std::vector<PcapRecord> PcapRecords(const std::string& file) {
  std::vector<PcapRecord> records;
  const auto byte = [&](std::size_t at) { return static_cast<std::uint32_t>(static_cast<unsigned char>(file[at])); };
  for (std::size_t at = 24; at + 16 <= file.size();) {
    const std::size_t kept = byte(at + 8) | byte(at + 9) << 8 | byte(at + 10) << 16 | byte(at + 11) << 24;
    records.push_back({at + 16, kept});
    at += 16 + kept;
  }
  return records;
}

// One byte of the data of one WriteFlash in the capture changed: the replay
// stops at that transfer, says where and what differs, and k24trace compare
// finds the same place.
TEST_F(TestbedRun, ACaptureWithOneDataByteChangedStopsTheReplayAtThatTransfer) {
  const std::filesystem::path run = dir_ / "run";
  const std::filesystem::path trace = dir_ / "trace.pcap";
  const int status = RunTestbed(run, Scenario(kPaths[0]), {"--trace", trace.string()});
  if (status == kTestbedCannotRun) GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(run / "testbed.stderr");
  ASSERT_EQ(status, 0) << ReadAll(run / "testbed.stderr");

  // The tenth WriteFlash submission: usbmon 'S', control, OUT, bRequest 0x21.
  std::string file = ReadAll(trace);
  std::size_t transfer = 0;
  std::size_t frame = 0;
  std::size_t writes = 0;
  std::size_t changedAt = 0;
  const std::vector<PcapRecord> records = PcapRecords(file);
  for (std::size_t i = 0; i < records.size() && changedAt == 0; ++i) {
    const std::size_t at = records[i].at;
    if (file[at + 8] != 'S') continue;
    ++transfer;
    if (file[at + 9] == 2 && file[at + 10] == 0 && static_cast<unsigned char>(file[at + 41]) == 0x21 && ++writes == 10) {
      changedAt = at + 64 + 5;
      frame = i + 1;
    }
  }
  ASSERT_NE(changedAt, 0u);
  const auto before = static_cast<unsigned char>(file[changedAt]);
  const auto after = static_cast<unsigned char>(before ^ 0x5A);
  file[changedAt] = static_cast<char>(after);
  const std::filesystem::path changed = dir_ / "changed.pcap";
  std::ofstream(changed, std::ios::binary) << file;

  const std::filesystem::path replayRun = dir_ / "replay";
  ASSERT_EQ(RunTestbed(replayRun, Join({"--replay", changed.string()}, Scenario(kPaths[0]))), 4)
      << ReadAll(replayRun / "testbed.stderr") << "kept in " << dir_;
  char hex[2][8];
  std::snprintf(hex[0], sizeof hex[0], "0x%02X", after);
  std::snprintf(hex[1], sizeof hex[1], "0x%02X", before);
  const std::string report = ReadAll(replayRun / "replay");
  EXPECT_EQ(report.rfind("replay: the program's transfer " + std::to_string(transfer) +
                             " differs from the capture's (frame " + std::to_string(frame) +
                             "): the data sent differs at byte 5: capture " + hex[0] + ", program " + hex[1] +
                             "\n  capture: out 0x21 WriteFlash value 0x",
                         0),
            0u)
      << report;
  EXPECT_NE(report.find("\n  program: out 0x21 WriteFlash value 0x"), std::string::npos) << report;
  // The recorder took every transfer up to that one as the run did, refused
  // that one, and every one the program made while it was being stopped.
  const std::vector<std::string> taken = Lines(ReadAll(replayRun / "requests.log"));
  const std::vector<std::string> original = Lines(ReadAll(run / "requests.log"));
  ASSERT_GE(taken.size(), transfer);
  for (std::size_t i = 0; i + 1 < transfer; ++i) EXPECT_EQ(taken[i], original[i]);
  EXPECT_EQ(taken[transfer - 1], original[transfer - 1].substr(0, original[transfer - 1].size() - 2) + "FAILED");
  for (std::size_t i = transfer; i < taken.size(); ++i) EXPECT_NE(taken[i].find("FAILED"), std::string::npos);
  EXPECT_EQ(ReadState(replayRun / "state").at("exit-code"), "137");  // stopped there

  std::string compared;
  EXPECT_EQ(RunForOutput(dir_, {K24_TRACE_TOOL, "compare", trace.string(), changed.string()}, compared), 1);
  EXPECT_NE(compared.find("the captures differ at transfer " + std::to_string(transfer) +
                          ": the data sent differs at byte 5: A " + hex[1] + ", B " + hex[0]),
            std::string::npos)
      << compared;
}

// k24update killed in the middle of the firmware programming: the trace holds
// every transfer up to the kill, whole records only, as the recorder saw them.
TEST_F(TestbedRun, TheTraceOfARunKilledMidProgrammingIsReadableUpToTheKill) {
  ASSERT_TRUE(TsharkPresent()) << kNoTshark;
  const std::filesystem::path run = dir_ / "run";
  const std::filesystem::path trace = dir_ / "trace.pcap";
  const int status = RunTestbed(run, Join({"--signal-at-request", "60", "KILL"}, Scenario(kPaths[2])),
                                {"--trace", trace.string()});
  if (status == kTestbedCannotRun) GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(run / "testbed.stderr");
  ASSERT_EQ(status, 0) << ReadAll(run / "testbed.stderr");
  ASSERT_EQ(ReadState(run / "state").at("exit-code"), "137");

  // Every record whole, and each submission the recorder saw, in order; the
  // last one may have been written just before the kill, not sent.
  const std::string file = ReadAll(trace);
  const std::vector<PcapRecord> records = PcapRecords(file);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().at + records.back().length, file.size());
  EXPECT_EQ(UndecodedFrames(dir_, trace), 0u);
  const Decoded decoded = TsharkUsbmon(dir_, trace);
  EXPECT_EQ(decoded.frames, records.size());
  const std::vector<std::string> seen = Lines(ReadAll(run / "requests.log"));
  const std::vector<std::string> traced = Lines(decoded.requests);
  ASSERT_GE(seen.size(), 60u);
  ASSERT_TRUE(traced.size() == seen.size() || traced.size() == seen.size() + 1) << traced.size() << " " << seen.size();
  EXPECT_TRUE(decoded.completions == decoded.submissions || decoded.completions + 1 == decoded.submissions);
  for (std::size_t i = 0; i + 1 < seen.size(); ++i) EXPECT_EQ(traced[i], seen[i]) << "transfer " << i + 1;
  const auto request = [](const std::string& line) { return line.substr(0, line.rfind(' ')); };
  EXPECT_EQ(request(traced[seen.size() - 1]), request(seen.back()));  // its completion may be missing

  std::string shown;
  EXPECT_EQ(RunForOutput(dir_, {K24_TRACE_TOOL, "show", trace.string()}, shown), 0);
}

// The NAND path's trace written again as Windows' USBPcap writes such
// transfers: tshark decodes the copy to the same requests and bulk data (which
// shows the writer right), the replay door plays it to the same end as the
// run, and k24trace finds it the same capture.
TEST_F(TestbedRun, AUsbPcapCaptureReplaysTheSame) {
  ASSERT_TRUE(TsharkPresent()) << kNoTshark;
  const std::filesystem::path run = dir_ / "run";
  const std::filesystem::path trace = dir_ / "trace.pcap";
  const int status = RunTestbed(run, Scenario(kPaths[1]), {"--trace", trace.string()});
  if (status == kTestbedCannotRun) GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(run / "testbed.stderr");
  ASSERT_EQ(status, 0) << ReadAll(run / "testbed.stderr");

  RecorderCapture capture;
  std::string cutShort;
  std::string error;
  ASSERT_TRUE(ReadRecorderCapture(trace.string(), capture, cutShort, error)) << error;
  const std::vector<std::uint8_t> usbpcap = WriteUsbPcapCapture(capture);
  const std::filesystem::path windows = dir_ / "usbpcap.pcap";
  std::ofstream(windows, std::ios::binary).write(reinterpret_cast<const char*>(usbpcap.data()),
                                                 static_cast<std::streamsize>(usbpcap.size()));

  // tshark's reading of the USBPcap packets: a SETUP stage (and an OUT DATA
  // stage) on the way down, a DATA stage with IN data and a STATUS stage on the
  // way back; bulk one packet each way. USBPcap gives no length for a bulk IN
  // submission: the count moved stands for it (every read here is whole).
  EXPECT_EQ(UndecodedFrames(dir_, windows), 0u);
  const auto rows = Tshark(dir_, windows,
                           {"usb.irp_id", "usb.irp_info.direction", "usb.transfer_type", "usb.control_stage",
                            "usb.endpoint_address", "usb.bmRequestType", "usb.setup.bRequest", "usb.setup.wValue",
                            "usb.setup.wLength", "usb.usbd_status", "usb.data_len", "usb.capdata"});
  std::map<std::string, bool> endedOk;
  std::map<std::string, unsigned long> movedIn;
  std::vector<std::uint8_t> bulkOut;
  std::vector<std::uint8_t> bulkIn;
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 12u);
    const bool back = Number(row[1]) == 1;
    const bool control = row[2] == "0x02";
    const bool in = (Number(row[4]) & 0x80) != 0;
    if (back && (!control || row[3] == "2")) endedOk[row[0]] = Number(row[9]) == 0;
    if (back && !control && in) {
      movedIn[row[0]] = Number(row[10]);
      const auto data = FromHex(row[11]);
      bulkIn.insert(bulkIn.end(), data.begin(), data.end());
    }
    if (!back && !control && !in) {
      const auto data = FromHex(row[11]);
      bulkOut.insert(bulkOut.end(), data.begin(), data.end());
    }
  }
  std::string requests;
  for (const auto& row : rows) {
    const bool back = Number(row[1]) == 1;
    const bool control = row[2] == "0x02";
    const bool in = (Number(row[4]) & 0x80) != 0;
    if (back) continue;
    if (control && row[3] == "0") {
      requests += LogLine(true, (Number(row[5]) & 0x80) != 0, Number(row[6]), Number(row[7]), Number(row[8]),
                          endedOk[row[0]]);
    } else if (!control) {
      requests += LogLine(false, in, 0, 0, in ? movedIn[row[0]] : Number(row[10]), endedOk[row[0]]);
    }
  }
  EXPECT_EQ(requests, ReadAll(run / "requests.log"));
  EXPECT_EQ(bulkOut, Bytes(ReadAll(run / "bulk-out.bin")));
  EXPECT_EQ(bulkIn, Bytes(ReadAll(run / "bulk-in.bin")));

  const std::filesystem::path replayRun = dir_ / "replay";
  ASSERT_EQ(RunTestbed(replayRun, Join({"--replay", windows.string()}, Scenario(kPaths[1]))), 0)
      << ReadAll(replayRun / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(replayRun / "output"), ReadAll(run / "output"));
  EXPECT_EQ(ReadAll(replayRun / "exit-code"), ReadAll(run / "exit-code"));
  EXPECT_EQ(ReadAll(replayRun / "requests.log"), ReadAll(run / "requests.log"));
  EXPECT_EQ(ReadAll(replayRun / "replay"),
            "replay: all " + std::to_string(capture.transfers) + " transfers of the capture played\n");

  std::string compared;
  EXPECT_EQ(RunForOutput(dir_, {K24_TRACE_TOOL, "compare", trace.string(), windows.string()}, compared), 0)
      << compared;
}

// A trace that cannot be written costs one line on standard error; the
// dialogue, the exit code and the update are those of a run without it.
struct UnwritableCase {
  const char* name;
  std::vector<std::string> traceArgs;  // "%DIR%" stands for the test's folder
  std::string errorLine;
};

void PrintTo(const UnwritableCase& c, std::ostream* out) { *out << c.name; }

class UntracedRun : public TestbedRun, public ::testing::WithParamInterface<UnwritableCase> {};

std::string WithDir(std::string text, const std::filesystem::path& dir) {
  for (std::size_t at; (at = text.find("%DIR%")) != std::string::npos;) text.replace(at, 5, dir.string());
  return text;
}

TEST_P(UntracedRun, GoesOnAsWithoutTheTrace) {
  const std::filesystem::path plain = dir_ / "plain";
  const int status = RunTestbed(plain, Scenario(kPaths[2]));
  if (status == kTestbedCannotRun) GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(plain / "testbed.stderr");
  ASSERT_EQ(status, 0);
  std::vector<std::string> args;
  for (const std::string& arg : GetParam().traceArgs) args.push_back(WithDir(arg, dir_));
  const std::filesystem::path traced = dir_ / "traced";
  ASSERT_EQ(RunTestbed(traced, Scenario(kPaths[2]), args), 0) << ReadAll(traced / "testbed.stderr");
  EXPECT_EQ(ReadAll(traced / "output"), ReadAll(plain / "output"));
  EXPECT_EQ(ReadAll(traced / "errors"), WithDir(GetParam().errorLine, dir_));
  EXPECT_EQ(ReadAll(traced / "requests.log"), ReadAll(plain / "requests.log"));
  EXPECT_EQ(ReadState(traced / "state").at("exit-code"), "0");
  EXPECT_EQ(ReadState(traced / "state").at("firmware-version"), "2.0");
}

INSTANTIATE_TEST_SUITE_P(
    Traces, UntracedRun,
    ::testing::Values(UnwritableCase{"FileInAFolderThatIsNot",
                                     {"--trace", "%DIR%/no-such-folder/trace.pcap"},
                                     "k24update: could not write the trace %DIR%/no-such-folder/trace.pcap: No such "
                                     "file or directory; the run goes on untraced\n"},
                      UnwritableCase{"NoFileName", {"--trace"},
                                     "k24update: --trace needs a file name; the run goes on untraced\n"}),
    [](const ::testing::TestParamInfo<UnwritableCase>& each) { return std::string(each.param.name); });

}  // namespace
}  // namespace k24::test
