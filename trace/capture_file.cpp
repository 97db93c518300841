#include "trace/capture_file.h"

#include <pcap/pcap.h>

namespace k24 {

bool ReadCaptureFile(const std::string& path, CaptureFileContents& contents, std::string& error) {
  char message[PCAP_ERRBUF_SIZE] = {};
  pcap_t* file = pcap_open_offline(path.c_str(), message);
  if (file == nullptr) {
    error = message;
    return false;
  }
  contents = CaptureFileContents{};
  contents.linkType = static_cast<std::uint32_t>(pcap_datalink(file));
  for (;;) {
    pcap_pkthdr* header = nullptr;
    const std::uint8_t* bytes = nullptr;
    const int got = pcap_next_ex(file, &header, &bytes);
    if (got == 1) {
      CapturePacket packet;
      packet.bytes.assign(bytes, bytes + header->caplen);
      packet.wireLength = header->len;
      contents.packets.push_back(std::move(packet));
      continue;
    }
    if (got == PCAP_ERROR) contents.cutShort = pcap_geterr(file);
    break;  // PCAP_ERROR_BREAK: the end of the file
  }
  pcap_close(file);
  return true;
}

bool ReadRecorderCapture(const std::string& path, RecorderCapture& capture, std::string& cutShort,
                         std::string& error) {
  CaptureFileContents contents;
  if (!ReadCaptureFile(path, contents, error)) return false;
  cutShort = contents.cutShort;
  return DecodeCapture(contents.linkType, contents.packets, capture, error);
}

}  // namespace k24
