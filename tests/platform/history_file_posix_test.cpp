// The update history's file on Linux, in a temporary directory standing for
// this user's state directory (XDG_STATE_HOME, HOME).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "dialogue/history_store.h"

namespace k24::test {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

mode_t ModeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

// Sets or unsets one variable for the length of a test.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* before = std::getenv(name)) before_ = before;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (before_) {
      setenv(name_, before_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> before_;
};

class HistoryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "k24-history-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(HistoryFileTest, MakesWhatIsMissingForThisUserAloneAndAppendsEachRecordWhole) {
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  ScopedVariable xdg("XDG_STATE_HOME", (dir_ / "state" / "deeper").string());
  const fs::path file = dir_ / "state" / "deeper" / "k24update" / "history.log";
  const std::unique_ptr<HistoryStore> store = MakeSystemHistoryStore();
  const HistoryWrite first = store->Append("run: 1\noutcome: updated\n\n");
  EXPECT_TRUE(first.ok) << first.reason;
  EXPECT_EQ(first.location, file.string());
  EXPECT_TRUE(store->Append("run: 2\noutcome: declined-at-offer\n\n").ok);
  EXPECT_EQ(ReadAll(file), "run: 1\noutcome: updated\n\nrun: 2\noutcome: declined-at-offer\n\n");
  EXPECT_EQ(ModeOf(dir_ / "state"), 0700u);
  EXPECT_EQ(ModeOf(dir_ / "state" / "deeper" / "k24update"), 0700u);
  EXPECT_EQ(ModeOf(file), 0600u);
  EXPECT_EQ(ModeOf(dir_), 0755u) << "a directory that was there is left as it was";

  const HistoryRead read = store->Read();
  EXPECT_EQ(read.status, HistoryRead::Status::Read);
  EXPECT_EQ(read.text, ReadAll(file));
}

struct PathCase {
  const char* name;
  std::optional<std::string> xdgStateHome;  // relative to the test's directory when it starts with '+'
  const char* expected;                     // relative to the test's directory
};

void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }

class HistoryFilePathTest : public HistoryFileTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(HistoryFilePathTest, GoesWhereTheVariablesSay) {
  std::optional<std::string> xdg = GetParam().xdgStateHome;
  if (xdg && !xdg->empty() && xdg->front() == '+') xdg = (dir_ / xdg->substr(1)).string();
  ScopedVariable xdgVariable("XDG_STATE_HOME", xdg);
  ScopedVariable home("HOME", (dir_ / "home").string());
  const HistoryWrite written = MakeSystemHistoryStore()->Append("run: x\n\n");
  EXPECT_TRUE(written.ok) << written.reason;
  EXPECT_EQ(written.location, (dir_ / GetParam().expected).string());
  EXPECT_EQ(ReadAll(dir_ / GetParam().expected), "run: x\n\n");
}

INSTANTIATE_TEST_SUITE_P(
    Variables, HistoryFilePathTest,
    ::testing::Values(PathCase{"xdg_state_home", "+xdg", "xdg/k24update/history.log"},
                      PathCase{"empty", "", "home/.local/state/k24update/history.log"},
                      PathCase{"relative", "xdg", "home/.local/state/k24update/history.log"},
                      PathCase{"unset", std::nullopt, "home/.local/state/k24update/history.log"}),
    [](const auto& instance) { return std::string(instance.param.name); });

// What stands in the way, and the reason given: these hold for root too.
struct UnwritableCase {
  const char* name;
  void (*obstruct)(const fs::path& state);
  const char* reason;
};

void PrintTo(const UnwritableCase& c, std::ostream* out) { *out << c.name; }

class UnwritableHistoryFileTest : public HistoryFileTest, public ::testing::WithParamInterface<UnwritableCase> {};

TEST_P(UnwritableHistoryFileTest, SaysWhereAndWhy) {
  const fs::path state = dir_ / "state";
  GetParam().obstruct(state);
  ScopedVariable xdg("XDG_STATE_HOME", state.string());
  const std::unique_ptr<HistoryStore> store = MakeSystemHistoryStore();
  const HistoryWrite written = store->Append("run: x\n\n");
  EXPECT_FALSE(written.ok);
  EXPECT_EQ(written.location, (state / "k24update" / "history.log").string());
  EXPECT_EQ(written.reason, GetParam().reason);
  EXPECT_EQ(store->Read().status, HistoryRead::Status::Unreadable);
}

INSTANTIATE_TEST_SUITE_P(
    Obstacles, UnwritableHistoryFileTest,
    ::testing::Values(
        UnwritableCase{"a_file_where_the_state_directory_should_be",
                       [](const fs::path& state) { std::ofstream(state) << "not a directory"; }, "Not a directory"},
        UnwritableCase{"a_directory_where_the_file_should_be",
                       [](const fs::path& state) { fs::create_directories(state / "k24update" / "history.log"); },
                       "Is a directory"}),
    [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(HistoryFileTest, WithoutAnAbsoluteStateDirectoryNothingIsWritten) {
  ScopedVariable xdg("XDG_STATE_HOME", "relative");
  ScopedVariable home("HOME", std::nullopt);
  const HistoryWrite written = MakeSystemHistoryStore()->Append("run: x\n\n");
  EXPECT_FALSE(written.ok);
  EXPECT_EQ(written.location, "");
  EXPECT_EQ(written.reason, "neither XDG_STATE_HOME nor HOME is an absolute path");
}

TEST_F(HistoryFileTest, NoFileYetIsNoHistoryYet) {
  ScopedVariable xdg("XDG_STATE_HOME", (dir_ / "state").string());
  const HistoryRead read = MakeSystemHistoryStore()->Read();
  EXPECT_EQ(read.status, HistoryRead::Status::Missing);
  EXPECT_EQ(read.location, (dir_ / "state" / "k24update" / "history.log").string());
  EXPECT_FALSE(fs::exists(dir_ / "state")) << "reading makes nothing";
}

}  // namespace
}  // namespace k24::test
