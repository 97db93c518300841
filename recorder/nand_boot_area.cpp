#include "recorder/nand_boot_area.h"

#include <algorithm>
#include <vector>

#include "common/byte_order.h"
#include "recorder/requests.h"

namespace k24 {

NandPageRecord BuildNandPageRecord(std::uint32_t firstPage, std::uint32_t pageCount) {
  using Field = NandPageRecordLayout;
  NandPageRecord record{};
  record[Field::unit] = 0;
  PutBe16(record, Field::pageSize, kNandPageSize);
  PutBe16(record, Field::fixedWord1, kNandPageRecordFixedWord1);
  PutBe16(record, Field::fixedWord2, kNandPageRecordFixedWord2);
  PutBe16(record, Field::fixedWord3, kNandPageRecordFixedWord3);
  PutBe32(record, Field::pageCount, pageCount);
  PutBe32(record, Field::firstPage, firstPage);
  PutBe16(record, Field::trailer, 0);
  return record;
}

NandEraseRecord BuildNandEraseRecord(std::uint16_t block) {
  using Field = NandEraseRecordLayout;
  NandEraseRecord record{};
  record[Field::unit] = 0;
  PutBe32(record, Field::firstPage, std::uint32_t{block} * kNandPagesPerBlock);
  return record;
}

namespace {

// ReadNandPages, keeping how its request ended. A request that got no
// answer is not followed by its bulk read, which would get none either.
LinkResult ReadPages(DeviceLink& link, std::uint32_t firstPage, std::uint32_t pageCount, std::span<std::uint8_t> data,
                     SentRequest& announced) {
  NandPageRecord record = BuildNandPageRecord(firstPage, pageCount);
  announced = SendRequest(link, kRequestNandReadPages, 0, record);
  if (GotNoAnswer(announced)) {
    return {LinkStatus::TimedOut, 0};
  }
  return BulkReadAll(link, data.first(std::size_t{pageCount} * kNandPageSize));
}

}  // namespace

std::uint32_t ReadNandPages(DeviceLink& link, std::uint32_t firstPage, std::uint32_t pageCount,
                            std::span<std::uint8_t> data) {
  SentRequest announced;
  return ReadPages(link, firstPage, pageCount, data, announced).transferred;
}

StepResult WriteNandPages(DeviceLink& link, std::uint32_t firstPage, std::uint32_t pageCount,
                          std::span<std::uint8_t> data) {
  NandPageRecord record = BuildNandPageRecord(firstPage, pageCount);
  const std::span<std::uint8_t> pages = data.first(std::size_t{pageCount} * kNandPageSize);
  const SentRequest announced = SendRequest(link, kRequestNandWritePages, 0, record);
  // The pages do not follow a request that got no answer.
  const std::uint32_t moved = GotNoAnswer(announced) ? 0 : BulkWriteAll(link, pages).transferred;
  StepResult result;
  if (moved == pages.size() && announced) {
    return result;
  }
  result.failure = StepFailure::PageNotWritten;
  result.page = firstPage;
  result.bytesMoved = moved;
  result.bytesExpected = static_cast<std::uint32_t>(pages.size());
  if (!announced) {
    result.request = announced;
    result.failedRequests = 1;
  }
  return result;
}

StepResult EraseNandBlock(DeviceLink& link, std::uint16_t block) {
  NandEraseRecord record = BuildNandEraseRecord(block);
  StepResult result;
  // A recorder that gives no answer at all gets no more requests: each would
  // wait out the driver's time limit in turn.
  const SentRequest erase = SendRequest(link, kRequestNandEraseBlock, 0, record);
  if (GotNoAnswer(erase)) {
    NoteRequest(result, erase);
    return result;
  }
  // A status request that is not carried out leaves the 0 and counts as success.
  RequestData<kRequestNandStatus> status{0};
  const SentRequest asked = SendRequest(link, kRequestNandStatus, 0, status);
  if (GotNoAnswer(asked)) {
    NoteRequest(result, asked);
    return result;
  }
  if (status[0] != 0) {
    result.failure = StepFailure::EraseNotConfirmed;
    result.request = asked;
    result.nandEraseStatus = status[0];
  }
  return result;
}

StepResult RewriteNandBootArea(DeviceLink& link, std::span<const std::uint8_t> replacer) {
  StepResult result;
  if (replacer.size() < kNandBootImageSize) {
    result.failure = StepFailure::ImageTooShort;
    return result;
  }
  // One block, on the heap for the length of the call.
  std::vector<std::uint8_t> work(kNandBlockSize);
  const std::span<std::uint8_t> block(work);

  // Page 0 is written back as it was read: if the read came up short, the
  // buffer does not hold it, and the block is left alone rather than given
  // undefined bytes in page 0.
  SentRequest announced;
  const std::uint32_t read = ReadPages(link, 0, kNandPagesPerBlock, block, announced).transferred;
  if (read < kNandBlockSize) {
    result.failure = StepFailure::BlockReadShort;
    result.bytesMoved = read;
    result.bytesExpected = static_cast<std::uint32_t>(kNandBlockSize);
    if (!announced) {
      result.request = announced;  // not examined, but it tells why
    }
    return result;
  }
  std::fill(work.begin() + kNandPageSize, work.end(), std::uint8_t{0xFF});
  // The image runs straight across page boundaries from page 1 on.
  std::copy_n(replacer.begin(), kNandBootImageSize, work.begin() + kNandPageSize);

  // A failed erase shows in the read-back; its status byte is kept beside.
  // One the recorder gave no answer to ends the rewrite there.
  const StepResult erased = EraseNandBlock(link, 0);
  if (erased.failure == StepFailure::RequestFailed) {
    return erased;
  }
  const std::optional<std::uint8_t> eraseStatus = erased.nandEraseStatus;
  for (std::uint32_t page = 0; page < kNandPagesPerBlock; ++page) {
    // The read-back covers only the image's pages: page 0, the recorder's
    // own, and the erased pages after the image are checked here, by their
    // writes going out whole. A block not written as planned is never committed.
    StepResult written = WriteNandPages(link, page, 1, block.subspan(std::size_t{page} * kNandPageSize));
    if (!written) {
      written.nandEraseStatus = eraseStatus;
      return written;
    }
  }
  result.nandEraseStatus = eraseStatus;
  // Pages 1 to 63 read back one page lower, so the image starts at offset 0.
  // Before each read its place holds the complement of the image bytes it
  // should bring: a read that is refused or cut short leaves bytes there that
  // the comparison finds, whatever the image (the page written there before
  // may hold the very bytes expected, where the image repeats itself). One
  // the recorder gives no answer to ends the read-back at once.
  for (std::uint32_t page = 0; page + 1 < kNandPagesPerBlock; ++page) {
    const std::span<std::uint8_t> slot = block.subspan(std::size_t{page} * kNandPageSize, kNandPageSize);
    for (std::size_t i = 0; i < slot.size(); ++i) {
      const std::size_t at = std::size_t{page} * kNandPageSize + i;
      slot[i] = at < kNandBootImageSize ? static_cast<std::uint8_t>(~replacer[at]) : std::uint8_t{0};
    }
    const LinkResult readBack = ReadPages(link, page + 1, 1, slot, announced);
    if (readBack.status == LinkStatus::TimedOut) {
      result.failure = StepFailure::ReadBackNoAnswer;
      result.page = page + 1;
      result.bytesMoved = readBack.transferred;
      result.bytesExpected = kNandPageSize;
      if (GotNoAnswer(announced)) {
        result.request = announced;
        result.failedRequests = 1;
      }
      return result;
    }
  }
  const auto image = replacer.first(kNandBootImageSize);
  const auto differs = std::mismatch(image.begin(), image.end(), work.begin());
  if (differs.first != image.end()) {
    result.failure = StepFailure::ReadBackMismatch;
    result.mismatchOffset = static_cast<std::size_t>(differs.first - image.begin());
    return result;
  }
  // The recorder may restart as it takes the new boot area, before it answers:
  // a commit request that fails on a recorder that was there leaves the 1 and
  // counts as accepted. With no recorder at all nothing was committed.
  RequestData<kRequestCommitBootArea> accepted{1};
  const SentRequest commit = SendRequest(link, kRequestCommitBootArea, 0, accepted);
  if (commit.status == LinkStatus::NoRecorder || commit.status == LinkStatus::NotAlone) {
    NoteRequest(result, commit);
  } else if (accepted[0] == 0) {
    result.failure = StepFailure::CommitRefused;
    result.request = commit;
  }
  return result;
}

}  // namespace k24
