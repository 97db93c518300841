// The vendor requests the recorder (its running firmware or its boot loader)
// understands, as the host uses them: one constant record per request, read
// next to the recorder's documentation. Direction "in" is recorder to host;
// the length is the data stage's, a request's reply or the data it carries.
// Every request goes out through SendRequest, which takes its record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/device_link.h"

namespace k24 {

// What the host makes of a request's reply (the data stage of a request
// "in"). The link reports how many bytes came; the request's use of them
// decides whether fewer than asked are an answer.
enum class ReplyUse : std::uint8_t {
  None,     // no reply: a request out, or one without a data stage
  Ignored,  // never interpreted: any length is an answer
  Whole,    // every byte is read: a shorter reply is no answer (ShortReply)
  Text,     // a NUL-terminated text: whole once its terminator came, or every byte
  Preset,   // one byte the caller presets, which stands when none came
};

struct RecorderRequest {
  std::uint8_t code;
  std::uint8_t direction;  // kDirectionIn or kDirectionOut
  std::uint16_t length;    // bytes of the data stage
  ReplyUse reply;
};

inline constexpr RecorderRequest kRequestReadFlash{0x20, kDirectionIn, 64, ReplyUse::Whole};  // 64 bytes of flash
inline constexpr RecorderRequest kRequestWriteFlash{0x21, kDirectionOut, 64, ReplyUse::None};  // 64 bytes to program
inline constexpr RecorderRequest kRequestErasePage{0x22, kDirectionIn, 2, ReplyUse::Ignored};
inline constexpr RecorderRequest kRequestRestart{0x23, kDirectionIn, 0, ReplyUse::None};  // recorder re-enumerates
inline constexpr RecorderRequest kRequestGetBootLoaderVersion{0x24, kDirectionIn, 2, ReplyUse::Whole};  // VersionWord
inline constexpr RecorderRequest kRequestFinishFirmware{0x26, kDirectionIn, 4, ReplyUse::Ignored};
inline constexpr RecorderRequest kRequestPostUpdateQuery{0xB1, kDirectionIn, 4, ReplyUse::Ignored};
inline constexpr RecorderRequest kRequestGetSerialNumber{0xC1, kDirectionIn, 21, ReplyUse::Text};  // serial number text
inline constexpr RecorderRequest kRequestSetSerialNumber{0xC2, kDirectionOut, 21, ReplyUse::None};  // serial number text
inline constexpr RecorderRequest kRequestCommitBootArea{0xC5, kDirectionIn, 1, ReplyUse::Preset};  // non-zero = accepted
inline constexpr RecorderRequest kRequestGetFirmwareVersion{0xC6, kDirectionIn, 2, ReplyUse::Whole};  // VersionWord
inline constexpr RecorderRequest kRequestNandEraseBlock{0xD1, kDirectionOut, 5, ReplyUse::None};  // NandEraseRecord
inline constexpr RecorderRequest kRequestNandStatus{0xD2, kDirectionIn, 1, ReplyUse::Preset};  // 0 = success
inline constexpr RecorderRequest kRequestNandReadPages{0xE0, kDirectionOut, 19, ReplyUse::None};  // pages on bulk pipe 2
inline constexpr RecorderRequest kRequestNandWritePages{0xE1, kDirectionOut, 19, ReplyUse::None};  // pages on bulk pipe 1

// The data stage of a request, sized by its record.
template <const RecorderRequest& request>
using RequestData = std::array<std::uint8_t, request.length>;

// A request as it went out and how it ended: enough to say, after the fact,
// which request failed and what came back (the update history keeps it).
struct SentRequest {
  std::uint8_t code = 0;
  std::uint8_t direction = kDirectionIn;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;  // bytes of the data stage asked for
  LinkStatus status = LinkStatus::Failed;
  std::uint32_t transferred = 0;  // bytes of the data stage the driver reports moved
  explicit operator bool() const { return status == LinkStatus::Ok; }
};

// Sends `request` with `value` (index 0, as in every request) and its data
// stage. `data` must be exactly the request's length; anything else is a
// mistake on the host's side and is not sent (Failed). A reply shorter than
// the request's use of it needs fails as ShortReply; the bytes that came are
// in `data`, the rest as the caller set it.
SentRequest SendRequest(DeviceLink& link, const RecorderRequest& request, std::uint16_t value,
                        std::span<std::uint8_t> data);
// For the requests without a data stage (Restart).
SentRequest SendRequest(DeviceLink& link, const RecorderRequest& request, std::uint16_t value);

// The request's name as the recorder's documentation gives it ("WriteFlash"),
// or nullptr for a code that is none of the catalogue's.
const char* RequestName(std::uint8_t code);

// Sizes that follow from the requests.
inline constexpr std::size_t kFlashChunkSize = kRequestWriteFlash.length;
inline constexpr std::size_t kSerialNumberSize = kRequestGetSerialNumber.length;
static_assert(kRequestReadFlash.length == kFlashChunkSize && kRequestSetSerialNumber.length == kSerialNumberSize);

// Recorder program flash addresses the host uses.
inline constexpr std::uint16_t kFlashPageSize = 512;
inline constexpr std::uint16_t kProgrammingStatePage = 0x0200;  // erased to enter programming state
inline constexpr std::uint16_t kFlashSerialNumberAddress = 0xDE00;

// The USB identity of the recorder.
inline constexpr std::uint16_t kRecorderVendorId = 0x10C4;
inline constexpr std::uint16_t kRecorderProductId = 0x4512;

}  // namespace k24
