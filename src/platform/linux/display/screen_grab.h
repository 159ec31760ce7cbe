// Images of a monitor's area of the X screen, as 32-bit B, G, R, 0xFF pixels, for desktop duplication.
//
// - MIT-SHM where the server offers it (a local server that lets us attach): the server writes the area into a
//   shared segment. Segments are kept between grabs, per connection and size, and given back when the connection
//   closes; a segment is reused only after every image made in it has gone, so an image never changes once made.
// - With RENDER and shared pixmaps, the server composites the screen into a 32-bit pixmap over the segment, which
//   sets the fourth byte to 0xFF as it copies. Without them, XShmGetImage, after which the fourth byte (nothing
//   for a depth-24 visual) is set here in one pass.
// - XGetImage where shared memory does not work, its buffer taken over as the image without a copy.
// - Only the layout that maps directly to BGRA is offered: 32 bits per pixel, least significant byte first,
//   masks 0xFF0000/0xFF00/0xFF. Other visuals fail with DXGI_ERROR_UNSUPPORTED.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/linux/display/win32_d3d.h"

namespace quorvel::platform::d3d {

// One monitor of the display.
struct ScreenArea {
  HMONITOR monitor = nullptr;
  RECT rect{};
  bool primary = false;
};

class Image {
 public:
  virtual ~Image() = default;
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  const std::uint8_t* data() const { return data_; }
  UINT width() const { return width_; }
  UINT height() const { return height_; }
  UINT row_pitch() const { return row_pitch_; }

 protected:
  Image() = default;
  std::uint8_t* data_ = nullptr;
  UINT width_ = 0;
  UINT height_ = 0;
  UINT row_pitch_ = 0;
};
using ImagePtr = std::shared_ptr<const Image>;

// An image in ordinary memory, filled by its maker before it is shared.
class HeapImage final : public Image {
 public:
  HeapImage(UINT width, UINT height, UINT row_pitch);  // zero-filled
  std::uint8_t* bytes() { return storage_.data(); }

 private:
  std::vector<std::uint8_t> storage_;
};

// The display's monitors, primary first, then in RandR's order. False (DXGI_ERROR_UNSUPPORTED) without a display.
HRESULT ListMonitors(std::vector<ScreenArea>& monitors);

// True when the display can be reached and its pixels map to BGRA.
bool DisplaySupported();

// Grabs `area` of the screen. S_OK with the image; DXGI_ERROR_ACCESS_LOST when the display went away, the area
// is no longer on the screen or the server refuses to read it (rootless Xwayland), or when `still_valid` (if
// given) says the area no longer stands for what the caller grabs; DXGI_ERROR_UNSUPPORTED for a visual of another
// layout; E_OUTOFMEMORY. `still_valid` runs within the grab's session, after the server has answered for the
// pixels, so that what it reads is no older than the image.
HRESULT GrabArea(const RECT& area, ImagePtr& image, const std::function<bool()>& still_valid = nullptr);

// The ways of grabbing, best first; the test seam can rule out the better ones to reach the others.
enum class GrabMethod { kRender, kShmGetImage, kGetImage };
GrabMethod SeamBestGrabMethod();
// True while the test seam has the server refuse the grabs' reads.
bool SeamRefusesReads();

// Sets the fourth byte of `count` pixels to 0xFF.
void SetOpaque(std::uint8_t* pixels, std::size_t count);

}  // namespace quorvel::platform::d3d
