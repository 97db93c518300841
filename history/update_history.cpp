#include "history/update_history.h"

#include <chrono>
#include <cstdio>
#include <string_view>
#include <vector>

#ifndef K24_VERSION
#error "K24_VERSION (the project's version) is given by the build"
#endif

namespace k24 {
namespace {

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::string Version(VersionWord version) {
  if (version == 0) {
    return "unavailable";
  }
  return VersionText(version);
}

std::string VersionOrUnknown(const std::optional<VersionWord>& version) {
  return version ? Version(*version) : std::string("unknown");
}

void Field(std::string& text, const char* name, const std::string& value) {
  text += name;
  text += ": ";
  text += value;
  text += '\n';
}

std::string StepLine(const HistoryStep& step) {
  std::string line = step.name + ": ";
  if (!step.result) {
    return line + step.note;
  }
  line += *step.result ? std::string("ok") : std::string("failed: ") + StepFailureName(step.result->failure);
  if (!step.note.empty()) {
    line += ", " + step.note;
  }
  return line;
}

// The lines that say why `step` failed.
void FailureFields(std::string& text, const HistoryStep& step) {
  const StepResult& result = *step.result;
  Field(text, "failed-step", step.name);
  Field(text, "failure", StepFailureName(result.failure));
  if (result.request) {
    Field(text, "failed-request", DescribeRequest(*result.request));
    Field(text, "request-result", DescribeRequestResult(*result.request));
  }
  if (result.failedRequests > 1) {
    Field(text, "failed-requests", std::to_string(result.failedRequests));
  }
  switch (result.failure) {
    case StepFailure::BlockReadShort:
      Field(text, "bulk-bytes", std::to_string(result.bytesMoved) + " of " + std::to_string(result.bytesExpected));
      break;
    case StepFailure::PageNotWritten:
      Field(text, "nand-page", std::to_string(result.page));
      Field(text, "bulk-bytes", std::to_string(result.bytesMoved) + " of " + std::to_string(result.bytesExpected));
      break;
    case StepFailure::ReadBackMismatch:
      Field(text, "read-back-mismatch-offset", Hex(static_cast<unsigned>(result.mismatchOffset), 4));
      break;
    case StepFailure::ReadBackNoAnswer:
      Field(text, "nand-page", std::to_string(result.page));
      if (!result.request) {
        Field(text, "bulk-bytes", std::to_string(result.bytesMoved) + " of " + std::to_string(result.bytesExpected));
      }
      break;
    case StepFailure::CommitRefused:
      Field(text, "commit-reply", "0x00");
      break;
    default:
      break;
  }
  if (result.nandEraseStatus) {
    Field(text, "nand-erase-status", Hex(*result.nandEraseStatus, 2));
  }
}

}  // namespace

const char* ProgramVersion() { return K24_VERSION; }

std::string Iso8601Utc(std::int64_t unixSeconds) {
  // Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
  std::int64_t days = unixSeconds / 86400;
  std::int64_t secondOfDay = unixSeconds % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --days;
  }
  const std::int64_t shifted = days + 719468;  // from 0000-03-01
  const std::int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  const std::int64_t dayOfEra = shifted - era * 146097;
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;  // March is 0
  const std::int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const std::int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[128];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day),
                static_cast<long long>(secondOfDay / 3600), static_cast<long long>(secondOfDay / 60 % 60),
                static_cast<long long>(secondOfDay % 60));
  return text;
}

const char* RunEndName(RunEnd end) {
  switch (end) {
    case RunEnd::NoBootLoader: return "no-boot-loader";
    case RunEnd::FirmwareImageDamaged: return "firmware-image-damaged";
    case RunEnd::DeclinedAtOffer: return "declined-at-offer";
    case RunEnd::DeclinedAtWarning: return "declined-at-warning";
    case RunEnd::SampleImages: return "sample-images-not-loaded";
    case RunEnd::NotCompatible: return "not-compatible";
    case RunEnd::BootLoaderImageDamaged: return "boot-loader-image-damaged";
    case RunEnd::DeclinedAtBootLoaderPrompt: return "declined-at-boot-loader-prompt";
    case RunEnd::BootLoaderUpgradeFailed: return "boot-loader-upgrade-failed";
    case RunEnd::FirmwareReplacementFailed: return "firmware-replacement-failed";
    case RunEnd::Updated: return "updated";
    case RunEnd::EndedBySignalAfterBootLoaderUpgrade: return "ended-by-signal-after-boot-loader-upgrade";
    case RunEnd::Unfinished: return "unfinished";
  }
  return "?";
}

const char* StepFailureName(StepFailure failure) {
  switch (failure) {
    case StepFailure::None: return "none";
    case StepFailure::RequestFailed: return "request-failed";
    case StepFailure::RecorderDidNotLeave: return "recorder-did-not-leave";
    case StepFailure::RecorderDidNotReturn: return "recorder-did-not-return";
    case StepFailure::RecorderNotAlone: return "recorder-not-alone";
    case StepFailure::ImageTooShort: return "image-too-short";
    case StepFailure::BlockReadShort: return "nand-block-read-short";
    case StepFailure::PageNotWritten: return "nand-page-not-written";
    case StepFailure::ReadBackMismatch: return "nand-read-back-mismatch";
    case StepFailure::ReadBackNoAnswer: return "nand-read-back-no-answer";
    case StepFailure::CommitRefused: return "boot-area-commit-refused";
    case StepFailure::EraseNotConfirmed: return "nand-erase-not-confirmed";
  }
  return "?";
}

std::string DescribeRequest(const SentRequest& request) {
  const char* name = RequestName(request.code);
  return Hex(request.code, 2) + " " + (name != nullptr ? name : "(unknown)") + ", " +
         (request.direction == kDirectionIn ? "in" : "out") + ", value " + Hex(request.value, 4) + ", index " +
         Hex(request.index, 4) + ", length " + std::to_string(request.length);
}

std::string DescribeRequestResult(const SentRequest& request) {
  switch (request.status) {
    case LinkStatus::Ok: return "ok";
    case LinkStatus::NoRecorder: return "no recorder found, nothing sent";
    case LinkStatus::NotAlone: return "more than one recorder, not told apart, nothing sent";
    case LinkStatus::Failed: return "driver failure";
    case LinkStatus::TimedOut: return "no answer within the driver's time limit";
    case LinkStatus::ShortReply:
      return "short reply, " + std::to_string(request.transferred) + " of " + std::to_string(request.length) +
             " bytes";
  }
  return "?";
}

std::string FormatUpdateRecord(const UpdateRecord& record) {
  std::string text;
  const bool unfinished = record.end == RunEnd::Unfinished;
  Field(text, "run", Iso8601Utc(record.startedAt));
  Field(text, unfinished ? "writing-began" : "ended", Iso8601Utc(record.endedAt));
  Field(text, "program", std::string("k24update ") + record.programVersion);
  Field(text, "sample-images", record.imagesAreSamples ? "yes" : "no");
  Field(text, "image-sha256-fwc", Sha256Hex(record.imageDigests.firmware));
  Field(text, "image-sha256-brc", Sha256Hex(record.imageDigests.nandReplacer));
  Field(text, "image-sha256-brc20", Sha256Hex(record.imageDigests.flashReplacer));
  Field(text, "diagnostic-mode", record.diagnosticMode ? "yes" : "no");
  Field(text, "serial-number", record.serialNumberRead ? record.serialNumber : "(not read)");
  Field(text, "boot-loader-before", Version(record.bootLoaderBefore));
  Field(text, "firmware-before", Version(record.firmwareBefore));
  Field(text, "firmware-offered", VersionOrUnknown(record.firmwareOffered));
  Field(text, "boot-loader-carried", VersionOrUnknown(record.bootLoaderCarried));
  const HistoryStep* failed = nullptr;
  for (const HistoryStep& step : record.steps) {
    Field(text, "step", StepLine(step));
    if (failed == nullptr && step.result && !*step.result) {
      failed = &step;
    }
  }
  if (failed != nullptr) {
    FailureFields(text, *failed);
  }
  if (unfinished) {
    Field(text, "writing", record.writing);
  }
  Field(text, "boot-loader-after", VersionOrUnknown(record.bootLoaderAfter));
  Field(text, "firmware-after", VersionOrUnknown(record.firmwareAfter));
  if (!record.endingSignal.empty()) {
    Field(text, "signal", record.endingSignal);
  }
  Field(text, "outcome", RunEndName(record.end));
  text += '\n';
  return text;
}

namespace {

constexpr std::string_view kUnfinishedLine = "\noutcome: unfinished\n";
constexpr std::string_view kRunField = "run: ";
// A block longer than this is no record of this program's: it goes out as it
// is, without being held, so the view needs no more memory than this.
constexpr std::size_t kLongestHeldBlock = std::size_t{64} * 1024;

// The "run:" value of a record (its first line), or empty.
std::string_view RunOf(std::string_view block) {
  if (block.substr(0, kRunField.size()) != kRunField) {
    return {};
  }
  const std::string_view rest = block.substr(kRunField.size());
  return rest.substr(0, rest.find('\n'));
}

std::string FieldValue(std::string_view block, std::string_view name) {
  const std::string key = "\n" + std::string(name) + ": ";
  const std::size_t at = block.find(key);
  if (at == std::string_view::npos) {
    return {};
  }
  const std::size_t from = at + key.size();
  return std::string(block.substr(from, block.find('\n', from) - from));
}

bool IsUnfinished(std::string_view block) { return block.find(kUnfinishedLine) != std::string_view::npos; }

// Where the block that begins `text` ends (just past its empty line), or
// npos when it does not end in `text`. A block ends at the first empty line.
std::size_t BlockEnd(std::string_view text, bool atLineStart) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 ? atLineStart : text[i - 1] == '\n')) {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

// The history as --history shows it, from the stored bytes as they come: an
// unfinished record is held until the next record shows whether the same run
// went on (then it is left out) or not (then it goes out as it is).
class HistoryView {
 public:
  explicit HistoryView(const HistorySink& out) : out_(out) {}

  bool Take(std::string_view piece, std::string& reason) {
    while (!piece.empty()) {
      if (passingThrough_) {
        // The rest of an over-long block, straight out.
        const std::size_t end = BlockEnd(piece, lastWasNewline_);
        const std::string_view part = piece.substr(0, end == std::string_view::npos ? piece.size() : end);
        lastWasNewline_ = part.back() == '\n';
        if (!Emit(part, reason)) return false;
        piece.remove_prefix(part.size());
        passingThrough_ = end == std::string_view::npos;
        continue;
      }
      block_.append(piece);
      piece = {};
      std::size_t end = 0;
      while ((end = BlockEnd(std::string_view(block_), true)) != std::string_view::npos) {
        if (!Block(block_.substr(0, end), reason)) return false;
        block_.erase(0, end);
      }
      if (block_.size() > kLongestHeldBlock) {
        if (!Release(reason) || !Emit(block_, reason)) return false;
        lastWasNewline_ = block_.back() == '\n';
        block_.clear();
        passingThrough_ = true;
      }
    }
    return true;
  }

  // The end of the history: what is held goes out.
  bool Finish(std::string& reason) {
    if (!block_.empty() && !Block(block_, reason)) return false;
    block_.clear();
    return Release(reason);
  }

 private:
  bool Block(const std::string& block, std::string& reason) {
    if (!held_.empty()) {
      const std::string_view run = RunOf(block);
      if (run.empty() || run != RunOf(held_)) {
        if (!Emit(held_, reason)) return false;
      }
      held_.clear();
    }
    if (IsUnfinished(block)) {
      held_ = block;
      return true;
    }
    return Emit(block, reason);
  }

  bool Release(std::string& reason) {
    if (held_.empty()) return true;
    const bool emitted = Emit(held_, reason);
    held_.clear();
    return emitted;
  }

  bool Emit(std::string_view text, std::string& reason) { return text.empty() || out_(text, reason); }

  const HistorySink& out_;
  std::string block_;  // the block being read
  std::string held_;   // an unfinished record, until the next block
  bool passingThrough_ = false;
  bool lastWasNewline_ = false;
};

}  // namespace

std::optional<UnfinishedRun> FindUnfinishedRun(std::string_view historyEnd) {
  // The blocks, each from a line start (the first may be cut: it has no run).
  std::vector<std::string_view> blocks;
  std::string_view rest = historyEnd;
  while (!rest.empty()) {
    const std::size_t end = BlockEnd(rest, true);
    const std::size_t take = end == std::string_view::npos ? rest.size() : end;
    blocks.push_back(rest.substr(0, take));
    rest.remove_prefix(take);
  }
  for (std::size_t i = blocks.size(); i-- > 0;) {
    if (RunOf(blocks[i]).empty() || !IsUnfinished(blocks[i])) {
      continue;
    }
    if (i + 1 < blocks.size() && RunOf(blocks[i + 1]) == RunOf(blocks[i])) {
      return std::nullopt;  // the last run that began writing went on to its end
    }
    return UnfinishedRun{std::string(RunOf(blocks[i])), FieldValue(blocks[i], "serial-number")};
  }
  return std::nullopt;
}

int ShowHistory(HistoryStore& store, const HistorySink& out, std::string& error) {
  HistoryView view(out);
  HistoryRead read = store.Read([&view](std::string_view piece, std::string& reason) { return view.Take(piece, reason); });
  if (read.status == HistoryRead::Status::Read && !view.Finish(read.reason)) {
    read.status = HistoryRead::Status::NotShown;
  }
  switch (read.status) {
    case HistoryRead::Status::Read:
      return 0;
    case HistoryRead::Status::NotShown:
      error = "k24update: could not show the update history " + read.location + ": " + read.reason + "\n";
      return kExitNoHistory;
    case HistoryRead::Status::Missing:
      error = "k24update: no update history yet: " + read.location + " does not exist\n";
      return kExitNoHistory;
    case HistoryRead::Status::Unreadable:
      break;
  }
  error = "k24update: could not read the update history" + (read.location.empty() ? "" : " " + read.location) +
          ": " + read.reason + "\n";
  return kExitNoHistory;
}

std::optional<std::string> HistoryPathFromEnvironment(const char* xdgStateHome, const char* home) {
  constexpr const char* kTail = "/k24update/history.log";
  // "/var/x/" is "/var/x": no doubled slash in the path shown.
  const auto base = [](const char* directory) {
    std::string path(directory);
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
  };
  if (xdgStateHome != nullptr && xdgStateHome[0] == '/') {
    return base(xdgStateHome) + kTail;
  }
  if (home != nullptr && home[0] == '/') {
    return base(home) + "/.local/state" + kTail;
  }
  return std::nullopt;
}

namespace {

class SystemWallClockImpl final : public WallClock {
 public:
  std::int64_t UnixSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
};

}  // namespace

WallClock& SystemWallClock() {
  static SystemWallClockImpl clock;
  return clock;
}

}  // namespace k24
