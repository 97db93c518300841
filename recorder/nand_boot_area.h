// Rewriting the boot area (NAND block 0) of a recorder whose boot loader is
// older than 1.0: the replacer image goes into pages 1 on, is read back and
// compared, and is then committed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/device_link.h"
#include "recorder/requests.h"
#include "recorder/step_result.h"

namespace k24 {

inline constexpr std::uint16_t kNandPageSize = 2112;
inline constexpr std::uint32_t kNandPagesPerBlock = 64;
inline constexpr std::size_t kNandBlockSize = std::size_t{kNandPageSize} * kNandPagesPerBlock;  // 135,168
inline constexpr std::size_t kNandBootImageSize = 0x3C00;  // replacer bytes written and verified

// The two records, big-endian, each sent as the data stage of its request.
// Where a field's width is not written it is 16 bits.
//
// NandPageRecord (NandReadPages, NandWritePages). The three fixed words
// between the page size and the count are what the recorder expects there,
// always the same; the host gives them no other meaning.
struct NandPageRecordLayout {
  static constexpr std::size_t unit = 0;        // 8 bits, always 0
  static constexpr std::size_t pageSize = 1;    // bytes per page, 2112
  static constexpr std::size_t fixedWord1 = 3;  // always 1
  static constexpr std::size_t fixedWord2 = 5;  // always 0
  static constexpr std::size_t fixedWord3 = 7;  // always 1
  static constexpr std::size_t pageCount = 9;   // 32 bits
  static constexpr std::size_t firstPage = 13;  // 32 bits
  static constexpr std::size_t trailer = 17;    // always 0
  static constexpr std::size_t size = 19;
};
inline constexpr std::uint16_t kNandPageRecordFixedWord1 = 1;
inline constexpr std::uint16_t kNandPageRecordFixedWord2 = 0;
inline constexpr std::uint16_t kNandPageRecordFixedWord3 = 1;

// NandEraseRecord (NandEraseBlock).
struct NandEraseRecordLayout {
  static constexpr std::size_t unit = 0;        // 8 bits, always 0
  static constexpr std::size_t firstPage = 1;   // 32 bits: the block's first page, block × 64
  static constexpr std::size_t size = 5;
};

using NandPageRecord = RequestData<kRequestNandReadPages>;
using NandEraseRecord = RequestData<kRequestNandEraseBlock>;
static_assert(kRequestNandWritePages.length == NandPageRecordLayout::size &&
              kRequestNandReadPages.length == NandPageRecordLayout::size &&
              kRequestNandEraseBlock.length == NandEraseRecordLayout::size);

// The records, big-endian.
NandPageRecord BuildNandPageRecord(std::uint32_t firstPage, std::uint32_t pageCount);
NandEraseRecord BuildNandEraseRecord(std::uint16_t block);

// NandReadPages, then the pages on bulk pipe 2 (not after a request that got
// no answer); returns the bytes moved.
std::uint32_t ReadNandPages(DeviceLink& link, std::uint32_t firstPage, std::uint32_t pageCount,
                            std::span<std::uint8_t> data);
// NandWritePages, then the pages on bulk pipe 1 (not after a request that got
// no answer). Succeeds when the request went through and every byte of the
// pages went out; else PageNotWritten (with the request when it failed, and
// the bytes that went).
StepResult WriteNandPages(DeviceLink& link, std::uint32_t firstPage, std::uint32_t pageCount,
                          std::span<std::uint8_t> data);
// NandEraseBlock, then NandStatus; succeeds when the status byte is 0
// afterwards, else EraseNotConfirmed with the byte.
StepResult EraseNandBlock(DeviceLink& link, std::uint16_t block);

// The whole rewrite. Succeeds when every page went out whole, the read-back
// matched and the recorder accepted the commit; the recorder then restarts by
// itself. Ends early, without a commit, at the first page not written whole,
// and at the first page of the read-back the recorder gives no answer to.
// Fails as BlockReadShort (nothing written), PageNotWritten,
// ReadBackNoAnswer, ReadBackMismatch, CommitRefused, or RequestFailed (a
// commit with no recorder to take it); a status byte the erase left is kept
// beside.
StepResult RewriteNandBootArea(DeviceLink& link, std::span<const std::uint8_t> replacer);

}  // namespace k24
