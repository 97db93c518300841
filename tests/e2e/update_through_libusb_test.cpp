// The shipped k24update, through the real libusb, against the recorder model on
// a mocked USB bus: each case runs the whole program on a terminal of its own
// with k24-testbed, types its keys as the prompts appear, and checks the whole
// output, the exit code and what the recorder holds afterwards.
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

namespace k24 {
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
    {"LockHeldByAnotherApplication", {"--hold-lock", "--on", "Press any key", "--press", "x"},
     kBanner + "Close all other digital recorder applications and try again.\nPress any key to exit.\n", 1,
     ImageRegion::AsInstalled, "1.0", "1.2", "ABCDE12345", false},
    {"NotConnectedThenPluggedIn", {"--plug-in", "--on", "Press 'Y' to load", "--press", "n"},
     kBanner + "Device is not connected.\nConnect device to continue or press Esc to exit.\n" +
         Report("1.0").substr(0, Report("1.0").find("\r\n")),
     0, ImageRegion::AsInstalled, "1.0", "1.2", "ABCDE12345", true},
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

// Runs k24-testbed with the case's scenario; its exit status, with stdout
// and stderr in `dir`.
int RunTestbed(const std::filesystem::path& dir, const std::vector<std::string>& scenario,
               const std::string& updater = K24_UPDATER) {
  std::vector<std::string> args = {K24_TESTBED, "--k24update", updater, "--out", dir.string(),
                                   "--timeout", "60"};
  // The scenario's own "--" (updater arguments) must stay last.
  const auto split = std::find(scenario.begin(), scenario.end(), "--");
  args.insert(args.end(), scenario.begin(), split);
  args.insert(args.end(), split, scenario.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = (dir / "testbed.stdout").string();
  const std::string err = (dir / "testbed.stderr").string();
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class UpdateThroughLibusb : public ::testing::TestWithParam<Case> {
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

TEST_P(UpdateThroughLibusb, RunsToItsEnd) {
  const Case& c = GetParam();
  const int status = RunTestbed(dir_, c.scenario);
  if (status == kTestbedCannotRun) {
    GTEST_SKIP() << "umockdev cannot run here: " << ReadAll(dir_ / "testbed.stderr");
  }
  ASSERT_EQ(status, 0) << ReadAll(dir_ / "testbed.stderr") << "kept in " << dir_;

  EXPECT_EQ(ReadAll(dir_ / "output"), c.expectedOutput) << "kept in " << dir_;
  const std::map<std::string, std::string> state = ReadState(dir_ / "state");
  EXPECT_EQ(state.at("exit-code"), std::to_string(c.expectedExitCode));
  EXPECT_EQ(state.at("boot-loader-version"), c.bootLoaderAfter);
  EXPECT_EQ(state.at("firmware-version"), c.firmwareAfter);
  EXPECT_EQ(state.at("serial-number"), c.serialAfter);
  EXPECT_EQ(state.at("control-requests") != "0", c.anyRequestMade);

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

class DamagedImageInTheProgram : public ::testing::TestWithParam<DamagedCase> {
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

}  // namespace
}  // namespace k24
