// The shipped k24update, through the real libusb, against the recorder model on
// a mocked USB bus: each case runs the whole program on a terminal of its own
// with k24-testbed, types its keys as the prompts appear, and checks the whole
// output, the exit code and what the recorder holds afterwards.
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "images/elf_sections.h"
#include "tools/sample_images.h"

extern char** environ;

namespace k24::test {
namespace {

constexpr std::size_t kImageRegionSize = 0x2A00;  // flash 0x0000-0x29FF, 10,752 bytes
constexpr int kTestbedCannotRun = 77;

const std::string kBanner = "Orvo Lumo K24 Firmware Updater version 1.0\n\n";
const std::string kReport =
    "Device is connected.\n"
    "Current Boot Loader version: %BL%\n"
    "Current firmware version: 1.2\n"
    "Serial number: ABCDE12345\n"
    "Press 'Y' to load firmware version 2.0 or other key to exit.\n"
    "\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n"
    "Press 'L' to confirm load or other key to exit.\n";

std::string Report(const std::string& bootLoader) {
  std::string text = kReport;
  text.replace(text.find("%BL%"), 4, bootLoader);
  return text;
}

std::string UpgradeOffer(const std::string& from) {
  return "\nIt is necessary to upgrade Boot Loader before firmware loading.\n"
         "Press 'Y' to upgrade Boot Loader " + from + " to version 1.2 or other key to exit.\n"
         "Replacing Boot Loader...OK\n";
}

const std::string kFirmwareReplaced = "Replacing firmware...OK\nPress any key to exit...\n";

// What the recorder holds at the end.
enum class ImageRegion { SampleFirmware, AsInstalled };

struct Case {
  const char* name;
  std::vector<std::string> scenario;  // k24-testbed options: the recorder, then the keys
  std::string expectedOutput;
  int expectedExitCode;
  ImageRegion imageRegion;
  const char* bootLoaderAfter;
  const char* firmwareAfter;
  const char* serialAfter;
  bool anyRequestMade;
  bool onlyQueries = false;  // the recorder received no request that changes it
};

// The keys of a full update; `upgrade` when the boot loader upgrade is offered.
std::vector<std::string> FullUpdateKeys(bool upgrade) {
  std::vector<std::string> keys = {"--on", "Press 'Y' to load", "--press", "Y", "--on", "Press 'L'", "--press", "L"};
  if (upgrade) keys.insert(keys.end(), {"--on", "Press 'Y' to upgrade", "--press", "Y"});
  keys.insert(keys.end(), {"--on", "Press any key", "--press", "x"});
  return keys;
}

std::vector<std::string> Join(std::vector<std::string> first, const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

const Case kCases[] = {
    {"FlashPathFullUpdate", Join({"--boot-loader", "0x0100"}, FullUpdateKeys(true)),
     kBanner + Report("1.0") + UpgradeOffer("1.0") + kFirmwareReplaced, 0, ImageRegion::SampleFirmware, "1.2",
     "2.0", "ABCDEW12345", true},
    {"NandPathFullUpdate", Join({"--boot-loader", "0x00FF"}, FullUpdateKeys(true)),
     kBanner + Report("0.255") + UpgradeOffer("0.255") + kFirmwareReplaced, 0, ImageRegion::SampleFirmware, "1.2",
     "2.0", "ABCDEW12345", true},
    {"NoUpgradeNeeded", Join({"--boot-loader", "0x0102"}, FullUpdateKeys(false)),
     kBanner + Report("1.2") + kFirmwareReplaced, 0, ImageRegion::SampleFirmware, "1.2", "2.0", "ABCDEW12345",
     true},
    {"OtherK24IdentityRefused", Join({"--boot-loader", "0x0102", "--identity", "K24B9"}, FullUpdateKeys(false)),
     kBanner + Report("1.2") +
         "Firmware version is not compatible with this recorder.\nReplacing firmware failed.\n"
         "Press any key to exit...\n",
     0, ImageRegion::AsInstalled, "1.2", "1.2", "ABCDE12345", true},
    {"OtherK24IdentityLoadedInDiagMode",
     Join(Join({"--boot-loader", "0x0102", "--identity", "K24B9"}, FullUpdateKeys(false)), {"--", "diag"}),
     kBanner + Report("1.2") + kFirmwareReplaced, 0, ImageRegion::SampleFirmware, "1.2", "2.0", "ABCDEW12345",
     true},
    {"SampleImagesNeverReachARecorderNotSaidToBeTheEmulator",
     Join({"--boot-loader", "0x0100", "--not-emulated"}, {"--on", "Press 'Y' to load", "--press", "Y", "--on",
                                                           "Press 'L'", "--press", "L", "--on", "Press any key",
                                                           "--press", "x"}),
     kBanner + Report("1.0") +
         "This k24update carries sample images, not real recorder firmware: nothing was changed on the "
         "recorder.\nPress any key to exit.\n",
     0, ImageRegion::AsInstalled, "1.0", "1.2", "ABCDE12345", true, true},
    // The sample images go only into the model, which tells itself by its
    // product string: not into a recorder that answers another, even with
    // the variable set, nor with the variable set to anything but 1.
    {"SampleImagesNeverReachARecorderThatIsNotTheModel",
     Join({"--boot-loader", "0x0100", "--not-model"}, {"--on", "Press 'Y' to load", "--press", "Y", "--on",
                                                        "Press 'L'", "--press", "L", "--on", "Press any key",
                                                        "--press", "x"}),
     kBanner + Report("1.0") +
         "This k24update carries sample images, not real recorder firmware: nothing was changed on the "
         "recorder.\nPress any key to exit.\n",
     0, ImageRegion::AsInstalled, "1.0", "1.2", "ABCDE12345", true, true},
    {"SampleImagesNeedTheVariableToBeExactlyOne",
     Join({"--boot-loader", "0x0100", "--emulated-value", "yes"}, {"--on", "Press 'Y' to load", "--press", "Y",
                                                                    "--on", "Press 'L'", "--press", "L", "--on",
                                                                    "Press any key", "--press", "x"}),
     kBanner + Report("1.0") +
         "This k24update carries sample images, not real recorder firmware: nothing was changed on the "
         "recorder.\nPress any key to exit.\n",
     0, ImageRegion::AsInstalled, "1.0", "1.2", "ABCDE12345", true, true},
    // An identity read cut short says nothing of the model: refused.
    {"CutIdentityReplyAcceptsNothing",
     Join({"--boot-loader", "0x0102", "--short-reply", "20:10"}, FullUpdateKeys(false)),
     kBanner + Report("1.2") +
         "Firmware version is not compatible with this recorder.\nReplacing firmware failed.\n"
         "Press any key to exit...\n",
     0, ImageRegion::AsInstalled, "1.2", "1.2", "ABCDE12345", true, true},
    {"AnotherModelRefusedBeforeTheBootLoaderUpgrade",
     Join({"--boot-loader", "0x0100", "--identity", "K24B9"}, FullUpdateKeys(false)),
     kBanner + Report("1.0") +
         "Firmware version is not compatible with this recorder.\nReplacing firmware failed.\n"
         "Press any key to exit...\n",
     0, ImageRegion::AsInstalled, "1.0", "1.2", "ABCDE12345", true, true},
    // A one-byte answer to the two-byte boot loader query is no version, and
    // a boot loader that answers so could not be identified: nothing is
    // loaded (taken as 1.0, it would go down the flash path).
    {"CutBootLoaderReplyIsNoVersion",
     {"--boot-loader", "0x0102", "--short-reply", "24:1", "--on", "Press any key", "--press", "x"},
     kBanner + "Device is connected.\nBoot Loader not found. Firmware loading is not possible.\n"
               "Press any key to exit.\n",
     0, ImageRegion::AsInstalled, "1.2", "1.2", "ABCDE12345", true, true},
    // A one-byte serial-number answer is shown empty and never written back.
    {"CutSerialNumberReplyIsNotWrittenBack",
     Join({"--boot-loader", "0x0102", "--short-reply", "C1:1"}, FullUpdateKeys(false)),
     kBanner + [] {
       std::string report = Report("1.2");
       report.replace(report.find("ABCDE12345"), 10, "");
       return report;
     }() + kFirmwareReplaced,
     0, ImageRegion::SampleFirmware, "1.2", "2.0", "ABCDE12345", true},
    // The text and its terminating zero, 11 of the 21 bytes, are the whole
    // serial number: shown, and marked after the update.
    {"SerialNumberReplyEndingAtItsTerminatorIsWhole",
     Join({"--boot-loader", "0x0102", "--short-reply", "C1:11"}, FullUpdateKeys(false)),
     kBanner + Report("1.2") + kFirmwareReplaced, 0, ImageRegion::SampleFirmware, "1.2", "2.0", "ABCDEW12345",
     true},
    // Replies the program never interprets, cut short: the recorder took
    // everything, and the update goes on and says so.
    {"CutErasePageRepliesStillReplaceTheBootLoader",
     Join({"--boot-loader", "0x0100", "--short-reply", "22:1"}, FullUpdateKeys(true)),
     kBanner + Report("1.0") + UpgradeOffer("1.0") + kFirmwareReplaced, 0, ImageRegion::SampleFirmware, "1.2",
     "2.0", "ABCDEW12345", true},
    {"CutFinishFirmwareReplyStillReplacesTheFirmware",
     Join({"--boot-loader", "0x0102", "--short-reply", "26:2"}, FullUpdateKeys(false)),
     kBanner + Report("1.2") + kFirmwareReplaced, 0, ImageRegion::SampleFirmware, "1.2", "2.0", "ABCDEW12345",
     true},
    // Each restart is removed and back on the bus before the reply to its
    // request reaches k24update: no probe sees the recorder away, and only
    // the departure libusb counted tells the wait that it left.
    {"FlashPathWithRestartsAnnouncedBeforeTheirReplies",
     Join({"--boot-loader", "0x0100", "--restart-before-reply"}, FullUpdateKeys(true)),
     kBanner + Report("1.0") + UpgradeOffer("1.0") + kFirmwareReplaced, 0, ImageRegion::SampleFirmware, "1.2",
     "2.0", "ABCDEW12345", true},
    {"LockHeldByAnotherApplication", {"--hold-lock", "--on", "Press any key", "--press", "x"},
     kBanner + "Close all other digital recorder applications and try again.\nPress any key to exit.\n", 1,
     ImageRegion::AsInstalled, "1.0", "1.2", "ABCDE12345", false},
    {"NotConnectedThenPluggedIn", {"--plug-in", "--on", "Press 'Y' to load", "--press", "n"},
     kBanner + "Device is not connected.\nConnect device to continue or press Esc to exit.\n" +
         Report("1.0").substr(0, Report("1.0").find("\r\n")),
     0, ImageRegion::AsInstalled, "1.0", "1.2", "ABCDE12345", true},
    // Each restart keeps the recorder off the bus for only 1 ms, shorter than
    // the pause between two presence tests of a polling wait.
    {"FlashPathWithOneMillisecondAbsences", Join({"--boot-loader", "0x0100", "--absence", "1"}, FullUpdateKeys(true)),
     kBanner + Report("1.0") + UpgradeOffer("1.0") + kFirmwareReplaced, 0, ImageRegion::SampleFirmware, "1.2",
     "2.0", "ABCDEW12345", true},
    {"NandPathWithOneMillisecondAbsences", Join({"--boot-loader", "0x00FF", "--absence", "1"}, FullUpdateKeys(true)),
     kBanner + Report("0.255") + UpgradeOffer("0.255") + kFirmwareReplaced, 0, ImageRegion::SampleFirmware, "1.2",
     "2.0", "ABCDEW12345", true},
    {"FlashPathAmongThirtyOtherDevices",
     Join({"--boot-loader", "0x0100", "--other-devices", "30"}, FullUpdateKeys(true)),
     kBanner + Report("1.0") + UpgradeOffer("1.0") + kFirmwareReplaced, 0, ImageRegion::SampleFirmware, "1.2",
     "2.0", "ABCDEW12345", true},
    {"PluggedInAmongThirtyOtherDevices",
     {"--plug-in", "--other-devices", "30", "--on", "Press 'Y' to load", "--press", "n"},
     kBanner + "Device is not connected.\nConnect device to continue or press Esc to exit.\n" +
         Report("1.0").substr(0, Report("1.0").find("\r\n")),
     0, ImageRegion::AsInstalled, "1.0", "1.2", "ABCDE12345", true},
    {"EscWhileNotConnectedAmongThirtyOtherDevices",
     {"--unplugged", "--other-devices", "30", "--on", "press Esc to exit.\n", "--press", "esc"},
     kBanner + "Device is not connected.\nConnect device to continue or press Esc to exit.\n", 0,
     ImageRegion::AsInstalled, "1.0", "1.2", "ABCDE12345", false},
    {"EscWhileNotConnected", {"--unplugged", "--on", "press Esc to exit.\n", "--press", "esc"},
     kBanner + "Device is not connected.\nConnect device to continue or press Esc to exit.\n", 0,
     ImageRegion::AsInstalled, "1.0", "1.2", "ABCDE12345", false},
};

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::map<std::string, std::string> ReadState(const std::filesystem::path& path) {
  std::map<std::string, std::string> state;
  std::istringstream lines(ReadAll(path));
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t colon = line.find(": ");
    if (colon != std::string::npos) state[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return state;
}

// The update history of the runs in `dir`: k24update is told to keep it
// there (XDG_STATE_HOME), never in the home of whoever runs the tests. Open to
// every user, for the runs as another user.
std::filesystem::path StateHome(const std::filesystem::path& dir) { return dir / "state-home"; }
std::filesystem::path HistoryFile(const std::filesystem::path& dir) {
  return StateHome(dir) / "k24update" / "history.log";
}

// This process's environment with XDG_STATE_HOME pointing into `dir`, or
// at `stateHome` when one is given.
std::vector<std::string> EnvironmentFor(const std::filesystem::path& dir, const std::string& stateHome) {
  if (stateHome.empty()) {
    std::filesystem::create_directories(StateHome(dir));
    std::filesystem::permissions(StateHome(dir), std::filesystem::perms::all);
  }
  std::vector<std::string> environment;
  for (char** each = environ; *each != nullptr; ++each) {
    if (std::string(*each).rfind("XDG_STATE_HOME=", 0) != 0) environment.emplace_back(*each);
  }
  environment.push_back("XDG_STATE_HOME=" + (stateHome.empty() ? StateHome(dir).string() : stateHome));
  return environment;
}

// Runs `args` with the environment of EnvironmentFor, standard output and
// standard error to the files named; its exit status.
int Spawn(const std::filesystem::path& dir, std::vector<std::string> args, const std::string& out,
          const std::string& err, const std::string& stateHome = "") {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = EnvironmentFor(dir, stateHome);
  std::vector<char*> envp;
  for (std::string& each : environment) envp.push_back(each.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs k24-testbed with the case's scenario; its exit status, with stdout
// and stderr in `dir`.
int RunTestbed(const std::filesystem::path& dir, const std::vector<std::string>& scenario,
               const std::string& updater = K24_UPDATER, const std::string& stateHome = "") {
  std::vector<std::string> args = {K24_TESTBED, "--k24update", updater, "--out", dir.string(),
                                   "--timeout", "60"};
  // The scenario's own "--" (updater arguments) must stay last.
  const auto split = std::find(scenario.begin(), scenario.end(), "--");
  args.insert(args.end(), scenario.begin(), split);
  args.insert(args.end(), split, scenario.end());
  return Spawn(dir, args, (dir / "testbed.stdout").string(), (dir / "testbed.stderr").string(), stateHome);
}

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

// Each run in a folder of its own, kept when the test fails.
class TestbedRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "k24-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!HasFailure()) std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_;
};

class UpdateThroughLibusb : public TestbedRun, public ::testing::WithParamInterface<Case> {};

TEST_P(UpdateThroughLibusb, RunsToItsEnd) {
  const Case& c = GetParam();
  const int status = RunTestbed(dir_, c.scenario);
  if (status == kTestbedCannotRun) {
    GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  }
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;

  EXPECT_EQ(ReadAll(dir_ / "output"), c.expectedOutput) << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "errors"), "") << "kept in " << dir_;  // root may open the recorder
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  EXPECT_EQ(state.at("exit-code"), std::to_string(c.expectedExitCode));
  EXPECT_EQ(state.at("boot-loader-version"), c.bootLoaderAfter);
  EXPECT_EQ(state.at("firmware-version"), c.firmwareAfter);
  EXPECT_EQ(state.at("serial-number"), c.serialAfter);
  EXPECT_EQ(state.at("control-requests") != "0", c.anyRequestMade);

  if (c.onlyQueries) {
    // Only the version and serial-number queries: no erase, write, restart.
    std::istringstream log(ReadAll(dir_ / "requests.log"));
    std::string line;
    while (std::getline(log, line)) {
      const bool query = line.rfind("in  0xC6 ", 0) == 0 || line.rfind("in  0x24 ", 0) == 0 ||
                         line.rfind("in  0xC1 ", 0) == 0 || line.rfind("in  0x20 ", 0) == 0;
      EXPECT_TRUE(query) << line;
    }
  }
  const std::string flash = ReadAll(dir_ / "flash.bin");
  ASSERT_GE(flash.size(), kImageRegionSize);
  const FlashImage firmware = BuildSampleFirmwareImage();
  const bool holdsFirmware = std::equal(firmware.begin(), firmware.begin() + kImageRegionSize, flash.begin(),
                                        [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
  EXPECT_EQ(holdsFirmware, c.imageRegion == ImageRegion::SampleFirmware)
      << "flash 0x0000-0x29FF against the first 10,752 bytes of the firmware image";
}

INSTANTIATE_TEST_SUITE_P(Scenarios, UpdateThroughLibusb, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& each) { return std::string(each.param.name); });


// A recorder whose device node this user may not open for writing counts as
// not connected (it would otherwise answer no request and read as a recorder
// without a boot loader), and standard error says why, apart from the
// dialogue; the same node opened up is found, without a word on standard
// error. Run as an unprivileged user, with k24update copied where that user
// may run it.
const std::string kRefusedHint =
    "k24update: a recorder (USB 10c4:4512) is plugged in, but this user may not open it.\n"
    "k24update: install the udev rule /usr/lib/udev/rules.d/70-k24update.rules (from the package,\n"
    "or packaging/70-k24update.rules from the source tree) and plug the recorder in again,\n"
    "or run k24update as root.\n";

struct NodeAccessCase {
  const char* name;
  const char* nodeMode;
  std::vector<std::string> keys;
  std::string expectedOutput;
  std::string expectedErrors;
};

void PrintTo(const NodeAccessCase& c, std::ostream* out) { *out << c.name; }

class DeviceNodeAccess : public TestbedRun, public ::testing::WithParamInterface<NodeAccessCase> {};

constexpr const char* kNobody = "65534";

TEST_P(DeviceNodeAccess, AsAnUnprivilegedUser) {
  const NodeAccessCase& c = GetParam();
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                         std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                         std::filesystem::perms::others_exec);
  const std::filesystem::path updater = dir_ / "k24update";
  std::filesystem::copy_file(K24_UPDATER, updater);
  std::filesystem::create_directory(dir_ / "run");
  std::vector<std::string> scenario = {"--as-user", kNobody, "--node-mode", c.nodeMode};
  scenario.insert(scenario.end(), c.keys.begin(), c.keys.end());
  const int status = RunTestbed(dir_ / "run", scenario, updater.string());
  if (status == kTestbedCannotRun) {
    GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "run" / "testbed.stderr");
  }
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "run" / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "run" / "output"), c.expectedOutput) << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "run" / "errors"), c.expectedErrors) << "kept in " << dir_;
  EXPECT_EQ(ReadState(dir_ / "run" / "state").at("exit-code"), "0");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DeviceNodeAccess,
    ::testing::Values(NodeAccessCase{"owner_only", "0600", {"--on", "press Esc to exit.\n", "--press", "esc"},
                                     kBanner + "Device is not connected.\nConnect device to continue or press Esc to exit.\n",
                                     kRefusedHint},
                      NodeAccessCase{"open_to_all", "0666", {"--on", "Press 'Y' to load", "--press", "n"},
                                     kBanner + Report("1.0").substr(0, Report("1.0").find("\r\n")), ""}),
    [](const ::testing::TestParamInfo<NodeAccessCase>& each) { return std::string(each.param.name); });

struct SignalCase {
  const char* name;  // as k24-testbed takes it
  int number;
};

void PrintTo(const SignalCase& c, std::ostream* out) { *out << c.name; }

class InterruptedUpdate : public TestbedRun, public ::testing::WithParamInterface<SignalCase> {};

// A real signal sent to k24update in the middle of the firmware programming
// (request 50 of about 200) waits until the procedure has ended: the whole
// firmware is in the recorder, and only then does the program end, by that
// signal, without the closing prompt.
TEST_P(InterruptedUpdate, SignalDuringProgrammingEndsTheProgramOnlyOnceTheFirmwareIsWhole) {
  const int status = RunTestbed(
      dir_, Join({"--boot-loader", "0x0102", "--signal-at-request", "50", GetParam().name}, FullUpdateKeys(false)));
  if (status == kTestbedCannotRun) {
    GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  }
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;

  EXPECT_EQ(ReadAll(dir_ / "output"), kBanner + Report("1.2") + "Replacing firmware...OK\n") << "kept in " << dir_;
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  EXPECT_EQ(state.at("exit-code"), std::to_string(128 + GetParam().number));
  EXPECT_EQ(state.at("image-region"), "the sample firmware image (the one k24update carries)");
  EXPECT_EQ(state.at("firmware-version"), "2.0");
  // The record was appended before the section ended, and with it the
  // program; it names the signal that ended it.
  const std::string history = ReadAll(HistoryFile(dir_));
  EXPECT_NE(history.find(std::string("firmware-after: 2.0\nsignal: SIG") + GetParam().name + "\noutcome: updated\n\n"),
            std::string::npos)
      << history;

  const std::string flash = ReadAll(dir_ / "flash.bin");
  ASSERT_GE(flash.size(), kImageRegionSize);
  const FlashImage firmware = BuildSampleFirmwareImage();
  EXPECT_TRUE(std::equal(firmware.begin(), firmware.begin() + kImageRegionSize, flash.begin(),
                         [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptedUpdate,
                         ::testing::Values(SignalCase{"INT", SIGINT}, SignalCase{"TERM", SIGTERM}),
                         [](const ::testing::TestParamInfo<SignalCase>& each) { return std::string(each.param.name); });

// The records in a history file, in order: blocks of lines, each ended by
// an empty line.
std::vector<std::string> RecordsOf(const std::string& history) {
  std::vector<std::string> records;
  for (std::size_t from = 0; from < history.size();) {
    const std::size_t end = history.find("\n\n", from);
    const std::size_t to = end == std::string::npos ? history.size() : end + 2;
    records.push_back(history.substr(from, to - from));
    from = to;
  }
  return records;
}

std::string LastLines(const std::string& record, int count) {
  std::size_t at = record.size() - 1;  // the empty line's own
  for (int i = 0; i <= count && at != std::string::npos && at > 0; ++i) at = record.rfind('\n', at - 1);
  return at == std::string::npos ? record : record.substr(at + 1);
}

struct UpgradeSignalCase {
  const char* name;   // as k24-testbed takes it
  int number;
  int atRequest;      // the recorder's control requests taken when it is sent
};

void PrintTo(const UpgradeSignalCase& c, std::ostream* out) { *out << c.name << " at " << c.atRequest; }

class SignalDuringTheBootLoaderUpgrade : public TestbedRun, public ::testing::WithParamInterface<UpgradeSignalCase> {};

// A signal held during the boot loader upgrade (flash path: requests 5 to 196)
// ends the program when the upgrade has ended, before the firmware is
// written; the run's record is closed before that and says so.
TEST_P(SignalDuringTheBootLoaderUpgrade, EndsTheProgramWithTheRecordClosed) {
  const UpgradeSignalCase& c = GetParam();
  const int status = RunTestbed(dir_, Join({"--boot-loader", "0x0100", "--signal-at-request",
                                            std::to_string(c.atRequest), c.name},
                                           FullUpdateKeys(true)));
  if (status == kTestbedCannotRun) {
    GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  }
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "output"), kBanner + Report("1.0") + UpgradeOffer("1.0")) << "kept in " << dir_;
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  EXPECT_EQ(state.at("exit-code"), std::to_string(128 + c.number));
  EXPECT_EQ(state.at("boot-loader-version"), "1.2");

  const std::vector<std::string> records = RecordsOf(ReadAll(HistoryFile(dir_)));
  ASSERT_EQ(records.size(), 2u) << "the upgrade's unfinished record and the closed one";
  EXPECT_EQ(LastLines(records[1], 4), std::string("boot-loader-after: 1.2\nfirmware-after: unknown\nsignal: SIG") +
                                          c.name + "\noutcome: ended-by-signal-after-boot-loader-upgrade\n\n");
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalDuringTheBootLoaderUpgrade,
                         ::testing::Values(UpgradeSignalCase{"INT", SIGINT, 6}, UpgradeSignalCase{"TERM", SIGTERM, 60},
                                           UpgradeSignalCase{"HUP", SIGHUP, 150},
                                           UpgradeSignalCase{"QUIT", SIGQUIT, 196}),
                         [](const ::testing::TestParamInfo<UpgradeSignalCase>& each) {
                           return std::string(each.param.name) + "At" + std::to_string(each.param.atRequest);
                         });

// A run killed while it writes (SIGKILL: nothing holds it; a power cut is
// the same) leaves the record it began with: --history shows it as it is,
// unfinished, and the next run says so in one line on standard error.
TEST_F(TestbedRun, ARunKilledWhileItWritesLeavesAnUnfinishedRecordThatTheNextRunPointsAt) {
  const int status = RunTestbed(dir_, Join({"--boot-loader", "0x0102", "--signal-at-request", "50", "KILL"},
                                           FullUpdateKeys(false)));
  if (status == kTestbedCannotRun) {
    GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  }
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "output"), kBanner + Report("1.2") + "Replacing firmware...");
  EXPECT_EQ(ReadState(dir_ / "state").at("exit-code"), std::to_string(128 + SIGKILL));
  const std::string history = ReadAll(HistoryFile(dir_));
  const std::vector<std::string> records = RecordsOf(history);
  ASSERT_EQ(records.size(), 1u) << history;
  EXPECT_EQ(LastLines(records[0], 5), "step: identity-check: K24A1 accepted\nwriting: firmware-replacement\n"
                                      "boot-loader-after: 1.2\nfirmware-after: unknown\noutcome: unfinished\n\n");

  const std::string out = (dir_ / "history.stdout").string();
  const std::string err = (dir_ / "history.stderr").string();
  EXPECT_EQ(Spawn(dir_, {K24_UPDATER, "--history"}, out, err), 0);
  EXPECT_EQ(ReadAll(out), history);

  ASSERT_EQ(RunTestbed(dir_, {"--boot-loader", "0x0102", "--on", "Press 'Y' to load", "--press", "n"}), 0)
      << ReadAll(dir_ / "testbed.stderr");
  const std::string run = records[0].substr(5, records[0].find('\n') - 5);
  EXPECT_EQ(ReadAll(dir_ / "errors"), "k24update: an earlier run (run: " + run +
                                          ", serial number ABCDE12345) ended while it was writing to a recorder; its "
                                          "record is in " + HistoryFile(dir_).string() +
                                          " (k24update --history), and \"An interrupted update\" in the README says "
                                          "what to do\n");
}

// A history that cannot grow (the file size limit, ulimit -f, below its
// size) costs one line on standard error, as any unwritable history: the
// update, the closing prompt and the terminal's mode are as ever (SIGXFSZ
// does not end the program).
TEST_F(TestbedRun, AHistoryAtTheFileSizeLimitCostsOneLine) {
  std::filesystem::create_directories(HistoryFile(dir_).parent_path());
  const std::string before = "run: 2026-12-01T00:00:00Z\n" + std::string(2000, 'x') + "\noutcome: updated\n\n";
  std::ofstream(HistoryFile(dir_)) << before;
  const int status =
      RunTestbed(dir_, Join({"--boot-loader", "0x0102", "--file-size-limit", "1024"}, FullUpdateKeys(false)));
  if (status == kTestbedCannotRun) {
    GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  }
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "output"), kBanner + Report("1.2") + kFirmwareReplaced) << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "errors"),
            "k24update: could not write the update history " + HistoryFile(dir_).string() + ": File too large\n");
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  EXPECT_EQ(state.at("exit-code"), "0");
  EXPECT_EQ(state.at("firmware-version"), "2.0");
  EXPECT_EQ(ReadAll(HistoryFile(dir_)), before);
}

// A recorder that stops answering in the middle of the replacer: libusb's own
// time limit ends the first request it leaves unanswered, the procedure ends
// there as failed with nothing more sent, and the Ctrl+C held meanwhile then
// ends the program, its record written.
TEST_F(TestbedRun, ARecorderThatStopsAnsweringCostsOneTimeLimitThenAHeldSignalActs) {
  const int status = RunTestbed(
      dir_, Join({"--boot-loader", "0x0100", "--stop-answering-after", "8", "--signal-at-request", "8", "INT"},
                 FullUpdateKeys(true)));
  if (status == kTestbedCannotRun) {
    GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  }
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  std::string upgrade = UpgradeOffer("1.0");
  upgrade.replace(upgrade.rfind("OK\n"), 3, "Failed\n");
  EXPECT_EQ(ReadAll(dir_ / "output"), kBanner + Report("1.0") + upgrade) << "kept in " << dir_;
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  EXPECT_EQ(state.at("exit-code"), std::to_string(128 + SIGINT));
  // The eight answered, the ninth left without an answer, and no more.
  EXPECT_EQ(state.at("control-requests"), "9");
  EXPECT_EQ(state.at("unanswered-transfers"), "1");
  const std::string history = ReadAll(HistoryFile(dir_));
  EXPECT_NE(history.find("failed-request: 0x21 WriteFlash, out, value 0x0040, index 0x0000, length 64\n"
                         "request-result: no answer within the driver's time limit\n"),
            std::string::npos)
      << history;
  EXPECT_NE(history.find("outcome: boot-loader-upgrade-failed\n\n"), std::string::npos) << history;
}

// The update history the real program keeps, through the real file system:
// a successful update and a failed one (a recorder that stops answering in
// the middle of the firmware, which libusb's own time limit ends) each append
// an unfinished record as each procedure begins to write, then their closing
// record; --history shows each run once, by that.
TEST_F(TestbedRun, EachUpdateLeavesItsRecordAndHistoryPrintsThem) {
  const int updated = RunTestbed(dir_, Join({"--boot-loader", "0x0100"}, FullUpdateKeys(true)));
  if (updated == kTestbedCannotRun) {
    GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  }
  ASSERT_EQ(updated, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "output"), kBanner + Report("1.0") + UpgradeOffer("1.0") + kFirmwareReplaced);
  const std::string first = ReadAll(HistoryFile(dir_));

  ASSERT_EQ(RunTestbed(dir_, Join({"--boot-loader", "0x0102", "--stop-answering-after", "10"}, FullUpdateKeys(false))),
            0)
      << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "output"),
            kBanner + Report("1.2") + "Replacing firmware...Failed\nPress any key to exit...\n");
  const std::string both = ReadAll(HistoryFile(dir_));
  ASSERT_EQ(both.rfind(first, 0), 0u) << "the first run's records stay as they were, at the start";
  const std::vector<std::string> firstRecords = RecordsOf(first);
  const std::vector<std::string> secondRecords = RecordsOf(both.substr(first.size()));
  ASSERT_EQ(firstRecords.size(), 3u) << first;
  ASSERT_EQ(secondRecords.size(), 2u) << both;
  for (const std::string* begun : {&firstRecords[0], &firstRecords[1], &secondRecords[0]}) {
    EXPECT_NE(begun->find("\noutcome: unfinished\n\n"), std::string::npos) << *begun;
  }
  const std::string& second = secondRecords[1];

  const auto tailFrom = [](const std::string& record) {
    const std::size_t step = record.find("\nstep: ");
    return step == std::string::npos ? record : record.substr(step + 1);
  };
  const std::string head = std::string("program: k24update ") + K24_EXPECTED_VERSION + "\nsample-images: yes\n";
  const std::string& firstRun = firstRecords[2];
  for (const std::string* record : {&firstRun, &second}) {
    EXPECT_EQ(record->rfind("run: ", 0), 0u) << *record;
    EXPECT_NE(record->find(head), std::string::npos) << *record;
    EXPECT_NE(record->find("\nserial-number: ABCDE12345\nboot-loader-before: "), std::string::npos) << *record;
  }
  EXPECT_EQ(tailFrom(firstRun),
            "step: identity-check: K24A1 accepted\n"
            "step: boot-loader-prepare: ok\n"
            "step: boot-loader-program-replacer: ok\n"
            "step: boot-loader-restart: ok\n"
            "step: firmware-write: ok\n"
            "step: firmware-start: ok\n"
            "step: serial-number-write: sent ABCDEW12345 (result not examined: ok)\n"
            "step: firmware-restart: sent\n"
            "boot-loader-after: 1.2\n"
            "firmware-after: 2.0\n"
            "outcome: updated\n\n");
  EXPECT_EQ(tailFrom(second),
            "step: identity-check: K24A1 accepted\n"
            "step: firmware-write: failed: request-failed\n"
            "failed-step: firmware-write\n"
            "failure: request-failed\n"
            "failed-request: 0x21 WriteFlash, out, value 0x00C0, index 0x0000, length 64\n"
            "request-result: no answer within the driver's time limit\n"
            "boot-loader-after: 1.2\n"
            "firmware-after: unknown\n"
            "outcome: firmware-replacement-failed\n\n");

  // --history reads the file alone: no testbed, no bus.
  const std::string out = (dir_ / "history.stdout").string();
  const std::string err = (dir_ / "history.stderr").string();
  EXPECT_EQ(Spawn(dir_, {K24_UPDATER, "--history"}, out, err), 0);
  EXPECT_EQ(ReadAll(out), firstRun + second);
  EXPECT_EQ(ReadAll(err), "");
}

// A file where the state directory should be: the update goes on as ever,
// with one line on standard error (on the terminal, between the dialogue's
// own lines) where the record would have been appended.
TEST_F(TestbedRun, AnUnwritableHistoryCostsOneLineAndNothingElse) {
  const std::filesystem::path inTheWay = dir_ / "not-a-directory";
  std::ofstream(inTheWay) << "a file\n";
  const int status =
      RunTestbed(dir_, Join({"--boot-loader", "0x0102"}, FullUpdateKeys(false)), K24_UPDATER, inTheWay.string());
  if (status == kTestbedCannotRun) {
    GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  }
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  // The dialogue on the terminal as always; the one line on standard error.
  EXPECT_EQ(ReadAll(dir_ / "output"), kBanner + Report("1.2") + "Replacing firmware...OK\nPress any key to exit...\n");
  EXPECT_EQ(ReadAll(dir_ / "errors"), "k24update: could not write the update history " + inTheWay.string() +
                                          "/k24update/history.log: Not a directory\n");
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  EXPECT_EQ(state.at("exit-code"), "0");
  EXPECT_EQ(state.at("firmware-version"), "2.0");
  EXPECT_EQ(ReadAll(inTheWay), "a file\n");
}

TEST_F(TestbedRun, HistoryWithoutAnyRunSaysSoOnStandardError) {
  const std::string out = (dir_ / "history.stdout").string();
  const std::string err = (dir_ / "history.stderr").string();
  EXPECT_EQ(Spawn(dir_, {K24_UPDATER, "--history"}, out, err), 2);
  EXPECT_EQ(ReadAll(out), "");
  EXPECT_EQ(ReadAll(err), "k24update: no update history yet: " + HistoryFile(dir_).string() + " does not exist\n");
}

// Standard output that takes nothing (a full disk): --history says so and
// fails, instead of leaving an empty copy that looks like the history.
TEST_F(TestbedRun, HistoryIntoAFullStandardOutputSaysSo) {
  const std::string err = (dir_ / "history.stderr").string();
  std::filesystem::create_directories(HistoryFile(dir_).parent_path());
  std::ofstream(HistoryFile(dir_)) << "run: 2026-12-10T05:12:33Z\noutcome: updated\n\n";
  EXPECT_EQ(Spawn(dir_, {K24_UPDATER, "--history"}, "/dev/full", err), 2);
  EXPECT_EQ(ReadAll(err), "k24update: could not show the update history " + HistoryFile(dir_).string() +
                              ": standard output: No space left on device\n");
}

// The trace too: with a file size limit below what the trace takes, its
// writes fail from the first record on (before the history is touched), and
// the update goes on to its end, untraced, instead of dying of SIGXFSZ in the
// middle of a recorder write.
TEST_F(TestbedRun, ATraceAtTheFileSizeLimitDoesNotEndTheRun) {
  const std::filesystem::path trace = dir_ / "trace.pcap";
  const int status = RunTestbed(
      dir_, Join(Join({"--boot-loader", "0x0102", "--file-size-limit", "100"}, FullUpdateKeys(false)),
                 {"--", "--trace", trace.string()}));
  if (status == kTestbedCannotRun) {
    GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  }
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "output"), kBanner + Report("1.2") + kFirmwareReplaced) << "kept in " << dir_;
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  EXPECT_EQ(state.at("exit-code"), "0");
  EXPECT_EQ(state.at("firmware-version"), "2.0");
  EXPECT_EQ(ReadAll(dir_ / "errors").rfind("k24update: could not write the trace " + trace.string() +
                                               ": File too large; the run goes on untraced\n",
                                           0),
            0u)
      << ReadAll(dir_ / "errors");
}

// A reader that goes away (`k24update --history | head -c 10`): --history
// says so and ends with exit code 2, as for any output that does not take the
// history, instead of dying of SIGPIPE.
TEST_F(TestbedRun, HistoryIntoAPipeClosedEarlySaysSo) {
  std::filesystem::create_directories(HistoryFile(dir_).parent_path());
  std::ofstream(HistoryFile(dir_)) << "run: 2026-12-10T05:12:33Z\noutcome: updated\n\n";
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  close(ends[0]);  // nobody reads
  const std::string err = (dir_ / "history.stderr").string();
  std::vector<std::string> environment = EnvironmentFor(dir_, "");
  std::vector<char*> envp;
  for (std::string& each : environment) envp.push_back(each.data());
  envp.push_back(nullptr);
  std::string program = K24_UPDATER;
  std::string argument = "--history";
  char* argv[] = {program.data(), argument.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << "wait status " << status;
  EXPECT_EQ(ReadAll(err), "k24update: could not show the update history " + HistoryFile(dir_).string() +
                              ": standard output: Broken pipe\n");
}

// A copy of the shipped k24update with one bit changed in one of its embedded
// images: the digests recorded in the program when it was built refuse the
// image, and the recorder is left as it was.
struct DamagedCase {
  const char* name;
  const char* section;
  std::vector<std::string> scenario;
  std::string expectedOutput;
};

const DamagedCase kDamagedCases[] = {
    {"FirmwareImage", ".k24image.FWC", {"--boot-loader", "0x0100", "--on", "Press any key", "--press", "x"},
     kBanner + "Device is connected.\nCurrent Boot Loader version: 1.0\n"
               "The firmware image in this program is missing or damaged.\nPress any key to exit.\n"},
    {"FlashReplacerImage", ".k24image.BRC20",
     {"--boot-loader", "0x0100", "--on", "Press 'Y' to load", "--press", "Y", "--on", "Press 'L'", "--press", "L",
      "--on", "Press any key", "--press", "x"},
     kBanner + Report("1.0") + "The boot loader image in this program is missing or damaged.\nPress any key to exit.\n"},
};

void PrintTo(const DamagedCase& c, std::ostream* out) { *out << c.name; }

class DamagedImageInTheProgram : public TestbedRun, public ::testing::WithParamInterface<DamagedCase> {};

TEST_P(DamagedImageInTheProgram, IsRefusedWithNothingWritten) {
  const DamagedCase& c = GetParam();
  std::string program = ReadAll(K24_UPDATER);
  const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(program.data()), program.size());
  const std::optional<FileExtent> section = FindElfSection(bytes, c.section);
  ASSERT_TRUE(section && section->size >= kFlashImageSize) << c.section;
  bytes[static_cast<std::size_t>(section->offset) + 0x4321] ^= 0x08;  // one bit, in the bytes used
  const std::filesystem::path copy = dir_ / "k24update";
  {
    std::ofstream out(copy, std::ios::binary);
    out.write(program.data(), static_cast<std::streamsize>(program.size()));
    ASSERT_TRUE(out.good());
  }
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);

  const int status = RunTestbed(dir_, c.scenario, copy.string());
  if (status == kTestbedCannotRun) {
    GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  }
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "output"), c.expectedOutput) << "kept in " << dir_;
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  EXPECT_EQ(state.at("exit-code"), "0");
  EXPECT_EQ(state.at("boot-loader-version"), "1.0");
  EXPECT_EQ(state.at("firmware-version"), "1.2");
  EXPECT_EQ(state.at("serial-number"), "ABCDE12345");
  const std::string flash = ReadAll(dir_ / "flash.bin");
  const FlashImage firmware = BuildSampleFirmwareImage();
  ASSERT_GE(flash.size(), kImageRegionSize);
  EXPECT_FALSE(std::equal(firmware.begin(), firmware.begin() + kImageRegionSize, flash.begin(),
                          [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
}

INSTANTIATE_TEST_SUITE_P(Sections, DamagedImageInTheProgram, ::testing::ValuesIn(kDamagedCases),
                         [](const ::testing::TestParamInfo<DamagedCase>& each) {
                           return std::string(each.param.name);
                         });

// ---- More than one recorder on the bus ----

// The lines of requests.log that name the recorder at `place`.
std::vector<std::string> LogLinesOf(const std::string& log, const std::string& place) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(place + " ", 0) == 0) lines.push_back(line.substr(place.size() + 1));
  }
  return lines;
}

// What a recorder left alone still holds: no request reached it, and its
// versions, serial number and flash are as they were.
void ExpectUntouched(const std::map<std::string, std::string>& state, const std::string& place,
                     const std::string& bootLoader, const std::string& serial, const std::string& log) {
  EXPECT_EQ(state.at(place + " control-requests"), "0") << place;
  EXPECT_EQ(state.at(place + " bulk-transfers"), "0") << place;
  EXPECT_EQ(state.at(place + " string-descriptor-reads"), "0") << place;
  EXPECT_EQ(state.at(place + " boot-loader-version"), bootLoader) << place;
  EXPECT_EQ(state.at(place + " firmware-version"), "1.2") << place;
  EXPECT_EQ(state.at(place + " serial-number"), serial) << place;
  EXPECT_EQ(state.at(place + " image-region"), "other data (not the sample firmware image)") << place;
  for (const std::string& line : LogLinesOf(log, place)) {
    EXPECT_TRUE(line == "plugged in" || line == "unplugged") << place << " got " << line;
  }
}

void ExpectUpdated(const std::map<std::string, std::string>& state, const std::string& place) {
  EXPECT_EQ(state.at(place + " boot-loader-version"), "1.2") << place;
  EXPECT_EQ(state.at(place + " firmware-version"), "2.0") << place;
  EXPECT_EQ(state.at(place + " serial-number"), "ABCDEW12345") << place;
  EXPECT_EQ(state.at(place + " image-region"), "the sample firmware image (the one k24update carries)") << place;
}

const std::string kTwoRecorders =
    "2 recorders are connected, at 1-1 and 1-2.\n"
    "Disconnect all but the one to update, or press Esc and start k24update again with --path\n"
    "and the place of the one to update (k24update --list shows each one's versions and serial number).\n";

// Two recorders at the connection: nothing goes to either while both are
// there; once the second is unplugged, the first is updated in full and the
// second was never touched.
TEST_F(TestbedRun, TwoRecordersAtTheConnectionGetNothingUntilOneGoes) {
  const int status = RunTestbed(
      dir_, Join({"--boot-loader", "0x0100", "--recorder", "1-2", "--serial", "ZZZZZ99999", "--on",
                  "recorders are connected", "--unplug", "1-2"},
                 FullUpdateKeys(true)));
  if (status == kTestbedCannotRun) GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "output"), kBanner + kTwoRecorders + Report("1.0") + UpgradeOffer("1.0") + kFirmwareReplaced)
      << "kept in " << dir_;
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  const std::string log = ReadAll(dir_ / "requests.log");
  EXPECT_EQ(state.at("exit-code"), "0");
  ExpectUpdated(state, "1-1");
  ExpectUntouched(state, "1-2", "1.0", "ZZZZZ99999", log);
  // Not one request before the second recorder went.
  EXPECT_EQ(log.rfind("1-2 unplugged\n1-1 in  0xC6 ", 0), 0u) << log.substr(0, 200);
}

struct RestartWaitCase {
  const char* name;
  const char* bootLoader;
  int restart;  // the first recorder's restart as which the second is plugged in
};

void PrintTo(const RestartWaitCase& c, std::ostream* out) { *out << c.name; }

class SecondRecorderDuringARestart : public TestbedRun, public ::testing::WithParamInterface<RestartWaitCase> {};

// A second recorder plugged in elsewhere as the first leaves for a restart
// the update waits for: its arrival is not the first's return, it gets no
// request, and the first is updated in full.
TEST_P(SecondRecorderDuringARestart, GetsNothingAndTheFirstIsUpdatedInFull) {
  const RestartWaitCase& c = GetParam();
  const int status =
      RunTestbed(dir_, Join({"--boot-loader", c.bootLoader, "--recorder", "1-2", "--serial", "ZZZZZ99999",
                             "--plug-in-when", "restart:1-1:" + std::to_string(c.restart)},
                            FullUpdateKeys(true)));
  if (status == kTestbedCannotRun) GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  const std::string from = std::string(c.bootLoader) == "0x00FF" ? "0.255" : "1.0";
  EXPECT_EQ(ReadAll(dir_ / "output"), kBanner + Report(from) + UpgradeOffer(from) + kFirmwareReplaced)
      << "kept in " << dir_;
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  const std::string log = ReadAll(dir_ / "requests.log");
  ExpectUpdated(state, "1-1");
  ExpectUntouched(state, "1-2", "1.0", "ZZZZZ99999", log);
  EXPECT_EQ(LogLinesOf(log, "1-2"), std::vector<std::string>{"plugged in"}) << "kept in " << dir_;
  EXPECT_EQ(state.at("1-2 on-bus"), "yes");
}

INSTANTIATE_TEST_SUITE_P(
    Waits, SecondRecorderDuringARestart,
    ::testing::Values(RestartWaitCase{"flash_into_programming_for_the_boot_loader", "0x0100", 1},
                      RestartWaitCase{"flash_installing_the_boot_loader", "0x0100", 2},
                      RestartWaitCase{"flash_into_programming_for_the_firmware", "0x0100", 3},
                      RestartWaitCase{"flash_into_the_new_firmware", "0x0100", 4},
                      RestartWaitCase{"nand_taking_the_boot_area", "0x00FF", 1},
                      RestartWaitCase{"nand_into_programming_for_the_firmware", "0x00FF", 2},
                      RestartWaitCase{"nand_into_the_new_firmware", "0x00FF", 3}),
    [](const ::testing::TestParamInfo<RestartWaitCase>& each) { return std::string(each.param.name); });

// The operator swaps recorders at the upgrade prompt, after the first was
// examined: its boot loader (0.255) chose the NAND rewrite. The other one
// (boot loader 1.0), plugged in elsewhere, must not get it: nothing is
// written to it, and the upgrade fails.
TEST_F(TestbedRun, ASwapAtAPromptWritesNothingToTheRecorderNotExamined) {
  const int status = RunTestbed(
      dir_, {"--boot-loader", "0x00FF", "--recorder", "1-2", "--serial", "ZZZZZ99999", "--unplugged", "--on",
             "Press 'Y' to load", "--press", "Y", "--on", "Press 'L'", "--press", "L", "--on", "Press 'Y' to upgrade",
             "--unplug", "1-1", "--on", "Press 'Y' to upgrade", "--plug", "1-2", "--on", "Press 'Y' to upgrade",
             "--press", "Y", "--on", "Press any key", "--press", "x"});
  if (status == kTestbedCannotRun) GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  const std::string prompt = UpgradeOffer("0.255");
  EXPECT_EQ(ReadAll(dir_ / "output"), kBanner + Report("0.255") + prompt.substr(0, prompt.find("Replacing")) +
                                          "Replacing Boot Loader...Failed\nPress any key to exit.\n")
      << "kept in " << dir_;
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  const std::string log = ReadAll(dir_ / "requests.log");
  ExpectUntouched(state, "1-2", "1.0", "ZZZZZ99999", log);
  EXPECT_EQ(state.at("1-2 nand-block-erases"), "0");
  EXPECT_EQ(state.at("1-2 on-bus"), "yes");
  EXPECT_EQ(state.at("1-1 nand-block-erases"), "0");
}

// Three recorders, two of them behind a hub on port 3: the options that make
// them, and what --list shows of them.
const std::vector<std::string> kThreeRecorders = {
    "--boot-loader", "0x0100",     "--recorder", "1-3.1",      "--boot-loader", "0x0102", "--firmware", "0",
    "--serial",      "ZZZZZW9999", "--recorder", "1-3.2",      "--serial",      "QQQQQ11111"};

TEST_F(TestbedRun, ListShowsEachOfThreeRecordersFromTheQueriesAlone) {
  const int status = RunTestbed(dir_, Join(kThreeRecorders, {"--", "--list"}));
  if (status == kTestbedCannotRun) GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "output"),
            "1-1: boot loader 1.0, firmware 1.2, serial number ABCDE12345\n"
            "1-3.1: boot loader 1.2, firmware unavailable, serial number ZZZZZW9999\n"
            "1-3.2: boot loader 1.0, firmware 1.2, serial number QQQQQ11111\n")
      << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "errors"), "");
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  EXPECT_EQ(state.at("exit-code"), "0");
  const std::string log = ReadAll(dir_ / "requests.log");
  for (const std::string place : {"1-1", "1-3.1", "1-3.2"}) {
    const std::vector<std::string> lines = LogLinesOf(log, place);
    EXPECT_EQ(lines.size(), 3u) << place;
    for (const std::string& line : lines) {
      const bool query = line.rfind("in  0xC6 ", 0) == 0 || line.rfind("in  0x24 ", 0) == 0 ||
                         line.rfind("in  0xC1 ", 0) == 0 || line.rfind("in  0x20 value=0xDE00", 0) == 0;
      EXPECT_TRUE(query) << place << ": " << line;
    }
  }
  EXPECT_TRUE(std::filesystem::exists(HistoryFile(dir_)) == false) << "a listing leaves no record";
}

TEST_F(TestbedRun, PathUpdatesTheRecorderAtThatPlaceAlone) {
  const int status = RunTestbed(dir_, Join(Join(kThreeRecorders, FullUpdateKeys(true)), {"--", "--path", "1-3.2"}));
  if (status == kTestbedCannotRun) GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  std::string report = Report("1.0");
  report.replace(report.find("ABCDE12345"), 10, "QQQQQ11111");
  EXPECT_EQ(ReadAll(dir_ / "output"), kBanner + report + UpgradeOffer("1.0") + kFirmwareReplaced)
      << "kept in " << dir_;
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  const std::string log = ReadAll(dir_ / "requests.log");
  EXPECT_EQ(state.at("1-3.2 firmware-version"), "2.0");
  EXPECT_EQ(state.at("1-3.2 serial-number"), "QQQQQW11111");
  EXPECT_EQ(state.at("1-3.2 image-region"), "the sample firmware image (the one k24update carries)");
  ExpectUntouched(state, "1-1", "1.0", "ABCDE12345", log);
  EXPECT_EQ(state.at("1-3.1 control-requests"), "0");
  EXPECT_EQ(state.at("1-3.1 serial-number"), "ZZZZZW9999");
}

// The listing's ends through the real program: nothing on the bus, and
// another application holding the lock (nothing asked of the recorder).
TEST_F(TestbedRun, ListWithoutARecorderOrWithTheLockHeldElsewhere) {
  int status = RunTestbed(dir_, {"--unplugged", "--", "--list"});
  if (status == kTestbedCannotRun) GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "output"), "");
  EXPECT_EQ(ReadAll(dir_ / "errors"), "k24update: no recorder (USB 10c4:4512) is connected\n");
  EXPECT_EQ(ReadState(dir_ / "state").at("exit-code"), "2");

  status = RunTestbed(dir_, {"--hold-lock", "--", "--list"});
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;
  EXPECT_EQ(ReadAll(dir_ / "output"), "Close all other digital recorder applications and try again.\n");
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  EXPECT_EQ(state.at("exit-code"), "1");
  EXPECT_EQ(state.at("control-requests"), "0");
}

}  // namespace
}  // namespace k24::test
