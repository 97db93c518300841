// k24update.exe answers --help and --version as the Linux program does, from
// the same texts, and ends with exit code 0 before any dialogue starts.
#include <gtest/gtest.h>
#include <windows.h>

#include <ostream>
#include <string>

#include "app/command_line.h"
#include "images/image_digests.h"
#include "tests/windows/windows_process.h"

namespace k24 {
namespace {

// Standard output is in text mode, as in every Windows program: "\n" goes out
// as "\r\n".
std::string AsWritten(const std::string& text) {
  std::string written;
  for (const char c : text) {
    if (c == '\n') written += '\r';
    written += c;
  }
  return written;
}

struct AnswerCase {
  const char* name;
  const char* argument;
  std::string expected;
};

void PrintTo(const AnswerCase& c, std::ostream* out) { *out << c.name; }

class Win32CommandLine : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(Win32CommandLine, K24updatePrintsTheAnswerAndEndsWithExitCode0) {
  test::ChildProcess updater;
  // No console at all. A dialogue started instead would wait for a recorder
  // until Finish ends it.
  ASSERT_TRUE(updater.Start(test::Quoted(K24_UPDATER) + " " + GetParam().argument, DETACHED_PROCESS));
  EXPECT_EQ(updater.Finish(30'000), 0u);
  EXPECT_EQ(updater.Output(), AsWritten(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, Win32CommandLine,
    ::testing::Values(AnswerCase{"help", "--help", UsageText()},
                      AnswerCase{"version", "--version", VersionText(EmbeddedImagesAreSamples())}),
    [](const ::testing::TestParamInfo<AnswerCase>& each) { return std::string(each.param.name); });

}  // namespace
}  // namespace k24
