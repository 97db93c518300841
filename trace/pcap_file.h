// The pcap file format (the classic one, not pcapng), as this program writes
// it: a 24-byte file header, then for each packet a 16-byte record header and
// the packet's bytes. Little-endian throughout; timestamps in microseconds.
//   file header:   0 magic 0xA1B2C3D4   4 version 2   6 version 4
//                  8 time zone 0       12 accuracy 0  16 snapshot length  20 link type
//   record header: 0 seconds  4 microseconds  8 bytes kept  12 bytes on the wire
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace k24 {

inline constexpr std::size_t kPcapFileHeaderSize = 24;
inline constexpr std::size_t kPcapRecordHeaderSize = 16;
inline constexpr std::uint32_t kPcapMagic = 0xA1B2C3D4;
// Long enough for usbmon's header and the longest transfer the program makes
// (a control transfer's 65,535 bytes): no record is ever cut.
inline constexpr std::uint32_t kTraceSnapshotLength = 0x40000;

std::array<std::uint8_t, kPcapFileHeaderSize> PcapFileHeader(std::uint32_t linkType, std::uint32_t snapshotLength);
std::array<std::uint8_t, kPcapRecordHeaderSize> PcapRecordHeader(std::uint32_t seconds, std::uint32_t microseconds,
                                                                std::uint32_t keptLength, std::uint32_t wireLength);

// Where a capture goes, a piece at a time; each piece is handed on whole
// before Write returns (nothing is kept back), so what was written survives
// the program's end, however it ends.
class CaptureSink {
 public:
  virtual ~CaptureSink() = default;
  // False, with why, when the piece could not be written whole.
  virtual bool Write(std::span<const std::uint8_t> piece, std::string& reason) = 0;
};

// A file, created (or emptied) at the first write, not before: a run that
// reaches no recorder leaves none, and the file of a run still going on is
// not emptied by another that ends at the instance lock. Written without a
// buffer of its own: every piece goes to the system as it is written.
std::unique_ptr<CaptureSink> MakeCaptureFile(const std::string& path);

}  // namespace k24
