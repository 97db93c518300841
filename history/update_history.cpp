#include "history/update_history.h"

#include <chrono>
#include <cstdio>

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
  return std::to_string(VersionMajor(version)) + "." + std::to_string(VersionMinor(version));
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
  }
  return "?";
}

const char* StepFailureName(StepFailure failure) {
  switch (failure) {
    case StepFailure::None: return "none";
    case StepFailure::RequestFailed: return "request-failed";
    case StepFailure::RecorderDidNotLeave: return "recorder-did-not-leave";
    case StepFailure::RecorderDidNotReturn: return "recorder-did-not-return";
    case StepFailure::ImageTooShort: return "image-too-short";
    case StepFailure::BlockReadShort: return "nand-block-read-short";
    case StepFailure::PageNotWritten: return "nand-page-not-written";
    case StepFailure::ReadBackMismatch: return "nand-read-back-mismatch";
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
    case LinkStatus::Failed: return "driver failure";
    case LinkStatus::ShortReply:
      return "short reply, " + std::to_string(request.transferred) + " of " + std::to_string(request.length) +
             " bytes";
  }
  return "?";
}

std::string FormatUpdateRecord(const UpdateRecord& record) {
  std::string text;
  Field(text, "run", Iso8601Utc(record.startedAt));
  Field(text, "ended", Iso8601Utc(record.endedAt));
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
  Field(text, "boot-loader-after", VersionOrUnknown(record.bootLoaderAfter));
  Field(text, "firmware-after", VersionOrUnknown(record.firmwareAfter));
  Field(text, "outcome", RunEndName(record.end));
  text += '\n';
  return text;
}

int ShowHistory(HistoryStore& store, const HistorySink& out, std::string& error) {
  const HistoryRead read = store.Read(out);
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
