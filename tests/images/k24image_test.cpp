// The image tool as its users run it: exit codes, messages, and the files it writes.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/sha256.h"
#include "images/image_store.h"
#include "tests/images/elf_file_builder.h"
#include "tools/sample_images.h"

namespace k24::test {
namespace {

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string ReadText(const std::string& path) {
  const std::vector<std::uint8_t> bytes = ReadWholeFile(path);
  return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) { return ReadWholeFile(path); }

// `arguments` are put on a shell command line as they are; the tests' paths
// have no characters the shell would take apart.
ToolRun RunTool(const std::string& arguments) {
  const std::string outPath = WriteTempFile("tool.out", {});
  const std::string errPath = WriteTempFile("tool.err", {});
  const std::string command =
      std::string(K24IMAGE_PATH) + " " + arguments + " >" + outPath + " 2>" + errPath;
  const int status = std::system(command.c_str());
  ToolRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadText(outPath);
  run.err = ReadText(errPath);
  return run;
}

const std::string kSampleDir = K24_SAMPLE_IMAGE_DIR;

TEST(K24image, InfoShowsTheFirmwareFieldsOfTheSample) {
  const ToolRun run = RunTool("info " + kSampleDir + "/FWC.bin");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  // The digest as sha256sum shows it, which the build records in k24update.
  const std::string digest = Sha256Hex(Sha256(ReadBytes(kSampleDir + "/FWC.bin")));
  EXPECT_EQ(run.out, kSampleDir + "/FWC.bin: 65536 bytes, usable (the first 64512 are read)\n"
                     "  sha256: " + digest + "\n"
                     "  firmware version: 2.0\n"
                     "  carried boot loader version: 1.2\n"
                     "  model identity: \"K24A1\"\n");
  EXPECT_EQ(run.err, "");
}

TEST(K24image, InfoSaysAReplacerIsNoFirmwareImage) {
  const ToolRun run = RunTool("info " + kSampleDir + "/BRC20.bin");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("65536 bytes, usable"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\n  sha256: " + Sha256Hex(Sha256(ReadBytes(kSampleDir + "/BRC20.bin"))) + "\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("not a firmware image"), std::string::npos) << run.out;
}

TEST(K24image, WrongSizesAndUnreadableFilesAreErrors) {
  const std::vector<std::uint8_t> stored = StoreImage(BuildSampleFirmwareImage());
  struct Case {
    std::string arguments;
    std::string errorContains;
  };
  const Case cases[] = {
      {"info " + WriteTempFile("short.bin", std::span(stored).first(kFlashImageSize)), "wrong size"},
      {"info " + WriteTempFile("long.bin", std::vector<std::uint8_t>(kStoredImageSize + 1)), "wrong size"},
      {"info " + WriteTempFile("empty.bin", {}), "wrong size"},
      {"info /nonexistent/FWC.bin", "cannot read"},
      {"info " + kSampleDir, "cannot read"},
      {"scramble " + WriteTempFile("short2.bin", std::span(stored).first(100)) + " " +
           ::testing::TempDir() + "k24_never_written.bin",
       "wrong size"},
      {"scramble " + kSampleDir + "/FWC.bin /nonexistent/dir/out.bin", "cannot write"},
  };
  for (const Case& c : cases) {
    const ToolRun run = RunTool(c.arguments);
    EXPECT_EQ(run.exitCode, 1) << c.arguments;
    EXPECT_NE(run.err.find(c.errorContains), std::string::npos) << c.arguments << ": " << run.err;
  }
}

TEST(K24image, UnknownCommandsShowTheUsage) {
  for (const char* arguments : {"", "info", "scramble a", "unscramble a b", "sample a b"}) {
    const ToolRun run = RunTool(arguments);
    EXPECT_EQ(run.exitCode, 2) << arguments;
    EXPECT_NE(run.err.find("usage:"), std::string::npos) << arguments;
  }
}

TEST(K24image, ScrambleDescramblesAndScramblesBack) {
  const std::string plain = ::testing::TempDir() + "k24_images_plain_" + std::to_string(::getpid());
  const std::string again = plain + ".again";
  ASSERT_EQ(RunTool("scramble " + kSampleDir + "/FWC.bin " + plain).exitCode, 0);
  const std::vector<std::uint8_t> descrambled = ReadBytes(plain);
  ASSERT_EQ(descrambled.size(), kStoredImageSize);
  const FlashImage sample = BuildSampleFirmwareImage();
  EXPECT_TRUE(std::equal(sample.begin(), sample.end(), descrambled.begin()));
  EXPECT_TRUE(std::all_of(descrambled.begin() + kFlashImageSize, descrambled.end(),
                          [](std::uint8_t b) { return b == 0xFF; }))
      << "the unused tail is copied, not scrambled";

  ASSERT_EQ(RunTool("scramble " + plain + " " + again).exitCode, 0);
  EXPECT_EQ(ReadBytes(again), ReadBytes(kSampleDir + "/FWC.bin"));
}

TEST(K24image, SampleWritesTheThreeStoredSamples) {
  const std::string directory = ::testing::TempDir() + "k24_images_samples_" + std::to_string(::getpid()) + "/new";
  ASSERT_EQ(RunTool("sample " + directory).exitCode, 0);
  EXPECT_EQ(ReadBytes(directory + "/FWC.bin"), StoreImage(BuildSampleFirmwareImage()));
  EXPECT_EQ(ReadBytes(directory + "/BRC.bin"), StoreImage(BuildSampleNandReplacerImage()));
  EXPECT_EQ(ReadBytes(directory + "/BRC20.bin"), StoreImage(BuildSampleFlashReplacerImage()));
}

}  // namespace
}  // namespace k24::test
