// Windows: the stored images are RT_RCDATA resources of the executable file,
// named "FWC", "BRC" and "BRC20" (cmake/EmbedImages.cmake compiles them in with
// windres). The file is loaded once, at start, as a data file: its resources
// are read from that mapping, never from code that runs.
#include <windows.h>

#include <algorithm>
#include <string>

#include "images/image_source.h"

namespace k24 {
namespace {

class ResourceImageSource final : public ImageSource {
 public:
  explicit ResourceImageSource(const std::string& path)
      : module_(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
  ResourceImageSource(const ResourceImageSource&) = delete;
  ResourceImageSource& operator=(const ResourceImageSource&) = delete;
  ~ResourceImageSource() override {
    if (module_ != nullptr) {
      FreeLibrary(module_);
    }
  }

  bool Read(std::string_view name, StoredImage& stored) override {
    if (module_ == nullptr) {
      return false;
    }
    const std::string resourceName(name);
    const HRSRC resource = FindResourceA(module_, resourceName.c_str(), RT_RCDATA);
    if (resource == nullptr) {
      return false;
    }
    const DWORD size = SizeofResource(module_, resource);
    const HGLOBAL loaded = LoadResource(module_, resource);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr || size < stored.size()) {
      return false;
    }
    const auto* first = static_cast<const std::uint8_t*>(bytes);
    std::copy(first, first + stored.size(), stored.begin());
    return true;
  }

 private:
  HMODULE module_;
};

}  // namespace

std::unique_ptr<ImageSource> OpenExecutableImageSource(const std::string& path) {
  return std::make_unique<ResourceImageSource>(path);
}

}  // namespace k24
