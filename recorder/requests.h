// The vendor requests the recorder (its running firmware or its boot loader)
// understands, as the host uses them. Direction "in" is recorder to host.
//
//  code  name                  dir  value          length  data
//  0x20  ReadFlash             in   flash address  64      64 bytes of flash
//  0x21  WriteFlash            out  flash address  64      64 bytes to program
//  0x22  ErasePage             in   page address   2       reply never interpreted
//  0x23  Restart               in   0              0       recorder re-enumerates
//  0x24  GetBootLoaderVersion  in   0              2       VersionWord
//  0x26  FinishFirmware        in   0              4       reply never interpreted
//  0xB1  PostUpdateQuery       in   0              4       reply never interpreted
//  0xC1  GetSerialNumber       in   0              21      serial number text
//  0xC2  SetSerialNumber       out  0              21      serial number text
//  0xC5  CommitBootArea        in   0              1       non-zero = accepted
//  0xC6  GetFirmwareVersion    in   0              2       VersionWord
//  0xD1  NandEraseBlock        out  0              5       NandEraseRecord
//  0xD2  NandStatus            in   0              1       0 = success
//  0xE0  NandReadPages         out  0              19      NandPageRecord, pages on bulk pipe 2
//  0xE1  NandWritePages        out  0              19      NandPageRecord, pages on bulk pipe 1
#pragma once

#include <cstddef>
#include <cstdint>

namespace k24 {

inline constexpr std::uint8_t kRequestReadFlash = 0x20;
inline constexpr std::uint8_t kRequestWriteFlash = 0x21;
inline constexpr std::uint8_t kRequestErasePage = 0x22;
inline constexpr std::uint8_t kRequestRestart = 0x23;
inline constexpr std::uint8_t kRequestGetBootLoaderVersion = 0x24;
inline constexpr std::uint8_t kRequestFinishFirmware = 0x26;
inline constexpr std::uint8_t kRequestPostUpdateQuery = 0xB1;
inline constexpr std::uint8_t kRequestGetSerialNumber = 0xC1;
inline constexpr std::uint8_t kRequestSetSerialNumber = 0xC2;
inline constexpr std::uint8_t kRequestCommitBootArea = 0xC5;
inline constexpr std::uint8_t kRequestGetFirmwareVersion = 0xC6;
inline constexpr std::uint8_t kRequestNandEraseBlock = 0xD1;
inline constexpr std::uint8_t kRequestNandStatus = 0xD2;
inline constexpr std::uint8_t kRequestNandReadPages = 0xE0;
inline constexpr std::uint8_t kRequestNandWritePages = 0xE1;

// Data lengths of the requests.
inline constexpr std::size_t kFlashChunkSize = 64;  // ReadFlash, WriteFlash
inline constexpr std::size_t kErasePageReplySize = 2;
inline constexpr std::size_t kVersionReplySize = 2;
inline constexpr std::size_t kFinishFirmwareReplySize = 4;
inline constexpr std::size_t kPostUpdateQueryReplySize = 4;
inline constexpr std::size_t kSerialNumberSize = 21;  // GetSerialNumber, SetSerialNumber
inline constexpr std::size_t kCommitBootAreaReplySize = 1;
inline constexpr std::size_t kNandStatusReplySize = 1;

// Recorder program flash addresses the host uses.
inline constexpr std::uint16_t kFlashPageSize = 512;
inline constexpr std::uint16_t kProgrammingStatePage = 0x0200;  // erased to enter programming state
inline constexpr std::uint16_t kFlashIdentityReadAddress = 0x29F9;
inline constexpr std::uint16_t kFlashSerialNumberAddress = 0xDE00;

// The USB identity of the recorder.
inline constexpr std::uint16_t kRecorderVendorId = 0x10C4;
inline constexpr std::uint16_t kRecorderProductId = 0x4512;

}  // namespace k24
