// Runs of the shipped k24update against k24-testbed, and of the tools beside
// it, for the end-to-end tests of the trace: each run in a folder of its own,
// with the update history kept there.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace k24::test {

inline constexpr int kTestbedCannotRun = 77;

std::string ReadAll(const std::filesystem::path& path);
std::map<std::string, std::string> ReadState(const std::filesystem::path& path);

// Runs `args` with XDG_STATE_HOME in `dir`, standard input from /dev/null
// and standard output and error into the files named; its exit status (-1
// when it did not exit).
int Spawn(const std::filesystem::path& dir, std::vector<std::string> args, const std::string& out,
          const std::string& err);

// k24-testbed with `scenario` (recorder options and keys) and `updaterArgs`
// for k24update; results in `dir` (output, errors, state, requests.log, ...).
int RunTestbed(const std::filesystem::path& dir, const std::vector<std::string>& scenario,
               const std::vector<std::string>& updaterArgs = {});

// A program's exit status, with its standard output in `out`.
int RunForOutput(const std::filesystem::path& dir, const std::vector<std::string>& args, std::string& out);

// The keys of a full update; `upgrade` when the boot loader upgrade is offered.
std::vector<std::string> FullUpdateKeys(bool upgrade);

// A folder for the test's runs, kept when the test fails.
class TestbedRun : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path dir_;
};

}  // namespace k24::test
