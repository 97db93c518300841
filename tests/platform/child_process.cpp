#include "tests/platform/child_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "testing/network_namespace.h"

extern char** environ;

namespace k24::test {
namespace {

constexpr std::chrono::milliseconds kModePollInterval{5};

void CloseIfOpen(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

[[noreturn]] void ChildFails() { _exit(127); }

#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#endif

// A seccomp filter for this process and what it runs: socket() of the Unix
// family fails with EAFNOSUPPORT, every other call is let through.
// Async-signal-safe (two prctl calls on a filter built on the stack).
bool DenyUnixSockets() {
#ifdef __linux__
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_UNIX, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EAFNOSUPPORT & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
  return false;
#endif
}

}  // namespace

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  CloseIfOpen(master_);
  CloseIfOpen(slave_);
  CloseIfOpen(outputPipe_);
  CloseIfOpen(inputPipe_);
}

bool Child::Start(const std::vector<std::string>& argv, const ChildOptions& options) {
  std::string slaveName;
  if (options.withTerminal) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      return false;
    }
    const char* name = ptsname(master_);
    if (name == nullptr) {
      return false;
    }
    slaveName = name;
    slave_ = open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0 || tcgetattr(slave_, &startMode_) != 0) {
      return false;
    }
  }
  int outputEnds[2] = {-1, -1};
  if ((options.outputToPipe || !options.withTerminal) && pipe2(outputEnds, O_CLOEXEC) != 0) {
    return false;
  }
  int inputEnds[2] = {-1, -1};
  if (options.inputFromPipe && pipe2(inputEnds, O_CLOEXEC) != 0) {
    return false;
  }

  // Everything the child needs is prepared here: after fork only
  // async-signal-safe calls are made.
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    environment.emplace_back(*entry);
  }
  for (const auto& [name, value] : options.environment) {
    environment.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& arg : args) {
    argp.push_back(arg.data());
  }
  argp.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) {
    return false;
  }
  if (pid_ == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (setsid() < 0) {
      ChildFails();
    }
    const int nullDevice = open("/dev/null", O_RDWR);
    int terminal = nullDevice;
    if (options.withTerminal) {
      // A session leader without a terminal that opens one gets it as its
      // controlling terminal, unless told not to.
      terminal = open(slaveName.c_str(), options.terminalNotControlling ? O_RDWR | O_NOCTTY : O_RDWR);
      if (terminal < 0) {
        ChildFails();
      }
    }
    if (options.ownNetworkNamespace) {
      // The test process has one thread: what this allocates is safe here.
      std::string error;
      if (!k24::emulator::EnterOwnNetworkNamespace(error)) {
        ChildFails();
      }
    }
    const int input = options.inputFromPipe                                      ? inputEnds[0]
                      : options.withTerminal && options.terminalNotControlling ? terminal
                                                                               : nullDevice;
    const int output = outputEnds[1] >= 0 ? outputEnds[1] : terminal;
    if (dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
        dup2(options.errorsToOutput ? output : terminal, STDERR_FILENO) < 0) {
      ChildFails();
    }
    if (options.denyUnixSockets && !DenyUnixSockets()) {
      ChildFails();
    }
    if (options.ignoreHangUp) {
      signal(SIGHUP, SIG_IGN);
    }
    if (options.runAsUser != 0 && (setgid(options.runAsUser) != 0 || setuid(options.runAsUser) != 0)) {
      ChildFails();
    }
    execve(argp[0], argp.data(), envp.data());
    ChildFails();
  }
  if (outputEnds[1] >= 0) {
    close(outputEnds[1]);
    outputPipe_ = outputEnds[0];
  }
  if (inputEnds[0] >= 0) {
    close(inputEnds[0]);
    inputPipe_ = inputEnds[1];
  }
  return true;
}

bool Child::Type(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(master_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

void Child::ReadAvailable(int timeoutMs) {
  const int source = outputPipe_ >= 0 ? outputPipe_ : master_;
  if (source < 0) {
    return;
  }
  pollfd entry{source, POLLIN, 0};
  if (poll(&entry, 1, timeoutMs) <= 0 || (entry.revents & POLLIN) == 0) {
    return;
  }
  char buffer[4096];
  const ssize_t got = read(source, buffer, sizeof buffer);
  for (ssize_t i = 0; i < got; ++i) {
    if (buffer[i] != '\r') {
      output_ += buffer[i];
    }
  }
}

void Child::DrainOutput() {
  std::size_t before = 0;
  do {
    before = output_.size();
    ReadAvailable(0);
  } while (output_.size() != before);
}

bool Child::WaitForOutput(std::string_view text, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    const std::size_t found = output_.find(text, matched_);
    if (found != std::string::npos) {
      matched_ = found + text.size();
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    ReadAvailable(50);
  }
}

termios Child::Mode() const {
  termios mode{};
  tcgetattr(slave_, &mode);
  return mode;
}

bool Child::WaitUntilReading(std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while ((Mode().c_lflag & ISIG) != 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(kModePollInterval);
  }
  return true;
}

bool Child::WaitUntilInputTaken(std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    int waiting = 0;
    if (ioctl(slave_, TIOCINQ, &waiting) != 0) {
      return false;
    }
    if (waiting == 0) {
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(kModePollInterval);
  }
}

bool Child::Signal(int signalNumber) const { return pid_ > 0 && kill(pid_, signalNumber) == 0; }

bool Child::WaitForExit(int& status, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return true;
    }
    if (done < 0 || std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    // Keep the output flowing so a child writing much cannot block on it.
    ReadAvailable(0);
    std::this_thread::sleep_for(kModePollInterval);
  }
}

void Child::CloseInput() { CloseIfOpen(inputPipe_); }

void Child::CloseOutput() { CloseIfOpen(outputPipe_); }

void Child::HangUp() { CloseIfOpen(master_); }

bool Child::WaitUntilInputQueued(int count, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    int waiting = 0;
    if (ioctl(slave_, TIOCINQ, &waiting) != 0) {
      return false;
    }
    if (waiting >= count) {
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(kModePollInterval);
  }
}

bool SameMode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc));
}

}  // namespace k24::test
