// k24image: the image tool of the build. Makes and checks the stored images
// that the updater carries.
//   k24image scramble IN OUT   scramble (or, the same operation, descramble) a stored image
//   k24image info FILE         size, usability, SHA-256 and, for a firmware image, its fields
//   k24image sample DIR        write the sample images FWC.bin, BRC.bin, BRC20.bin
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/byte_order.h"
#include "common/shown_bytes.h"
#include "common/sha256.h"
#include "common/version_word.h"
#include "images/descrambler.h"
#include "images/image_layout.h"
#include "images/image_store.h"
#include "tools/sample_images.h"

namespace k24 {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void PrintUsage() {
  std::fputs(
      "usage: k24image scramble IN OUT   scramble or descramble a 65536-byte stored image\n"
      "       k24image info FILE         show a stored image's size, SHA-256 and, for firmware, its fields\n"
      "       k24image sample DIR        write the sample images FWC.bin, BRC.bin, BRC20.bin\n",
      stderr);
}

// Reads a whole stored image; a clear message on stderr when the file cannot
// be read or is not kStoredImageSize bytes long.
std::optional<std::vector<std::uint8_t>> ReadStoredImageFile(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    std::fprintf(stderr, "k24image: %s: cannot read: not a regular file or does not exist\n", path.c_str());
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "k24image: %s: cannot open for reading\n", path.c_str());
    return std::nullopt;
  }
  // Read one byte more than a stored image, to tell "too long" without reading
  // an arbitrarily large file.
  std::vector<std::uint8_t> bytes(kStoredImageSize + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) {
    std::fprintf(stderr, "k24image: %s: read error\n", path.c_str());
    return std::nullopt;
  }
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (bytes.size() != kStoredImageSize) {
    std::printf("%s: %s bytes, not usable\n", path.c_str(),
                bytes.size() > kStoredImageSize ? "more than 65536" : std::to_string(bytes.size()).c_str());
    std::fprintf(stderr,
                 "k24image: %s: wrong size: a stored image is exactly %zu bytes (the updater uses the "
                 "first %zu)\n",
                 path.c_str(), kStoredImageSize, kFlashImageSize);
    return std::nullopt;
  }
  return bytes;
}

bool WriteFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "k24image: %s: cannot write\n", path.c_str());
    return false;
  }
  return true;
}

// The scrambling covers the first kFlashImageSize bytes; the rest is unused
// and copied as it is.
void ScrambleStored(std::vector<std::uint8_t>& stored) {
  ScrambleBytes(std::span(stored).first(kFlashImageSize));
}

int Scramble(const std::string& inPath, const std::string& outPath) {
  std::optional<std::vector<std::uint8_t>> stored = ReadStoredImageFile(inPath);
  if (!stored) {
    return kExitFailure;
  }
  ScrambleStored(*stored);
  return WriteFile(outPath, *stored) ? kExitOk : kExitFailure;
}

std::string ShownIdentity(std::span<const std::uint8_t> identity) {
  return ShownBytes(identity, "\"");  // printed between quotes
}

int Info(const std::string& path) {
  std::optional<std::vector<std::uint8_t>> stored = ReadStoredImageFile(path);
  if (!stored) {
    return kExitFailure;
  }
  // Of the file as stored, as sha256sum shows it: the digest the build records.
  const std::string digest = Sha256Hex(Sha256(*stored));
  ScrambleStored(*stored);
  const std::span<const std::uint8_t> image(*stored);
  std::printf("%s: %zu bytes, usable (the first %zu are read)\n", path.c_str(), image.size(),
              kFlashImageSize);
  std::printf("  sha256: %s\n", digest.c_str());

  const std::span<const std::uint8_t> identity = image.subspan(kFirmwareIdentityOffset, kModelIdentitySize);
  if (!std::ranges::equal(identity.first(kModelFamilyTag.size()), kModelFamilyTag)) {
    std::printf("  not a firmware image: no K24 model identity at 0x%04zX (\"%s\"); "
                "expected for a boot loader replacer\n",
                kFirmwareIdentityOffset, ShownIdentity(identity).c_str());
    return kExitOk;
  }
  const VersionWord firmwareVersion = GetLe16(image, kFirmwareVersionOffset);
  const VersionWord bootLoaderVersion = GetLe16(image, kCarriedBootLoaderVersionOffset);
  std::printf("  firmware version: %d.%d\n", VersionMajor(firmwareVersion), VersionMinor(firmwareVersion));
  std::printf("  carried boot loader version: %d.%d\n", VersionMajor(bootLoaderVersion),
              VersionMinor(bootLoaderVersion));
  std::printf("  model identity: \"%s\"\n", ShownIdentity(identity).c_str());
  return kExitOk;
}

int Sample(const std::string& directory) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) {
    std::fprintf(stderr, "k24image: %s: cannot create directory: %s\n", directory.c_str(),
                 error.message().c_str());
    return kExitFailure;
  }
  const std::filesystem::path base(directory);
  const bool written = WriteFile((base / "FWC.bin").string(), StoreImage(BuildSampleFirmwareImage())) &&
                       WriteFile((base / "BRC.bin").string(), StoreImage(BuildSampleNandReplacerImage())) &&
                       WriteFile((base / "BRC20.bin").string(), StoreImage(BuildSampleFlashReplacerImage()));
  return written ? kExitOk : kExitFailure;
}

int Run(const std::vector<std::string_view>& args) {
  if (args.size() == 3 && args[0] == "scramble") {
    return Scramble(std::string(args[1]), std::string(args[2]));
  }
  if (args.size() == 2 && args[0] == "info") {
    return Info(std::string(args[1]));
  }
  if (args.size() == 2 && args[0] == "sample") {
    return Sample(std::string(args[1]));
  }
  PrintUsage();
  return kExitUsage;
}

}  // namespace
}  // namespace k24

int main(int argc, char** argv) {
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) {
    args.emplace_back(argv[i]);
  }
  return k24::Run(args);
}
