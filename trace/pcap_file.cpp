#include "trace/pcap_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

#include "common/byte_order.h"

namespace k24 {

std::array<std::uint8_t, kPcapFileHeaderSize> PcapFileHeader(std::uint32_t linkType, std::uint32_t snapshotLength) {
  std::array<std::uint8_t, kPcapFileHeaderSize> header{};
  PutLe32(header, 0, kPcapMagic);
  PutLe16(header, 4, 2);  // version 2.4
  PutLe16(header, 6, 4);
  PutLe32(header, 8, 0);   // timestamps are UTC
  PutLe32(header, 12, 0);  // accuracy: not given
  PutLe32(header, 16, snapshotLength);
  PutLe32(header, 20, linkType);
  return header;
}

std::array<std::uint8_t, kPcapRecordHeaderSize> PcapRecordHeader(std::uint32_t seconds, std::uint32_t microseconds,
                                                                std::uint32_t keptLength, std::uint32_t wireLength) {
  std::array<std::uint8_t, kPcapRecordHeaderSize> header{};
  PutLe32(header, 0, seconds);
  PutLe32(header, 4, microseconds);
  PutLe32(header, 8, keptLength);
  PutLe32(header, 12, wireLength);
  return header;
}

namespace {

class CaptureFile final : public CaptureSink {
 public:
  explicit CaptureFile(std::string path) : path_(std::move(path)) {}

  bool Write(std::span<const std::uint8_t> piece, std::string& reason) override {
    if (!file_.is_open()) {
      // Without a buffer of its own (set before the file opens): each piece
      // goes to the system in the call that writes it.
      file_.rdbuf()->pubsetbuf(nullptr, 0);
      errno = 0;
      file_.open(path_, std::ios::binary | std::ios::trunc);
      if (!file_.is_open()) {
        reason = errno != 0 ? std::strerror(errno) : "the file cannot be made";
        return false;
      }
    }
    errno = 0;
    file_.write(reinterpret_cast<const char*>(piece.data()), static_cast<std::streamsize>(piece.size()));
    file_.flush();
    if (!file_) {
      reason = errno != 0 ? std::strerror(errno) : "the write was cut short";
      return false;
    }
    return true;
  }

 private:
  std::string path_;
  std::ofstream file_;
};

}  // namespace

std::unique_ptr<CaptureSink> MakeCaptureFile(const std::string& path) { return std::make_unique<CaptureFile>(path); }

}  // namespace k24
