// Duplication of an output. Each AcquireNextFrame grabs the monitor's area of the screen anew (screen_grab.h) and
// hands it out as a B8G8R8A8 texture; the desktop always counts as presented, so LastPresentTime is the time of
// the grab. The duplication holds the acquired frame until ReleaseFrame or its own end. A monitor that has gone
// or moved since the output was enumerated makes the duplication lose access, as a mode change does on Windows.
#include <time.h>

#include <new>

#include "platform/linux/display/d3d_objects.h"
#include "platform/linux/base/errors.h"

namespace quorvel::platform::d3d {

namespace {

// In QueryPerformanceCounter's units on current Windows (100 ns); never 0.
LONGLONG PresentTime() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<LONGLONG>(now.tv_sec) * 10'000'000 + now.tv_nsec / 100 + 1;
}

bool MonitorUnchanged(const ScreenArea& monitor) {
  std::vector<ScreenArea> monitors;
  if (FAILED(ListMonitors(monitors))) return false;
  for (const ScreenArea& m : monitors) {
    if (m.monitor == monitor.monitor) {
      return m.rect.left == monitor.rect.left && m.rect.top == monitor.rect.top &&
             m.rect.right == monitor.rect.right && m.rect.bottom == monitor.rect.bottom;
    }
  }
  return false;
}

}  // namespace

Duplication::Duplication(IDXGIOutput1* output, Device* device, const ScreenArea& monitor)
    : output_(output), device_(device), monitor_(monitor) {
  output_->AddRef();
  static_cast<ID3D11Device*>(device_)->AddRef();
}

Duplication::~Duplication() {
  if (frame_ != nullptr) static_cast<ID3D11Texture2D*>(frame_)->Release();
  output_->Release();
  static_cast<ID3D11Device*>(device_)->Release();
}

HRESULT Duplication::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (riid == __uuidof(IUnknown) || riid == __uuidof(IDXGIObject) || riid == __uuidof(IDXGIOutputDuplication)) {
    return Hand<IDXGIOutputDuplication>(this, out);
  }
  return E_NOINTERFACE;
}

ULONG Duplication::Release() {
  const ULONG left = refs_.Release();
  if (left == 0) delete this;
  return left;
}

HRESULT Duplication::GetParent(REFIID riid, void** parent) {
  if (parent == nullptr) return E_INVALIDARG;
  return output_->QueryInterface(riid, parent);
}

HRESULT Duplication::AcquireNextFrame(UINT, DXGI_OUTDUPL_FRAME_INFO* info, IDXGIResource** resource) try {
  HRESULT failure;
  if (SeamFails(Call::kAcquireNextFrame, failure)) return failure;
  if (info == nullptr || resource == nullptr) return E_INVALIDARG;
  *resource = nullptr;
  std::lock_guard lock(mutex_);
  if (frame_ != nullptr) return DXGI_ERROR_INVALID_CALL;  // the previous frame has not been released
  const ScriptedAcquire step = SeamNextAcquire();
  if (step == ScriptedAcquire::kTimeout) return DXGI_ERROR_WAIT_TIMEOUT;
  if (step == ScriptedAcquire::kAccessLost) return DXGI_ERROR_ACCESS_LOST;
  ImagePtr image;
  const HRESULT grabbed = GrabArea(monitor_.rect, image, [this] { return MonitorUnchanged(monitor_); });
  if (FAILED(grabbed)) return grabbed;
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = image->width();
  desc.Height = image->height();
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = SeamSettings().frame_format;
  desc.SampleDesc = {1, 0};
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
  try {
    frame_ = new Texture(device_, desc, std::move(image));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  *info = {};
  if (step != ScriptedAcquire::kNoPresentTime) {
    info->LastPresentTime.QuadPart = PresentTime();
    info->AccumulatedFrames = 1;
  }
  static_cast<IDXGIResource*>(frame_)->AddRef();  // one reference for the caller, one kept until ReleaseFrame
  *resource = frame_;
  return S_OK;
} QUORVEL_HRESULT_OUT_OF_MEMORY

HRESULT Duplication::ReleaseFrame() {
  HRESULT failure;
  if (SeamFails(Call::kReleaseFrame, failure)) return failure;
  std::lock_guard lock(mutex_);
  if (frame_ == nullptr) return DXGI_ERROR_INVALID_CALL;
  static_cast<ID3D11Texture2D*>(frame_)->Release();
  frame_ = nullptr;
  return S_OK;
}

}  // namespace quorvel::platform::d3d
