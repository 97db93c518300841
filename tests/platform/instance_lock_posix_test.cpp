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
#include <vector>

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

// Where a lock file of this name would be looked for, and where whatever is
// planted must change nothing.
std::string LockFilePath(const std::string& name) { return "/tmp/" + name + ".lock"; }

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

LockOutcome TakeName(const std::string& name) {
  std::string reason;
  return MakeSystemInstanceLock()->Take(name, reason);
}

TEST_F(InstanceLockTest, ASecondTakeInTheSameProcessFindsItHeld) {
  const std::string name = UniqueName("twice");
  EXPECT_EQ(TakeName(name), LockOutcome::Taken);
  EXPECT_EQ(TakeName(name), LockOutcome::HeldElsewhere);
}

// A lock that cannot be made is never mistaken for a lock taken or one held
// elsewhere: it is unavailable, and says why. A name is the one case the
// tests can bring about on demand.
TEST_F(InstanceLockTest, ALockThatCannotBeMadeIsUnavailableWithItsReason) {
  Child probe;
  ASSERT_TRUE(StartLockProbe(probe, std::string(108, 'n')));
  ASSERT_TRUE(probe.WaitForOutput("\n")) << probe.Output();
  EXPECT_EQ(probe.Output(), "unavailable: a lock name of 108 bytes does not fit a socket address (1 to 107)\n");
}

// The name is one per network namespace: a holder in a namespace of its own
// (a container with its own network stack) neither sees nor blocks one
// outside it.
TEST_F(InstanceLockTest, AHolderInAnotherNetworkNamespaceDoesNotMeetThisOne) {
  const std::string name = UniqueName("namespaces");
  ASSERT_EQ(TakeName(name), LockOutcome::Taken);
  Child inside;
  ChildOptions options;
  options.withTerminal = false;
  options.inputFromPipe = true;
  options.ownNetworkNamespace = true;
  ASSERT_TRUE(inside.Start({kProbe, "lock", name}, options));
  ASSERT_TRUE(inside.WaitForOutput("\n")) << inside.Output();
  EXPECT_EQ(inside.Output(), "taken\n");
  Child outside;
  ASSERT_TRUE(StartLockProbe(outside, name));
  ASSERT_TRUE(outside.WaitForOutput("\n")) << outside.Output();
  EXPECT_EQ(outside.Output(), "held\n");
}

// Another user holding the name blocks us all the same.
TEST_F(InstanceLockTest, IsSharedWithOtherUsers) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run a process as another user";
  }
  const std::string name = UniqueName("users");

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
  EXPECT_EQ(TakeName(name), LockOutcome::HeldElsewhere);
}

// Whatever is planted in the file system where a lock file would be, or a
// lock directory that does not exist, cannot switch the lock off: the first
// take still succeeds and a second still finds the lock held.
TEST_F(InstanceLockTest, NothingPlantedInTheFileSystemSwitchesItOff) {
  struct Case {
    const char* what;
    bool (*plant)(const std::string& path);
  };
  const Case cases[] = {
      {"directory", [](const std::string& path) { return mkdir(path.c_str(), 0755) == 0; }},
      {"fifo", [](const std::string& path) { return mkfifo(path.c_str(), 0666) == 0; }},
      {"dangling symbolic link", [](const std::string& path) { return symlink("/nonexistent/target", path.c_str()) == 0; }},
      {"another user's private file",
       [](const std::string& path) {
         const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
         if (fd < 0) return false;
         const bool owned = geteuid() != 0 || fchown(fd, kNobody, kNobody) == 0;
         close(fd);
         return owned;
       }},
      {"missing lock directory", [](const std::string&) { return setenv("K24_LOCK_DIR", "/nonexistent", 1) == 0; }},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A name per case: the name this process takes stays taken.
    const std::string name = UniqueName("planted") + "-" + std::to_string(++index);
    const std::string path = LockFilePath(name);
    made_.push_back(path);  // removed however the case ends
    directories_.push_back(path);
    ASSERT_TRUE(c.plant(path)) << path;
    EXPECT_EQ(TakeName(name), LockOutcome::Taken);
    Child second;
    ASSERT_TRUE(StartLockProbe(second, name));
    ASSERT_TRUE(second.WaitForOutput("\n"));
    EXPECT_EQ(second.Output(), "held\n");
    unsetenv("K24_LOCK_DIR");
  }
}

}  // namespace
}  // namespace k24::test
