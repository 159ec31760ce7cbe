// fuzz-sources: src/platform/linux/shell/byte_source.cpp src/platform/linux/shell/icon_file.cpp src/platform/linux/shell/icon_directory.cpp src/platform/linux/shell/pe_resources.cpp src/platform/linux/shell/dib_decode.cpp src/platform/linux/shell/png_decode.cpp
// fuzz-libs: -lpng
//
// The icon reader over arbitrary bytes, as a PE image, an .ico file, or a bare PNG / BMP icon image: no input
// may crash it, read outside the bytes, or yield an image whose size breaks its own invariants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/linux/shell/byte_source.h"
#include "platform/linux/shell/dib_decode.h"
#include "platform/linux/shell/icon_file.h"
#include "platform/linux/shell/png_decode.h"

namespace icons = quorvel::platform::icons;

namespace {

void Check(const icons::IconImage& image) {
  if (image.width == 0 || image.height == 0 || image.width > icons::kMaxIconSide ||
      image.height > icons::kMaxIconSide ||
      image.pixels.size() != static_cast<std::size_t>(image.width) * image.height) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const icons::MemorySource source(bytes);
  const std::uint32_t groups = icons::CountIconGroups(source);
  struct Request {
    std::uint32_t index, cx, cy;
  };
  for (const Request r : {Request{0, 16, 16}, Request{0, 256, 256}, Request{1, 32, 32}}) {
    icons::IconImage image;
    const icons::IconResult result = icons::ReadFileIcon(source, r.index, r.cx, r.cy, image);
    if (result == icons::IconResult::kOk) {
      Check(image);
      if (r.index >= groups) std::abort();  // an icon from a group the count does not know
    }
  }
  icons::IconImage image;
  if (icons::DecodePng(bytes, image)) Check(image);
  if (icons::DecodeDibIcon(bytes, image)) Check(image);
  return 0;
}
