#include "trace/pcap_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
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
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;
  ~CaptureFile() override {
    if (file_ != nullptr) {
      std::fclose(file_);
    }
  }

  bool Write(std::span<const std::uint8_t> piece, std::string& reason) override {
    if (file_ == nullptr) {
      file_ = std::fopen(path_.c_str(), "wb");
      if (file_ == nullptr) {
        reason = std::strerror(errno);
        return false;
      }
      // Unbuffered: each piece goes to the system in the call that writes it.
      std::setvbuf(file_, nullptr, _IONBF, 0);
    }
    errno = 0;
    if (std::fwrite(piece.data(), 1, piece.size(), file_) != piece.size() || std::fflush(file_) != 0) {
      reason = errno != 0 ? std::strerror(errno) : "the write was cut short";
      return false;
    }
    return true;
  }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
};

}  // namespace

std::unique_ptr<CaptureSink> MakeCaptureFile(const std::string& path) { return std::make_unique<CaptureFile>(path); }

}  // namespace k24
