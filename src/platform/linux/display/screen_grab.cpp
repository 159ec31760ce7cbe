#include "platform/linux/display/screen_grab.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrender.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "platform/linux/display/x11_display.h"

namespace quorvel::platform::d3d {

namespace {

// Free segments kept for reuse, over all sizes: enough for a few captures at once without hoarding memory.
constexpr std::size_t kMaxFreeSegments = 4;

struct Segment {
  Segment() = default;
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;
  ~Segment() {
    if (image != nullptr) {
      image->data = nullptr;  // the shared memory is not Xlib's to free
      XDestroyImage(image);
    }
    if (info.shmaddr != nullptr) shmdt(info.shmaddr);
  }

  unsigned long generation = 0;  // of the connection it is attached to
  XShmSegmentInfo info{};
  XImage* image = nullptr;
  bool attached = false;
  // A 32-bit pixmap over the same memory, for the server to composite into (0 where RENDER is not used).
  Pixmap pixmap = 0;
  Picture picture = 0;
};

enum class Tristate { kUnknown, kYes, kNo };

// What is known about the current connection, and the segments kept for it. Lock order: the X session first, then
// `mutex`.
struct Pool {
  std::mutex mutex;
  unsigned long generation = 0;
  Tristate layout_ok = Tristate::kUnknown;
  Tristate shm_ok = Tristate::kUnknown;
  // RENDER writes the opaque alpha itself while it copies; then no pass over the pixels is left to do here.
  Tristate render_ok = Tristate::kUnknown;
  Picture root_picture = 0;
  XRenderPictFormat* argb = nullptr;
  std::vector<std::unique_ptr<Segment>> free;
};

// Never destroyed: images may die during exit. A fork child makes a new one, as the layer's connection does: the
// old one's lock may be held by a thread the child does not have, and its kept segments belong to the parent's
// connection (left mapped, never used).
Pool* pool_in_use = nullptr;

Pool& pool() {
  static const bool made = [] {
    pool_in_use = new Pool;
    return pthread_atfork(nullptr, nullptr, [] { pool_in_use = new Pool; }) == 0;
  }();
  (void)made;
  return *pool_in_use;
}

// Gives the segment's memory back; the server's attachment is dropped too while its connection is the open one and
// works (`display` null otherwise).
void DestroySegment(std::unique_ptr<Segment> segment, Display* display) {
  if (segment->attached && display != nullptr) {
    if (segment->picture != 0) XRenderFreePicture(display, segment->picture);
    if (segment->pixmap != 0) XFreePixmap(display, segment->pixmap);
    XShmDetach(display, &segment->info);
    XFlush(display);
  }
}

void DestroyFromAnyThread(std::unique_ptr<Segment> segment) {
  x11::Session session(false);  // no connection is opened just to give a segment back
  const bool current = session.alive() && session.generation() == segment->generation;
  DestroySegment(std::move(segment), current ? session.display() : nullptr);
}

// Sends nothing: the connection may be broken, and the server drops the pictures, pixmaps and attachments of a
// connection when it ends. Only our mappings and image records are freed.
void OnConnectionClosing(Display*) {
  std::vector<std::unique_ptr<Segment>> free;
  {
    Pool& p = pool();
    std::lock_guard lock(p.mutex);
    free.swap(p.free);
    p.generation = 0;  // segments still in use are given back without the server once their images go
    p.layout_ok = p.shm_ok = p.render_ok = Tristate::kUnknown;
    p.root_picture = 0;
  }
  for (auto& segment : free) DestroySegment(std::move(segment), nullptr);
}

class ShmImage final : public Image {
 public:
  explicit ShmImage(std::unique_ptr<Segment> segment) : segment_(std::move(segment)) {
    data_ = reinterpret_cast<std::uint8_t*>(segment_->image->data);
    width_ = static_cast<UINT>(segment_->image->width);
    height_ = static_cast<UINT>(segment_->image->height);
    row_pitch_ = static_cast<UINT>(segment_->image->bytes_per_line);
  }
  ~ShmImage() override {
    {
      Pool& p = pool();
      std::lock_guard lock(p.mutex);
      if (segment_->generation == p.generation && p.free.size() < kMaxFreeSegments) {
        p.free.push_back(std::move(segment_));
        return;
      }
    }
    DestroyFromAnyThread(std::move(segment_));
  }

 private:
  std::unique_ptr<Segment> segment_;
};

class XImageImage final : public Image {
 public:
  explicit XImageImage(XImage* image) : image_(image) {
    data_ = reinterpret_cast<std::uint8_t*>(image->data);
    width_ = static_cast<UINT>(image->width);
    height_ = static_cast<UINT>(image->height);
    row_pitch_ = static_cast<UINT>(image->bytes_per_line);
  }
  ~XImageImage() override { XDestroyImage(image_); }  // frees the pixels; no request to the server

 private:
  XImage* image_;
};

bool LayoutIsBgrx(Display* display) {
  const int screen = DefaultScreen(display);
  const int depth = DefaultDepth(display, screen);
  const Visual* visual = DefaultVisual(display, screen);
  if (ImageByteOrder(display) != LSBFirst || visual->red_mask != 0xFF0000 || visual->green_mask != 0xFF00 ||
      visual->blue_mask != 0xFF) {
    return false;
  }
  int count = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(display, &count);
  bool ok = false;
  for (int i = 0; i < count; ++i) {
    if (formats[i].depth == depth) ok = formats[i].bits_per_pixel == 32;
  }
  if (formats != nullptr) XFree(formats);
  return ok;
}

// Brings the pool up to the session's connection; false when its pixels are not BGRX.
bool Prepare(x11::Session& session, Pool& p) {
  static std::once_flag listener;
  std::call_once(listener, [] { x11::AddCloseListener(OnConnectionClosing); });
  std::lock_guard lock(p.mutex);
  if (p.generation != session.generation()) {
    p.generation = session.generation();
    p.layout_ok = p.shm_ok = p.render_ok = Tristate::kUnknown;
    p.root_picture = 0;  // made on the connection that is gone
  }
  Display* display = session.display();
  if (p.layout_ok == Tristate::kUnknown) p.layout_ok = LayoutIsBgrx(display) ? Tristate::kYes : Tristate::kNo;
  if (p.shm_ok == Tristate::kUnknown) p.shm_ok = XShmQueryExtension(display) ? Tristate::kYes : Tristate::kNo;
  if (p.render_ok == Tristate::kUnknown) {
    p.render_ok = Tristate::kNo;
    int major = 0, minor = 0, event_base = 0, error_base = 0;
    Bool pixmaps = False;
    const XRenderPictFormat* screen_format = nullptr;
    if (p.shm_ok == Tristate::kYes && XShmQueryVersion(display, &major, &minor, &pixmaps) && pixmaps &&
        XShmPixmapFormat(display) == ZPixmap && XRenderQueryExtension(display, &event_base, &error_base) &&
        (screen_format = XRenderFindVisualFormat(display, DefaultVisual(display, DefaultScreen(display)))) &&
        (p.argb = XRenderFindStandardFormat(display, PictStandardARGB32)) != nullptr) {
      // The whole screen as the server shows it, windows included.
      XRenderPictureAttributes attributes{};
      attributes.subwindow_mode = IncludeInferiors;
      x11::ErrorTrap trap(session);
      p.root_picture = XRenderCreatePicture(display, session.root(), screen_format, CPSubwindowMode, &attributes);
      if (trap.Sync() == 0) {
        p.render_ok = Tristate::kYes;
      } else {
        p.root_picture = 0;
      }
    }
  }
  return p.layout_ok == Tristate::kYes;
}

// A segment of `width` x `height` attached to the server: a kept one, or a new one. Null when shared memory does
// not work with this server (then it is not tried again on this connection).
std::unique_ptr<Segment> TakeSegment(x11::Session& session, Pool& p, UINT width, UINT height) {
  {
    std::lock_guard lock(p.mutex);
    if (p.shm_ok != Tristate::kYes) return nullptr;
    auto it = std::find_if(p.free.begin(), p.free.end(), [&](const auto& s) {
      return static_cast<UINT>(s->image->width) == width && static_cast<UINT>(s->image->height) == height;
    });
    if (it != p.free.end()) {
      std::unique_ptr<Segment> segment = std::move(*it);
      p.free.erase(it);
      return segment;
    }
  }
  Display* display = session.display();
  const int screen = DefaultScreen(display);
  auto segment = std::make_unique<Segment>();
  segment->generation = session.generation();
  segment->image = XShmCreateImage(display, DefaultVisual(display, screen), DefaultDepth(display, screen), ZPixmap,
                                   nullptr, &segment->info, width, height);
  if (segment->image == nullptr) return nullptr;
  const std::size_t bytes = static_cast<std::size_t>(segment->image->bytes_per_line) * height;
  segment->info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (segment->info.shmid < 0) {
    DestroySegment(std::move(segment), nullptr);
    return nullptr;
  }
  void* address = shmat(segment->info.shmid, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    shmctl(segment->info.shmid, IPC_RMID, nullptr);
    DestroySegment(std::move(segment), nullptr);
    return nullptr;
  }
  segment->info.shmaddr = segment->image->data = static_cast<char*>(address);
  segment->info.readOnly = False;
  x11::ErrorTrap trap(session);
  const bool attached = XShmAttach(display, &segment->info) && trap.Sync() == 0;
  // Marked for removal at once: the memory goes when the last attachment does, even if this process dies.
  shmctl(segment->info.shmid, IPC_RMID, nullptr);
  if (!attached) {
    // A server on another machine cannot attach; plain images it is.
    std::lock_guard lock(p.mutex);
    p.shm_ok = Tristate::kNo;
  }
  segment->attached = attached;
  if (!attached) {
    DestroySegment(std::move(segment), nullptr);
    return nullptr;
  }
  XRenderPictFormat* argb = nullptr;
  {
    std::lock_guard lock(p.mutex);
    if (p.render_ok == Tristate::kYes) argb = p.argb;
  }
  if (argb != nullptr) {
    x11::ErrorTrap render_trap(session);
    segment->pixmap = XShmCreatePixmap(display, session.root(), segment->info.shmaddr, &segment->info, width, height,
                                       32);
    segment->picture = XRenderCreatePicture(display, segment->pixmap, argb, 0, nullptr);
    if (render_trap.Sync() != 0) {
      // Plain grabs into this segment still work.
      if (segment->picture != 0) XRenderFreePicture(display, segment->picture);
      if (segment->pixmap != 0) XFreePixmap(display, segment->pixmap);
      segment->picture = segment->pixmap = 0;
      std::lock_guard lock(p.mutex);
      p.render_ok = Tristate::kNo;
    }
  }
  return segment;
}

// What a grab reads: the root, or, while the test seam refuses reads, an unmapped window the size of the screen,
// which the server refuses as rootless Xwayland refuses its root.
class Source {
 public:
  Source(x11::Session& session, Picture root_picture)
      : session_(session), drawable_(session.root()), picture_(root_picture) {
    if (!SeamRefusesReads()) return;
    Display* display = session.display();
    const int screen = DefaultScreen(display);
    window_ = XCreateSimpleWindow(display, drawable_, 0, 0, DisplayWidth(display, screen),
                                  DisplayHeight(display, screen), 0, 0, 0);
    drawable_ = window_;
    if (picture_ != 0) {
      XRenderPictureAttributes attributes{};
      attributes.subwindow_mode = IncludeInferiors;
      picture_ = own_picture_ =
          XRenderCreatePicture(display, window_, XRenderFindVisualFormat(display, DefaultVisual(display, screen)),
                               CPSubwindowMode, &attributes);
    }
  }
  ~Source() {
    if (window_ == 0 || !session_.alive()) return;
    if (own_picture_ != 0) XRenderFreePicture(session_.display(), own_picture_);
    XDestroyWindow(session_.display(), window_);
    XFlush(session_.display());
  }
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  Drawable drawable() const { return drawable_; }
  Picture picture() const { return picture_; }

 private:
  x11::Session& session_;
  Drawable drawable_;
  Picture picture_;
  ::Window window_ = 0;
  Picture own_picture_ = 0;
};

// RENDER draws nothing, and says nothing, where the server will not give out the screen's pixels (the root of
// rootless Xwayland), whereas it refuses GetImage there. So a composite is followed by a read of one pixel, whose
// reply also stands for the sync the composite needs.
bool ReadAllowed(Display* display, Drawable drawable, int x, int y, const x11::ErrorTrap& trap) {
  XImage* pixel = XGetImage(display, drawable, x, y, 1, 1, AllPlanes, ZPixmap);
  if (pixel == nullptr) return false;
  XDestroyImage(pixel);
  return trap.error() == 0;
}

}  // namespace

HeapImage::HeapImage(UINT width, UINT height, UINT row_pitch)
    : storage_(static_cast<std::size_t>(row_pitch) * height) {
  data_ = storage_.data();
  width_ = width;
  height_ = height;
  row_pitch_ = row_pitch;
}

void SetOpaque(std::uint8_t* pixels, std::size_t count) {
  std::size_t i = 0;
#ifdef __SSE2__
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  for (; i + 4 <= count; i += 4) {
    auto* p = reinterpret_cast<__m128i*>(pixels + 4 * i);
    _mm_storeu_si128(p, _mm_or_si128(_mm_loadu_si128(p), alpha));
  }
#endif
  for (; i < count; ++i) pixels[4 * i + 3] = 0xFF;
}

HRESULT ListMonitors(std::vector<ScreenArea>& monitors) {
  monitors.clear();
  x11::Session session;
  if (!session) return DXGI_ERROR_UNSUPPORTED;
  for (const x11::Monitor& m : x11::Monitors(session)) monitors.push_back({m.handle, m.rect, m.primary});
  std::stable_partition(monitors.begin(), monitors.end(), [](const ScreenArea& m) { return m.primary; });
  return S_OK;
}

bool DisplaySupported() {
  x11::Session session;
  return session && Prepare(session, pool());
}

HRESULT GrabArea(const RECT& area, ImagePtr& image, const std::function<bool()>& still_valid) {
  image.reset();
  if (area.right <= area.left || area.bottom <= area.top) return E_INVALIDARG;
  const auto width = static_cast<UINT>(area.right - area.left);
  const auto height = static_cast<UINT>(area.bottom - area.top);
  x11::Session session;
  if (!session) return DXGI_ERROR_ACCESS_LOST;
  Pool& p = pool();
  if (!Prepare(session, p)) return DXGI_ERROR_UNSUPPORTED;
  const auto valid = [&] { return !still_valid || still_valid(); };
  Display* display = session.display();
  const GrabMethod best = SeamBestGrabMethod();
  try {
    std::unique_ptr<Segment> segment;
    if (best != GrabMethod::kGetImage) segment = TakeSegment(session, p, width, height);
    if (segment != nullptr) {
      XImage* target = segment->image;
      const Picture picture = segment->picture;
      Picture root_picture = 0;
      {
        std::lock_guard lock(p.mutex);
        root_picture = p.root_picture;
      }
      auto shm = std::make_shared<ShmImage>(std::move(segment));  // back to the pool if the grab fails
      x11::ErrorTrap trap(session);
      const Source source(session, root_picture);
      const int screen = DefaultScreen(display);
      if (best == GrabMethod::kRender && picture != 0 && source.picture() != 0 && area.left >= 0 && area.top >= 0 &&
          area.right <= DisplayWidth(display, screen) && area.bottom <= DisplayHeight(display, screen)) {
        // The server copies and sets the alpha in one go. The check runs after the read's reply: the monitor list
        // it reads (kept, or asked for) is then no older than the copy.
        XRenderComposite(display, PictOpSrc, source.picture(), None, picture, area.left, area.top, 0, 0, 0, 0, width,
                         height);
        if (!ReadAllowed(display, source.drawable(), area.left, area.top, trap) || !valid()) {
          return DXGI_ERROR_ACCESS_LOST;
        }
      } else {
        // A reply request: any error of it has been seen when it returns. Checked after, for the same reason.
        const bool ok = XShmGetImage(display, source.drawable(), target, area.left, area.top, AllPlanes);
        if (!ok || trap.error() != 0 || !valid()) return DXGI_ERROR_ACCESS_LOST;
        SetOpaque(const_cast<std::uint8_t*>(shm->data()), static_cast<std::size_t>(shm->row_pitch() / 4) * height);
      }
      image = std::move(shm);
      return S_OK;
    }
    x11::ErrorTrap trap(session);
    const Source source(session, 0);
    XImage* grabbed = XGetImage(display, source.drawable(), area.left, area.top, width, height, AllPlanes, ZPixmap);
    if (grabbed == nullptr || trap.error() != 0 || !valid()) {
      if (grabbed != nullptr) XDestroyImage(grabbed);
      return DXGI_ERROR_ACCESS_LOST;
    }
    auto plain = std::make_shared<XImageImage>(grabbed);
    if (plain->row_pitch() % 4 != 0) return DXGI_ERROR_UNSUPPORTED;
    SetOpaque(const_cast<std::uint8_t*>(plain->data()), static_cast<std::size_t>(plain->row_pitch() / 4) * height);
    image = std::move(plain);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace quorvel::platform::d3d
