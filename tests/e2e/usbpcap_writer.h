// A small writer of Windows USBPcap captures (pcap, link type 249), for the
// tests: the recorder's transfers of a capture written again as USBPcap
// writes such transfers on Windows, so that a capture of that kind can be
// checked against tshark and played back.
#pragma once

#include <cstdint>
#include <vector>

#include "trace/capture.h"

namespace k24::test {

// The whole file. A control transfer is a SETUP packet (the setup packet),
// a DATA packet with OUT data, then on the way back a DATA packet with IN data
// and a STATUS packet with the USBD status; a bulk transfer is one packet each
// way, with the data where it goes. Restarts are where the addresses change.
std::vector<std::uint8_t> WriteUsbPcapCapture(const RecorderCapture& capture);

}  // namespace k24::test
