// Test seam of the Direct3D 11 / DXGI duplication layer. Included by tests only: it scripts what a real desktop
// rarely does on demand (driver types that fail, missing outputs, frames without a new image, time-outs, lost
// access, other pixel formats, padded rows, rotated outputs) and counts calls and live objects.
#pragma once

#include <string_view>
#include <vector>

#include "platform/linux/display/screen_grab.h"
#include "platform/linux/display/win32_d3d.h"

namespace quorvel::platform::seam {

// Every D3D11CreateDevice call with `type` fails with `result` until ResetD3D. With `leave_pointers` the failed
// call still stores a new device and context in the out-parameters, as a faulty driver may; the caller owns them.
void FailCreateDevice(D3D_DRIVER_TYPE type, HRESULT result, bool leave_pointers = false);

// The next call of `method` returns `result` without doing its job, its out-parameter left null; `result` may be
// a success code (a call that "succeeds" without giving anything). Methods, by the interface the capture calls
// them on: "ID3D11Device::QueryInterface", "IDXGIDevice::GetParent", "IDXGIAdapter::EnumOutputs",
// "IDXGIOutput::GetDesc", "IDXGIOutput::QueryInterface", "IDXGIOutput1::DuplicateOutput",
// "IDXGIResource::QueryInterface" (any texture's), "ID3D11Device::CreateTexture2D", "ID3D11DeviceContext::Map".
void FailNextCall(std::string_view method, HRESULT result);

// The adapter lists as outputs only these monitors of the display, in this order (an empty list: no outputs).
// Monitors the display does not have are skipped.
void SetOutputs(std::vector<HMONITOR> monitors);

// What the next AcquireNextFrame calls of any duplication do, one entry per call, before real frames resume.
enum class Acquire {
  kFrame,            // a real frame
  kNoPresentTime,    // a real frame whose LastPresentTime is 0
  kTimeout,          // DXGI_ERROR_WAIT_TIMEOUT at once
  kAccessLost,       // DXGI_ERROR_ACCESS_LOST
};
void ScriptAcquire(std::vector<Acquire> steps);

// Desktop images report `format` instead of DXGI_FORMAT_B8G8R8A8_UNORM (the bytes stay 32-bit BGRA).
void SetFrameFormat(DXGI_FORMAT format);
// CopyResource into a staging texture leaves `bytes` of padding after each row, so Map reports a RowPitch of
// 4 * width + bytes; the padding bytes are 0xAB.
void SetRowPadding(UINT bytes);
// Outputs report this rotation (the pixels are not turned).
void SetRotation(DXGI_MODE_ROTATION rotation);

// Frames are grabbed the given way at best: kRender (RENDER into shared memory, the default where the server
// offers it), kShmGetImage (XShmGetImage, then the fourth byte set here) or kGetImage (XGetImage).
void UseGrabMethod(d3d::GrabMethod method);

// With `on`, frames are grabbed from an unmapped window instead of the root, which the server refuses to read (as
// rootless Xwayland refuses its root): GetImage fails with BadMatch and RENDER draws nothing.
void RefuseScreenReads(bool on);

// Calls made since the last ResetD3D of one of the methods above, or of "D3D11CreateDevice",
// "IDXGIOutputDuplication::AcquireNextFrame", "IDXGIOutputDuplication::ReleaseFrame",
// "ID3D11Texture2D::GetDesc", "ID3D11DeviceContext::CopyResource", "ID3D11DeviceContext::Unmap".
long D3DCalls(std::string_view method);

// Live Direct3D/DXGI objects of the layer (devices, contexts, adapters, outputs, duplications, textures).
long LiveD3DObjects();

// Disarms everything above and zeroes the call counters.
void ResetD3D();

}  // namespace quorvel::platform::seam
