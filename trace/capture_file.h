// A capture file read with libpcap (pcap or pcapng): its link type and its
// packets. For the tools and the tests; k24update itself never reads one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "trace/capture.h"

namespace k24 {

struct CaptureFileContents {
  std::uint32_t linkType = 0;
  std::vector<CapturePacket> packets;
  // Why the packets ended before the file did (a record cut short, as a
  // program killed while writing leaves it); empty when the file was read to
  // its end.
  std::string cutShort;
};

// False, with why, when the file cannot be opened as a capture.
bool ReadCaptureFile(const std::string& path, CaptureFileContents& contents, std::string& error);

// Reads the file and decodes the recorder's transfers from it.
bool ReadRecorderCapture(const std::string& path, RecorderCapture& capture, std::string& cutShort,
                         std::string& error);

}  // namespace k24
