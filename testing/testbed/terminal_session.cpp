#include "testing/testbed/terminal_session.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace k24::emulator {

std::string KeyBytes(const std::string& name) {
  if (name == "esc") return "\x1b";
  if (name == "enter") return "\r";
  if (name == "space") return " ";
  if (name == "up") return "\x1b[A";
  if (name == "down") return "\x1b[B";
  if (name == "f1") return "\x1bOP";
  if (name == "ctrl-c") return "\x03";
  if (name.size() == 4 && name[0] == '\\' && name[1] == 'x') {
    return std::string(1, static_cast<char>(std::strtoul(name.substr(2).c_str(), nullptr, 16)));
  }
  return name;
}

TerminalSession::~TerminalSession() {
  if (child_ > 0 && !exitCode_) Kill();
  if (master_ >= 0) close(master_);
  if (errors_ >= 0) close(errors_);
}

bool TerminalSession::Start(const std::vector<std::string>& argv, bool forPerson, std::string& error,
                            uid_t runAsUser, bool errorsApart) {
  termios mode{};
  int slave = -1;
  if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) {
    error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  int errorPipe[2] = {-1, -1};
  if (errorsApart) {
    if (pipe2(errorPipe, O_CLOEXEC) != 0) {
      error = std::string("pipe: ") + std::strerror(errno);
      close(slave);
      return false;
    }
    errors_ = errorPipe[0];
    fcntl(errors_, F_SETFL, O_NONBLOCK);
  }
  tcgetattr(slave, &mode);
  if (forPerson) {
    termios user{};
    if (tcgetattr(STDIN_FILENO, &user) == 0) mode = user;
  } else {
    mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  }
  tcsetattr(slave, TCSANOW, &mode);

  std::vector<char*> args;
  for (const std::string& each : argv) args.push_back(const_cast<char*>(each.c_str()));
  args.push_back(nullptr);

  child_ = fork();
  if (child_ < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    close(slave);
    if (errorPipe[1] >= 0) close(errorPipe[1]);
    return false;
  }
  if (child_ == 0) {
    close(master_);
    if (login_tty(slave) != 0) _exit(126);
    if (errorPipe[1] >= 0 && dup2(errorPipe[1], STDERR_FILENO) != STDERR_FILENO) _exit(126);
    // The preload sleeps briefly after every emulated ioctl; with the default
    // timer slack of 50 us each of those sleeps costs far more.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (fileSizeLimit_) {
      const rlimit limit{static_cast<rlim_t>(*fileSizeLimit_), static_cast<rlim_t>(*fileSizeLimit_)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(124);
    }
    if (runAsUser != 0) {
      const passwd* user = getpwuid(runAsUser);
      const gid_t group = user != nullptr ? user->pw_gid : static_cast<gid_t>(runAsUser);
      if (setgroups(0, nullptr) != 0 || setgid(group) != 0 || setuid(runAsUser) != 0) _exit(125);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  close(slave);
  if (errorPipe[1] >= 0) close(errorPipe[1]);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  return true;
}

std::string TerminalSession::TakeErrors() {
  std::string errors;
  if (errors_ < 0) return errors;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(errors_, buffer, sizeof buffer);
    if (got > 0) {
      errors.append(buffer, static_cast<std::size_t>(got));
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      return errors;  // nothing waiting (EAGAIN), or the end
    }
  }
}

std::string TerminalSession::Pump(int milliseconds, bool passKeysFromStdin) {
  std::string output;
  if (outputClosed_) {
    if (milliseconds > 0) poll(nullptr, 0, milliseconds);
    return output;
  }
  pollfd fds[2] = {{master_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  const nfds_t count = passKeysFromStdin ? 2 : 1;
  if (poll(fds, count, milliseconds) <= 0) return output;
  if (passKeysFromStdin && (fds[1].revents & POLLIN) != 0) {
    char keys[64];
    const ssize_t got = read(STDIN_FILENO, keys, sizeof keys);
    if (got > 0) Type(std::string(keys, static_cast<std::size_t>(got)));
  }
  if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
    char buffer[4096];
    const ssize_t got = read(master_, buffer, sizeof buffer);
    if (got > 0) {
      output.assign(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      // EIO: every descriptor of the child's terminal is closed.
      outputClosed_ = true;
    }
  }
  return output;
}

void TerminalSession::Type(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(master_, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<std::size_t>(wrote);
  }
}

std::optional<int> TerminalSession::ExitCode() {
  if (exitCode_ || child_ <= 0) return exitCode_;
  int status = 0;
  rusage usage{};
  if (wait4(child_, &status, WNOHANG, &usage) == child_) {
    cpuMs_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    if (WIFEXITED(status)) {
      exitCode_ = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      exitCode_ = 128 + WTERMSIG(status);
    }
  }
  return exitCode_;
}

bool TerminalSession::Signal(int signalNumber) {
  return child_ > 0 && !exitCode_ && kill(child_, signalNumber) == 0;
}

void TerminalSession::Kill() {
  if (child_ <= 0 || exitCode_) return;
  kill(child_, SIGKILL);
  int status = 0;
  waitpid(child_, &status, 0);
  exitCode_ = 128 + SIGKILL;
}

}  // namespace k24::emulator
