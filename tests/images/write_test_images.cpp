// Writes the stored images that the image fixtures of these tests are built
// from, into the directory given as the only argument:
//   FWC-3.4.bin    a firmware image unlike the sample: version 3.4, boot loader 1.5, "K24B2"
//   FWC-short.bin  the sample firmware cut one byte short of a usable image
#include <cstdio>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "tools/sample_images.h"
#include "tests/images/test_images.h"

namespace {

bool WriteFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "write_test_images: cannot write %s\n", path.c_str());
  }
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: write_test_images DIR\n", stderr);
    return 2;
  }
  const std::string directory = argv[1];
  std::vector<std::uint8_t> shortImage = k24::StoreImage(k24::BuildSampleFirmwareImage());
  shortImage.resize(k24::kFlashImageSize - 1);
  const bool written =
      WriteFile(directory + "/FWC-3.4.bin", k24::StoreImage(k24::BuildSampleFirmwareImage(k24::test::kGivenFirmwareFields))) &&
      WriteFile(directory + "/FWC-short.bin", shortImage);
  return written ? 0 : 1;
}
