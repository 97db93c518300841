// The system instance lock, contended for by separate processes (the probe
// program) and by this one. Each test uses a name of its own so that a real
// update running on the machine is never disturbed.
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "dialogue/instance_lock.h"
#include "tests/platform/child_process.h"

namespace k24::test {
namespace {

const std::string kProbe = K24_PLATFORM_PROBE;
constexpr uid_t kNobody = 65534;

std::string UniqueName(const char* what) {
  return std::string("K24LockTest-") + what + "-" + std::to_string(getpid());
}

std::string DefaultPath(const std::string& name) { return "/tmp/" + name + ".lock"; }

// Runs the probe to take `name`; a holder keeps the lock until it is killed.
bool StartLockProbe(Child& probe, const std::string& name, uid_t asUser = 0,
                    const std::string& program = kProbe) {
  ChildOptions options;
  options.runAsUser = asUser;
  options.withTerminal = false;
  options.inputFromPipe = true;
  return probe.Start({program, "lock", name}, options);
}

class InstanceLockTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("K24_LOCK_DIR"); }
  void TearDown() override {
    unsetenv("K24_LOCK_DIR");
    for (const std::string& path : made_) {
      unlink(path.c_str());
    }
    for (const std::string& path : directories_) {
      rmdir(path.c_str());
    }
  }
  std::string Remember(std::string path) {
    made_.push_back(path);
    return path;
  }
  std::vector<std::string> made_;
  std::vector<std::string> directories_;
};

TEST_F(InstanceLockTest, SecondProcessFindsItHeldUntilTheHolderIsKilled) {
  const std::string name = UniqueName("contend");
  Remember(DefaultPath(name));

  Child first;
  ASSERT_TRUE(StartLockProbe(first, name));
  ASSERT_TRUE(first.WaitForOutput("taken\n")) << first.Output();

  Child second;
  ASSERT_TRUE(StartLockProbe(second, name));
  ASSERT_TRUE(second.WaitForOutput("held\n")) << second.Output();

  ASSERT_TRUE(first.Signal(SIGKILL));
  int status = 0;
  ASSERT_TRUE(first.WaitForExit(status));

  Child third;
  ASSERT_TRUE(StartLockProbe(third, name));
  ASSERT_TRUE(third.WaitForOutput("taken\n")) << third.Output();
}

TEST_F(InstanceLockTest, ASecondTakeInTheSameProcessFindsItHeld) {
  const std::string name = UniqueName("twice");
  Remember(DefaultPath(name));
  EXPECT_EQ(MakeSystemInstanceLock()->Take(name), LockOutcome::Taken);
  EXPECT_EQ(MakeSystemInstanceLock()->Take(name), LockOutcome::HeldElsewhere);
}

TEST_F(InstanceLockTest, LockFileIsOpenToEveryUserWhateverTheUmask) {
  const std::string name = UniqueName("mode");
  const std::string path = Remember(DefaultPath(name));
  const mode_t previous = umask(077);
  const LockOutcome outcome = MakeSystemInstanceLock()->Take(name);
  umask(previous);
  ASSERT_EQ(outcome, LockOutcome::Taken);
  struct stat status{};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0666u);
}

// A lock file left by another user with a narrower mode: the lock is still
// shared between the users.
TEST_F(InstanceLockTest, IsSharedWithOtherUsers) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run a process as another user";
  }
  const std::string name = UniqueName("users");
  const std::string path = Remember(DefaultPath(name));
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  close(fd);

  // The build may sit where the other user cannot reach it (under /root): that
  // user runs a copy of the probe from a folder open to everyone.
  char directoryTemplate[] = "/tmp/k24-lock-probe-XXXXXX";
  ASSERT_NE(mkdtemp(directoryTemplate), nullptr);
  directories_.push_back(directoryTemplate);
  ASSERT_EQ(chmod(directoryTemplate, 0755), 0);
  const std::string program = Remember(std::string(directoryTemplate) + "/platform_probe");
  std::error_code error;
  std::filesystem::copy_file(kProbe, program, error);
  ASSERT_FALSE(error) << error.message();
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);

  Child other;
  ASSERT_TRUE(StartLockProbe(other, name, kNobody, program));
  ASSERT_TRUE(other.WaitForOutput("taken\n")) << other.Output();
  EXPECT_EQ(MakeSystemInstanceLock()->Take(name), LockOutcome::HeldElsewhere);
}

TEST_F(InstanceLockTest, UnavailableWhenNoLockFileCanBeHad) {
  char directoryTemplate[] = "/tmp/k24-lock-test-XXXXXX";
  ASSERT_NE(mkdtemp(directoryTemplate), nullptr);
  const std::string directory = directoryTemplate;
  directories_.push_back(directory);
  const std::string fifo = Remember(directory + "/Fifo.lock");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  // A link planted under the lock's name must not be followed to its target.
  const std::string target = Remember(directory + "/target");
  const int fd = open(target.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string link = Remember(directory + "/Link.lock");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

  struct Case {
    const char* lockDirectory;
    const char* name;
  };
  const std::string missing = directory + "/missing";
  for (const Case& c : {Case{missing.c_str(), "Any"}, Case{directory.c_str(), "Fifo"},
                        Case{directory.c_str(), "Link"}}) {
    SCOPED_TRACE(std::string(c.lockDirectory) + "/" + c.name);
    setenv("K24_LOCK_DIR", c.lockDirectory, 1);
    EXPECT_EQ(MakeSystemInstanceLock()->Take(c.name), LockOutcome::Unavailable);
  }
}

}  // namespace
}  // namespace k24::test
