// The console on POSIX systems: messages to standard output, key presses from
// the controlling terminal (/dev/tty), also when standard input is redirected;
// without a controlling terminal, from standard input when it is a terminal.
//
// Terminal modes. From the moment the console is made until the program ends,
// the terminal is kept in a "quiet" mode: no echo, no line editing, Ctrl+C
// still ends the program. A terminal echoes and edits input when it arrives,
// not when it is read, so a key typed while the recorder is being programmed
// would otherwise be echoed and held back until Enter; in the quiet mode it is
// kept, unseen, for the next prompt (as a console keeps typed-ahead keys), and
// KeyWaiting sees a single key press without Enter. While ReadRawKey waits the
// mode is "raw": the quiet mode with signal keys off too, so Ctrl+C arrives as
// the key 3. The original mode comes back at exit and on every signal that ends
// or stops the program; the handlers restore it, flush the output and then
// re-raise the signal with its default action. A crash (SIGSEGV, SIGBUS,
// SIGFPE, SIGABRT) restores it too before the program dies.
//
// Critical sections. While the recorder is being written, the ending signals
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP) are held: the dialogue's thread
// blocks them, so no system call of the transfer is interrupted, and the
// handler, on whatever thread the kernel picks, only records one and returns.
// Threads that libraries start (libusb's event thread) are meant to be started
// through StartWithoutEndingSignals, so they never take these signals at all.
// EndCriticalSection then acts on a held signal as the handler would have.
//
// A terminal that goes away (hung up, closed window) counts as a terminal on
// which Esc is pressed for ever: KeyWaiting says yes and ReadRawKey gives Esc,
// so the connection wait ends and every prompt is answered with no.
//
// Keys. The bytes of one key press are decoded by DecodeKey (key_decoder.h);
// a key without a character is delivered as 0 followed by its scan code.
//
// Output. Standard output is written with write(2): unbuffered on a terminal,
// in 512-byte blocks otherwise. The buffer lives in this file so the signal
// handlers can flush it with async-signal-safe calls.
//
// There is one terminal per process, so the state below is per process and
// MakeSystemConsole is meant to be called once.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include "console/console.h"
#include "console/key_decoder.h"

namespace k24 {
namespace {

// What ReadRawKey returns when there is no terminal to read (a service, CI):
// at once, and a value that answers no prompt of the dialogue (not a
// character, not Esc, not 0, not a folded scan code).
constexpr std::uint16_t kNoTerminalKey = 0xFFFF;
constexpr std::size_t kOutputBlockSize = 512;

enum class TerminalMode : int { Original, Quiet, Raw };

// --- process-wide state, shared with the signal handlers ---------------------

int gTerminal = -1;                       // /dev/tty, or -1 without a terminal
termios gOriginalMode{};
termios gQuietMode{};
termios gRawMode{};
volatile std::sig_atomic_t gModeChanged = 0;  // the terminal is not in its original mode
volatile std::sig_atomic_t gWantedMode = static_cast<int>(TerminalMode::Original);

bool gOutputIsTerminal = true;
std::array<char, kOutputBlockSize> gOutputBuffer{};
std::atomic<std::size_t> gOutputLength{0};

constexpr std::array<int, 5> kEndingSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
// Their names; a stop (SIGTSTP) does not end the program, so it has none here.
constexpr std::array<const char*, kEndingSignals.size()> kEndingSignalNames = {"SIGINT", "SIGTERM", "SIGHUP",
                                                                               "SIGQUIT", nullptr};
constexpr std::array<int, 4> kCrashSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGABRT};
std::array<struct sigaction, kEndingSignals.size()> gPreviousActions{};
std::array<struct sigaction, kCrashSignals.size()> gPreviousCrashActions{};
bool gHandlersInstalled = false;

// Open critical sections, and the ending signals that came during them.
std::atomic<int> gCriticalDepth{0};
std::array<std::atomic<int>, kEndingSignals.size()> gHeldSignals{};
sigset_t gMaskBeforeSection{};

sigset_t EndingSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signalNumber : kEndingSignals) {
    sigaddset(&set, signalNumber);
  }
  return set;
}

// --- output -------------------------------------------------------------------

// Writes all of `data` to `descriptor` (standard output unless said);
// async-signal-safe.
void WriteAll(const char* data, std::size_t length, int descriptor = STDOUT_FILENO) {
  while (length > 0) {
    const ssize_t written = write(descriptor, data, length);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;  // nowhere to report to: the output is lost, as with stdio
    }
    data += written;
    length -= static_cast<std::size_t>(written);
  }
}

// Async-signal-safe: only write(2) and an atomic exchange.
void FlushOutput() {
  const std::size_t length = std::min(gOutputLength.exchange(0), kOutputBlockSize);
  WriteAll(gOutputBuffer.data(), length);
}

void WriteOutput(std::string_view text) {
  if (gOutputIsTerminal) {
    WriteAll(text.data(), text.size());
    return;
  }
  while (!text.empty()) {
    const std::size_t used = gOutputLength.load();
    const std::size_t take = std::min(text.size(), kOutputBlockSize - used);
    std::memcpy(gOutputBuffer.data() + used, text.data(), take);
    gOutputLength.store(used + take);
    text.remove_prefix(take);
    if (used + take == kOutputBlockSize) {
      FlushOutput();
    }
  }
}

// --- terminal modes -----------------------------------------------------------

// Async-signal-safe (tcsetattr is).
void ApplyMode(TerminalMode mode) {
  if (gTerminal < 0) {
    return;
  }
  const termios* wanted = &gOriginalMode;
  if (mode == TerminalMode::Quiet) {
    wanted = &gQuietMode;
  } else if (mode == TerminalMode::Raw) {
    wanted = &gRawMode;
  }
  // TCSANOW and never a flush: keys typed ahead must survive for the next prompt.
  tcsetattr(gTerminal, TCSANOW, wanted);
  gModeChanged = mode != TerminalMode::Original ? 1 : 0;
}

void SetWantedMode(TerminalMode mode) {
  gWantedMode = static_cast<int>(mode);
  ApplyMode(mode);
}

void RestoreTerminal() {
  if (gModeChanged != 0) {
    ApplyMode(TerminalMode::Original);
  }
}

void OnEndingSignal(int signalNumber);

void InstallHandler(int signalNumber, struct sigaction* previous) {
  struct sigaction action{};
  action.sa_handler = OnEndingSignal;
  action.sa_mask = EndingSignalSet();  // one handler at a time
  action.sa_flags = 0;  // no SA_RESTART: a stopped and continued read sees EINTR
  sigaction(signalNumber, &action, previous);
}

// Sends `signalNumber` to this thread with its default action; returns only
// after a stop, once the program is continued. Async-signal-safe.
void RaiseWithDefaultAction(int signalNumber) {
  struct sigaction defaultAction{};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(signalNumber, &defaultAction, nullptr);
  sigset_t justThis;
  sigemptyset(&justThis);
  sigaddset(&justThis, signalNumber);
  pthread_sigmask(SIG_UNBLOCK, &justThis, nullptr);
  raise(signalNumber);
}

// Leaves the terminal and the output as a user expects them to be after the
// program, then lets the signal do what it would have done without us.
void EndAsTheSignalWould(int signalNumber) {
  const int savedErrno = errno;
  FlushOutput();
  RestoreTerminal();
  RaiseWithDefaultAction(signalNumber);

  // Only a stop (SIGTSTP) comes back here, when the program is continued:
  // take the terminal again in the mode the program was in.
  InstallHandler(signalNumber, nullptr);
  ApplyMode(static_cast<TerminalMode>(gWantedMode));
  errno = savedErrno;
}

std::size_t EndingSignalIndex(int signalNumber) {
  return static_cast<std::size_t>(std::find(kEndingSignals.begin(), kEndingSignals.end(), signalNumber) -
                                  kEndingSignals.begin());
}

void OnEndingSignal(int signalNumber) {
  const std::size_t index = EndingSignalIndex(signalNumber);
  if (index < kEndingSignals.size() && gCriticalDepth.load() > 0) {
    gHeldSignals[index].store(1);
    // If the section ended meanwhile on the dialogue's thread, it may have
    // looked for held signals before this one was recorded: whoever takes the
    // mark acts on it, exactly once.
    if (gCriticalDepth.load() > 0 || gHeldSignals[index].exchange(0) == 0) {
      return;
    }
  }
  EndAsTheSignalWould(signalNumber);
}

// A crash cannot be held or survived: the terminal is put back and the
// signal does what it does.
void OnCrashSignal(int signalNumber) {
  FlushOutput();
  RestoreTerminal();
  RaiseWithDefaultAction(signalNumber);
}

void InstallHandlers() {
  for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
    struct sigaction current{};
    sigaction(kEndingSignals[i], nullptr, &current);
    if (current.sa_handler == SIG_IGN) {
      // Ignored by whoever started us (nohup): keep it ignored.
      gPreviousActions[i] = current;
      continue;
    }
    InstallHandler(kEndingSignals[i], &gPreviousActions[i]);
  }
  for (std::size_t i = 0; i < kCrashSignals.size(); ++i) {
    struct sigaction action{};
    action.sa_handler = OnCrashSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(kCrashSignals[i], &action, &gPreviousCrashActions[i]);
  }
  gHandlersInstalled = true;
}

void RemoveHandlers() {
  if (!gHandlersInstalled) {
    return;
  }
  for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
    sigaction(kEndingSignals[i], &gPreviousActions[i], nullptr);
  }
  for (std::size_t i = 0; i < kCrashSignals.size(); ++i) {
    sigaction(kCrashSignals[i], &gPreviousCrashActions[i], nullptr);
  }
  gHandlersInstalled = false;
}

void BeginSection() {
  if (gCriticalDepth.fetch_add(1) == 0) {
    const sigset_t ending = EndingSignalSet();
    pthread_sigmask(SIG_BLOCK, &ending, &gMaskBeforeSection);
  }
}

void EndSection() {
  int depth = gCriticalDepth.load();
  do {
    if (depth == 0) {
      return;  // not in a section
    }
  } while (!gCriticalDepth.compare_exchange_weak(depth, depth - 1));
  if (depth != 1) {
    return;  // an outer section is still open
  }
  for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
    if (gHeldSignals[i].exchange(0) != 0) {
      EndAsTheSignalWould(kEndingSignals[i]);  // returns only after a stop
    }
  }
  // Signals sent while every thread blocked them arrive here.
  pthread_sigmask(SIG_SETMASK, &gMaskBeforeSection, nullptr);
}

// A signal that will end the program when the open section ends: one a
// handler on another thread marked, or one still pending because every
// thread blocks it.
const char* HeldSignalName() {
  if (gCriticalDepth.load() == 0) {
    return nullptr;
  }
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
    if (kEndingSignalNames[i] != nullptr &&
        (gHeldSignals[i].load() != 0 || sigismember(&pending, kEndingSignals[i]) == 1)) {
      return kEndingSignalNames[i];
    }
  }
  return nullptr;
}

// Ends the console's hold on the process: output flushed, terminal restored.
// Idempotent; also runs from atexit so that an exit() anywhere restores too.
void ReleaseConsole() {
  FlushOutput();
  if (gTerminal >= 0) {
    SetWantedMode(TerminalMode::Original);
    close(gTerminal);
    gTerminal = -1;
  }
  RemoveHandlers();
}

bool OpenTerminal() {
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && isatty(STDIN_FILENO) == 1) {
    // No controlling terminal (a new session, as setsid makes), but standard
    // input is a terminal: keys come from there.
    fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
  }
  if (fd < 0) {
    return false;  // no terminal for keys at all
  }
  if (tcgetattr(fd, &gOriginalMode) != 0) {
    close(fd);
    return false;
  }
  gTerminal = fd;

  // Input is taken byte by byte as it arrives, without echo and unaltered
  // (Enter stays 13, Ctrl+S and Ctrl+Q are keys, not flow control). Output
  // processing stays on so "\n" still starts a new line.
  gQuietMode = gOriginalMode;
  gQuietMode.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  gQuietMode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | IEXTEN);
  gQuietMode.c_cc[VMIN] = 1;
  gQuietMode.c_cc[VTIME] = 0;
  gRawMode = gQuietMode;
  gRawMode.c_lflag &= ~static_cast<tcflag_t>(ISIG);

  InstallHandlers();
  SetWantedMode(TerminalMode::Quiet);
  return true;
}

// --- key input ----------------------------------------------------------------

// Reads one byte from the terminal, waiting at most `timeoutMs` (-1: forever).
ByteResult ReadTerminalByte(int timeoutMs, std::uint8_t& byte) {
  for (;;) {
    pollfd entry{gTerminal, POLLIN, 0};
    const int ready = poll(&entry, 1, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;  // stopped and continued; wait again
      }
      return ByteResult::Lost;
    }
    if (ready == 0) {
      return ByteResult::TimedOut;
    }
    const ssize_t got = read(gTerminal, &byte, 1);
    if (got == 1) {
      return ByteResult::Got;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    return ByteResult::Lost;  // end of file or an error: the terminal hung up
  }
}

class PosixConsole final : public Console {
 public:
  PosixConsole() {
    gOutputIsTerminal = isatty(STDOUT_FILENO) == 1;
    // A reader of our output that goes away (a pipe closed early) must not end
    // the program in the middle of an update: the write fails and the update
    // goes on.
    signal(SIGPIPE, SIG_IGN);
    OpenTerminal();
    if (!gHandlersInstalled) {
      InstallHandlers();  // without a terminal the handlers still flush the output
    }
    static const bool releaseAtExit = std::atexit(ReleaseConsole) == 0;
    static_cast<void>(releaseAtExit);
  }

  // One console owns the terminal: a copy would restore its mode a second time.
  PosixConsole(const PosixConsole&) = delete;
  PosixConsole& operator=(const PosixConsole&) = delete;
  PosixConsole(PosixConsole&&) = delete;
  PosixConsole& operator=(PosixConsole&&) = delete;

  ~PosixConsole() override { ReleaseConsole(); }

  void Write(std::string_view text) override { WriteOutput(text); }

  void Flush() override { FlushOutput(); }

  // Standard error is unbuffered; what the dialogue wrote before the note
  // goes out first, so the two keep their order on a shared terminal.
  void WriteError(std::string_view text) override {
    FlushOutput();
    WriteAll(text.data(), text.size(), STDERR_FILENO);
  }

  std::uint16_t ReadRawKey() override {
    if (pendingScanCode_ != 0) {
      const std::uint16_t scanCode = pendingScanCode_;
      pendingScanCode_ = 0;
      return scanCode;
    }
    if (terminalLost_) {
      return kKeyEsc;
    }
    if (gTerminal < 0) {
      return kNoTerminalKey;
    }
    SetWantedMode(TerminalMode::Raw);
    const std::uint16_t key = ReadKeyFromTerminal();
    if (gTerminal >= 0) {
      SetWantedMode(TerminalMode::Quiet);
    }
    return key;
  }

  bool KeyWaiting() override {
    if (pendingScanCode_ != 0 || decoder_.hasPushedBack || terminalLost_) {
      return true;
    }
    if (gTerminal < 0) {
      return false;
    }
    pollfd entry{gTerminal, POLLIN, 0};
    if (poll(&entry, 1, 0) != 1) {
      return false;
    }
    if ((entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      TerminalLost();
      return true;
    }
    return (entry.revents & POLLIN) != 0;
  }

  void WaitForKey(std::uint32_t timeoutMs, std::span<const int> alsoWatch) override {
    if (KeyWaiting()) {
      return;
    }
    std::vector<pollfd> entries;
    entries.reserve(alsoWatch.size() + 1);
    if (gTerminal >= 0) {
      entries.push_back(pollfd{gTerminal, POLLIN, 0});
    }
    for (const int fd : alsoWatch) {
      entries.push_back(pollfd{fd, POLLIN, 0});
    }
    // A signal that stops and continues the program ends the sleep early,
    // which the caller's loop takes as a tick.
    poll(entries.data(), entries.size(), static_cast<int>(timeoutMs));
  }

  void DiscardTypedAhead() override {
    pendingScanCode_ = 0;
    decoder_ = KeyDecoder{};
    if (gTerminal >= 0) {
      tcflush(gTerminal, TCIFLUSH);
    }
  }

  // The terminal is there from the start or never: opened when the console
  // is made.
  bool HasKeyInput() override { return gTerminal >= 0 || terminalLost_; }

  void BeginCriticalSection() override { BeginSection(); }

  void EndCriticalSection() override { EndSection(); }

  const char* HeldEndingSignal() override { return HeldSignalName(); }

 private:
  std::uint16_t ReadKeyFromTerminal() {
    const DecodedKey key = DecodeKey(decoder_, ReadTerminalByte);
    if (key.lost) {
      TerminalLost();
      return kKeyEsc;
    }
    if (key.scanCode != 0) {
      // A key without a character: 0 now, its scan code on the next read.
      pendingScanCode_ = key.scanCode;
      return 0;
    }
    return key.character;
  }

  // The terminal hung up: from now on every key is Esc, so the dialogue
  // neither waits for ever for a key nobody can press nor spins on a dead
  // descriptor. The handlers stay: they still flush the output and hold the
  // signals during a critical section.
  void TerminalLost() {
    RestoreTerminal();
    close(gTerminal);
    gTerminal = -1;
    gModeChanged = 0;
    terminalLost_ = true;
  }

  bool terminalLost_ = false;
  std::uint16_t pendingScanCode_ = 0;
  KeyDecoder decoder_;
};

}  // namespace

std::unique_ptr<Console> MakeSystemConsole() {
  return std::make_unique<PosixConsole>();
}

void StartWithoutEndingSignals(const std::function<void()>& start) {
  const sigset_t ending = EndingSignalSet();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &ending, &previous);
  start();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);  // one sent meanwhile arrives here
}

}  // namespace k24
