// The update history's file on Linux, in a temporary directory standing for
// this user's state directory (XDG_STATE_HOME, HOME).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "history/history_file_posix.h"
#include "history/history_store.h"

namespace k24::test {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The history as the store hands it over, a piece at a time.
HistoryRead ReadThrough(HistoryStore& store, std::string& text) {
  return store.Read([&](std::string_view piece, std::string&) {
    text += piece;
    return true;
  });
}

const char* StatusName(HistoryRead::Status status) {
  switch (status) {
    case HistoryRead::Status::Read: return "read";
    case HistoryRead::Status::Missing: return "missing";
    case HistoryRead::Status::Unreadable: return "unreadable";
    case HistoryRead::Status::NotShown: return "not shown";
  }
  return "?";
}

// Runs `body` in a child process and gives back what it returned. Should the
// body block, an alarm ends the child and the answer says so: a test that
// would otherwise wait for ever fails instead.
std::string InChild(const std::function<std::string()>& body) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return "(no pipe)";
  const pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    alarm(20);
    const std::string answer = body();
    const ssize_t wrote = write(pipeEnds[1], answer.data(), answer.size());
    _exit(wrote == static_cast<ssize_t>(answer.size()) ? 0 : 1);
  }
  close(pipeEnds[1]);
  std::string answer;
  char buffer[256];
  for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) != 0;) {
    if (got > 0) answer.append(buffer, static_cast<std::size_t>(got));
    else if (errno != EINTR) break;
  }
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) {
    return "(the child was ended by signal " + std::to_string(WTERMSIG(status)) + ", blocked)";
  }
  return answer;
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

  std::string text;
  const HistoryRead read = ReadThrough(*store, text);
  EXPECT_EQ(read.status, HistoryRead::Status::Read);
  EXPECT_EQ(text, ReadAll(file));
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

// What stands in the way, and the reasons given: these hold for root too.
// Appending must not block (it runs while ending signals are held), nor
// follow a link; reading takes a regular file alone, so that neither a FIFO
// nor a device stands for the history.
struct ObstacleCase {
  const char* name;
  int (*obstruct)(const fs::path& state, const fs::path& file);  // a descriptor to keep open, or -1
  const char* appendReason;
  const char* read;  // the read's status and reason
};

void PrintTo(const ObstacleCase& c, std::ostream* out) { *out << c.name; }

class HistoryFileObstacleTest : public HistoryFileTest, public ::testing::WithParamInterface<ObstacleCase> {};

TEST_P(HistoryFileObstacleTest, SaysWhereAndWhyWithoutWaiting) {
  const fs::path state = dir_ / "state";
  const fs::path file = state / "k24update" / "history.log";
  const fs::path elsewhere = dir_ / "elsewhere";
  std::ofstream(elsewhere) << "kept\n";
  const int keptOpen = GetParam().obstruct(state, file);
  ScopedVariable xdg("XDG_STATE_HOME", state.string());
  const std::string answer = InChild([&] {
    const std::unique_ptr<HistoryStore> store = MakeSystemHistoryStore();
    const HistoryWrite written = store->Append("run: x\n\n");
    std::string text;
    const HistoryRead read = store->Read([&](std::string_view piece, std::string& reason) {
      text += piece;
      if (text.size() < 1024 * 1024) return true;
      reason = "more than a history holds";  // /dev/zero ends here
      return false;
    });
    return std::string(written.ok ? "written" : "not written") + " to " + written.location + ": " + written.reason +
           "\n" + StatusName(read.status) + ": " + read.reason + ", " + std::to_string(text.size()) + " bytes";
  });
  if (keptOpen >= 0) close(keptOpen);
  EXPECT_EQ(answer, "not written to " + file.string() + ": " + GetParam().appendReason + "\n" + GetParam().read);
  EXPECT_EQ(ReadAll(elsewhere), "kept\n") << "what a link points to is left as it was";
}

int MakeFifo(const fs::path& file) {
  fs::create_directories(file.parent_path());
  EXPECT_EQ(mkfifo(file.c_str(), 0600), 0);
  return -1;
}

int MakeLink(const fs::path& file, const fs::path& target) {
  fs::create_directories(file.parent_path());
  fs::create_symlink(target, file);
  return -1;
}

INSTANTIATE_TEST_SUITE_P(
    Obstacles, HistoryFileObstacleTest,
    ::testing::Values(
        ObstacleCase{"a_file_where_the_state_directory_should_be",
                     [](const fs::path& state, const fs::path&) {
                       std::ofstream(state) << "not a directory";
                       return -1;
                     },
                     "Not a directory", "unreadable: Not a directory, 0 bytes"},
        ObstacleCase{"a_directory_where_the_file_should_be",
                     [](const fs::path&, const fs::path& file) {
                       fs::create_directories(file);
                       return -1;
                     },
                     "Is a directory", "unreadable: it is not a regular file, 0 bytes"},
        ObstacleCase{"a_fifo_without_a_reader_or_writer",
                     [](const fs::path&, const fs::path& file) { return MakeFifo(file); },
                     "it is not a regular file", "unreadable: it is not a regular file, 0 bytes"},
        ObstacleCase{"a_fifo_with_a_reader",
                     [](const fs::path&, const fs::path& file) {
                       MakeFifo(file);
                       return open(file.c_str(), O_RDONLY | O_NONBLOCK);
                     },
                     "it is not a regular file", "unreadable: it is not a regular file, 0 bytes"},
        ObstacleCase{"a_link_to_a_file",
                     [](const fs::path& state, const fs::path& file) {
                       return MakeLink(file, state.parent_path() / "elsewhere");
                     },
                     "it is a symbolic link, which is not followed",
                     "unreadable: it is a symbolic link, which is not followed, 0 bytes"},
        // Another name of a file elsewhere: as root, another user's hard
        // link to a file of root's would otherwise pass for root's history.
        ObstacleCase{"a_hard_link",
                     [](const fs::path& state, const fs::path& file) {
                       fs::create_directories(file.parent_path());
                       fs::create_hard_link(state.parent_path() / "elsewhere", file);
                       return -1;
                     },
                     "it has 2 names (hard links), not one", "unreadable: it has 2 names (hard links), not one, 0 bytes"},
        ObstacleCase{"a_link_to_dev_zero",
                     [](const fs::path&, const fs::path& file) { return MakeLink(file, "/dev/zero"); },
                     "it is a symbolic link, which is not followed",
                     "unreadable: it is a symbolic link, which is not followed, 0 bytes"}),
    [](const auto& instance) { return std::string(instance.param.name); });

// No symbolic link is followed in any directory of the path either, for
// writing or reading: a link planted there (by another user, for a run as
// root) never decides where the history goes. The directory it points to is
// left as it was.
struct DirectoryLinkCase {
  const char* name;
  const char* link;          // relative to the test's directory; it points to "target"
  const char* stateHome;     // XDG_STATE_HOME, relative to the test's directory
};

void PrintTo(const DirectoryLinkCase& c, std::ostream* out) { *out << c.name; }

class HistoryFileDirectoryLinkTest : public HistoryFileTest,
                                     public ::testing::WithParamInterface<DirectoryLinkCase> {};

TEST_P(HistoryFileDirectoryLinkTest, IsNotFollowed) {
  const fs::path target = dir_ / "target";
  fs::create_directories(target);
  const fs::path link = dir_ / GetParam().link;
  fs::create_directories(link.parent_path());
  fs::create_directory_symlink(target, link);
  ScopedVariable xdg("XDG_STATE_HOME", (dir_ / GetParam().stateHome).string());
  const std::unique_ptr<HistoryStore> store = MakeSystemHistoryStore();
  const HistoryWrite written = store->Append("run: x\n\n");
  const std::string reason = link.string() + " is a symbolic link, which is not followed";
  EXPECT_FALSE(written.ok);
  EXPECT_EQ(written.reason, reason);
  std::string text;
  const HistoryRead read = ReadThrough(*store, text);
  EXPECT_EQ(read.status, HistoryRead::Status::Unreadable);
  EXPECT_EQ(read.reason, reason);
  EXPECT_TRUE(fs::is_empty(target)) << "something was made where the link points";
}

INSTANTIATE_TEST_SUITE_P(
    Places, HistoryFileDirectoryLinkTest,
    ::testing::Values(DirectoryLinkCase{"the_state_directory", "state", "state"},
                      DirectoryLinkCase{"a_directory_above_it", "above", "above/state"},
                      DirectoryLinkCase{"the_programs_directory", "state/k24update", "state"}),
    [](const auto& instance) { return std::string(instance.param.name); });

// A run as root (sudo -E keeps the user's HOME) makes nothing in, and writes
// nothing to, what belongs to another user, nor reads another user's file
// for --history: here the owner asked for is one the test's files do not
// belong to.
struct OwnerCase {
  const char* name;
  void (*setUp)(const fs::path& state, const fs::path& file);
  const char* obstacle;  // relative to the test's directory, which is "" itself; none: the file
};

void PrintTo(const OwnerCase& c, std::ostream* out) { *out << c.name; }

class HistoryFileOwnerTest : public HistoryFileTest, public ::testing::WithParamInterface<OwnerCase> {};

TEST_P(HistoryFileOwnerTest, AnotherUsersDirectoryOrFileIsLeftAlone) {
  const fs::path state = dir_ / "state";
  const fs::path file = state / "k24update" / "history.log";
  GetParam().setUp(state, file);
  const bool fileWasThere = fs::exists(file);
  const uid_t me = geteuid();
  const uid_t other = me + 1;
  const HistoryWrite written = MakeHistoryFile(file.string(), other)->Append("run: x\n\n");
  EXPECT_FALSE(written.ok);
  const std::string obstacle = GetParam().obstacle == nullptr  ? std::string("it")
                               : GetParam().obstacle[0] == '\0' ? dir_.string()
                                                                : (dir_ / GetParam().obstacle).string();
  EXPECT_EQ(written.reason,
            obstacle + " belongs to user " + std::to_string(me) + ", not to user " + std::to_string(other));
  EXPECT_EQ(fs::exists(file), fileWasThere);
  if (fileWasThere) {
    EXPECT_EQ(ReadAll(file), "run: 0\n\n");
  }
  if (!fs::exists(state / "k24update")) {
    EXPECT_FALSE(fs::exists(state)) << "no directory is made in part";
  }
  std::string text;
  const HistoryRead read = ReadThrough(*MakeHistoryFile(file.string(), other), text);
  EXPECT_EQ(read.status, fileWasThere ? HistoryRead::Status::Unreadable : HistoryRead::Status::Missing);
  if (fileWasThere) {
    EXPECT_EQ(read.reason, written.reason);
  }
  EXPECT_EQ(text, "");

  // The same places are the user's own history.
  const HistoryWrite own = MakeHistoryFile(file.string(), me)->Append("run: x\n\n");
  EXPECT_TRUE(own.ok) << own.reason;
  EXPECT_EQ(ReadAll(file), fileWasThere ? "run: 0\n\nrun: x\n\n" : "run: x\n\n");
}

INSTANTIATE_TEST_SUITE_P(
    Owners, HistoryFileOwnerTest,
    ::testing::Values(OwnerCase{"directories_to_be_made", [](const fs::path&, const fs::path&) {}, ""},
                      OwnerCase{"file_to_be_made",
                                [](const fs::path&, const fs::path& file) {
                                  fs::create_directories(file.parent_path());
                                },
                                "state/k24update"},
                      OwnerCase{"file_there", [](const fs::path&, const fs::path& file) {
                                  fs::create_directories(file.parent_path());
                                  std::ofstream(file) << "run: 0\n\n";
                                }, nullptr}),
    [](const auto& instance) { return std::string(instance.param.name); });

// A history that cannot grow (the size limit, ulimit -f) is a reason like
// any other, not the end of the program (SIGXFSZ, which would kill it, is not
// ignored by the test's child: the store sees to it). A write cut short is
// taken back: the next record begins on a line of its own.
struct SizeLimitCase {
  const char* name;
  long long roomLeft;  // bytes the limit allows beyond the history's size; negative: below it
  const char* reason;
};

void PrintTo(const SizeLimitCase& c, std::ostream* out) { *out << c.name; }

class HistoryFileSizeLimitTest : public HistoryFileTest, public ::testing::WithParamInterface<SizeLimitCase> {};

TEST_P(HistoryFileSizeLimitTest, CostsAReasonAndLeavesTheHistoryWhole) {
  const fs::path file = dir_ / "k24update" / "history.log";
  const std::string first = "run: 1\noutcome: updated\n\n";
  const std::string path = file.string();
  ASSERT_TRUE(MakeHistoryFile(path, std::nullopt)->Append(first).ok);
  const std::string answer = InChild([&] {
    const auto bytes = static_cast<rlim_t>(static_cast<long long>(first.size()) + GetParam().roomLeft);
    const rlimit limit{bytes, bytes};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("(no size limit)");
    return MakeHistoryFile(path, std::nullopt)->Append("run: 2\noutcome: updated\n\n").reason;
  });
  EXPECT_EQ(answer, GetParam().reason);
  EXPECT_EQ(ReadAll(file), first);
  ASSERT_TRUE(MakeHistoryFile(path, std::nullopt)->Append("run: 3\n\n").ok);
  EXPECT_EQ(ReadAll(file), first + "run: 3\n\n");
}

INSTANTIATE_TEST_SUITE_P(
    Limits, HistoryFileSizeLimitTest,
    ::testing::Values(SizeLimitCase{"room_for_a_part", 5, "only 5 of 25 bytes of the record were written"},
                      SizeLimitCase{"already_larger", -10, "File too large"}),
    [](const auto& instance) { return std::string(instance.param.name); });

// The program run as root makes its history only in directories of root's
// (a state directory of another user's, as sudo -E leaves HOME, stays as it
// was); as any other user it is its own. The decision of the shipped store.
TEST_F(HistoryFileTest, AsRootNothingIsMadeInAnotherUsersStateDirectory) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to run as root with another user's state directory";
  }
  constexpr uid_t kNobody = 65534;
  const fs::path state = dir_ / "state";
  fs::create_directories(state);
  ASSERT_EQ(chown(state.c_str(), kNobody, kNobody), 0);
  ScopedVariable xdg("XDG_STATE_HOME", state.string());
  const std::string answer = InChild([] { return MakeSystemHistoryStore()->Append("run: x\n\n").reason; });
  EXPECT_EQ(answer, state.string() + " belongs to user 65534, not to user 0");
  EXPECT_TRUE(fs::is_empty(state));
}

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
  std::string text;
  const HistoryRead read = ReadThrough(*MakeSystemHistoryStore(), text);
  EXPECT_EQ(read.status, HistoryRead::Status::Missing);
  EXPECT_EQ(read.location, (dir_ / "state" / "k24update" / "history.log").string());
  EXPECT_FALSE(fs::exists(dir_ / "state")) << "reading makes nothing";
}

TEST_F(HistoryFileTest, AFileThatIsThereAndEmptyIsAnEmptyHistory) {
  fs::create_directories(dir_ / "state" / "k24update");
  std::ofstream(dir_ / "state" / "k24update" / "history.log");
  ScopedVariable xdg("XDG_STATE_HOME", (dir_ / "state").string());
  std::string text;
  EXPECT_EQ(ReadThrough(*MakeSystemHistoryStore(), text).status, HistoryRead::Status::Read);
  EXPECT_EQ(text, "");
}

}  // namespace
}  // namespace k24::test
