// The update history: one record for every run that reached the recorder
// (found it and read its versions), appended to a plain text file that
// support can read as it is. Each record is one block of "field: value"
// lines, the first "run: TIME", ended by an empty line; the field names stay
// as they are, so the file can be searched with grep.
//
// Built and formatted here, without any platform; the file itself is behind
// the HistoryStore port (history_store.h).
#pragma once

#include <cstdint>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/version_word.h"
#include "history/history_store.h"
#include "images/image_digests.h"
#include "recorder/requests.h"
#include "recorder/step_result.h"

namespace k24 {

// How a run that reached the recorder ended.
enum class RunEnd : std::uint8_t {
  NoBootLoader,                // "Boot Loader not found..."
  FirmwareImageDamaged,        // the firmware image in the program is missing or damaged
  DeclinedAtOffer,             // a key other than 'Y' at the offer
  DeclinedAtWarning,           // a key other than 'L' at the warning
  SampleImages,                // the build's sample images, and the recorder not the emulator
  NotCompatible,               // another K24 model's identity
  BootLoaderImageDamaged,      // the boot loader image in the program is missing or damaged
  DeclinedAtBootLoaderPrompt,  // a key other than 'Y' at the boot loader upgrade prompt
  BootLoaderUpgradeFailed,     // "Replacing Boot Loader..." ... "Failed"
  FirmwareReplacementFailed,   // "Replacing firmware...Failed"
  Updated,                     // "Replacing firmware...OK"
  // The boot loader upgrade ended well, and a signal held during it (Ctrl+C,
  // SIGTERM, ...) then ended the program before the firmware was written.
  EndedBySignalAfterBootLoaderUpgrade,
  // Not an end: the record a run appends as it begins to write to the
  // recorder. The same run's next record follows it, unless the run was
  // ended meanwhile (killed, the power lost).
  Unfinished,
};

// One step the run took. A step whose result decides something has
// `result`; one whose result decides nothing (a restart sent, a serial
// number written back) says what it did in `note` alone.
struct HistoryStep {
  std::string name;
  std::optional<StepResult> result;
  std::string note;
};

struct UpdateRecord {
  std::int64_t startedAt = 0;  // seconds since 1970 UTC: the recorder's versions were read
  std::int64_t endedAt = 0;    // the run's outcome was settled
  std::string programVersion;
  ImageDigests imageDigests;
  bool imagesAreSamples = false;
  bool diagnosticMode = false;
  std::string serialNumber;  // as shown
  bool serialNumberRead = false;
  VersionWord bootLoaderBefore = 0;
  VersionWord firmwareBefore = 0;  // 0: no firmware answered
  // From the firmware image; none when it was not loaded.
  std::optional<VersionWord> firmwareOffered;
  std::optional<VersionWord> bootLoaderCarried;
  std::vector<HistoryStep> steps;
  // What the run left, as far as it knows without asking the recorder again
  // (no request is sent to read them back): none is "unknown", where a write
  // began and did not end as it should.
  std::optional<VersionWord> bootLoaderAfter;
  std::optional<VersionWord> firmwareAfter;
  RunEnd end = RunEnd::DeclinedAtOffer;
  // A signal that was held when the outcome was settled, and that ended the
  // program right after the record ("SIGINT"); empty when none.
  std::string endingSignal;
  // In an unfinished record: what the run began to write
  // ("boot-loader-upgrade", "firmware-replacement"); `endedAt` is then when.
  std::string writing;
};

// The record as its block of lines, the empty line that ends it included.
std::string FormatUpdateRecord(const UpdateRecord& record);

// A run whose latest record says it began writing to the recorder, with no
// later record of the same run after it: it was ended while it wrote.
struct UnfinishedRun {
  std::string run;           // its "run:" time, as recorded
  std::string serialNumber;  // as recorded
};

// Looks at the latest records of a history (its end, as ReadTail gives it):
// the last run that began writing, when it did not finish.
std::optional<UnfinishedRun> FindUnfinishedRun(std::string_view historyEnd);

// How much of the history's end FindUnfinishedRun is given: many records.
inline constexpr std::size_t kHistoryEndLooked = std::size_t{64} * 1024;

// "2026-12-10T05:12:33Z".
std::string Iso8601Utc(std::int64_t unixSeconds);

// The stable words of the record.
const char* RunEndName(RunEnd end);
const char* StepFailureName(StepFailure failure);
// "0x26 FinishFirmware, in, value 0x0000, index 0x0000, length 4".
std::string DescribeRequest(const SentRequest& request);
// "short reply, 2 of 4 bytes", "driver failure", "no answer within the
// driver's time limit", "no recorder found", "ok".
std::string DescribeRequestResult(const SentRequest& request);

// The program's version, as --version shows it.
const char* ProgramVersion();

// `k24update --history`: the whole history, a piece at a time, to `out`
// (standard output) and exit code 0, an empty history too; when there is none
// yet, or it cannot be read or shown, one line for standard error and
// kExitNoHistory. Each run is shown once: an unfinished record is left out
// where the same run's next record follows it, and shown as it is where none
// does (the run was ended while it wrote).
inline constexpr int kExitNoHistory = 2;
int ShowHistory(HistoryStore& store, const HistorySink& out, std::string& error);

}  // namespace k24
