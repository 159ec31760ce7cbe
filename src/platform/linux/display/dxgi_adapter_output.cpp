// The adapter and its outputs. There is one adapter, the X display; its outputs are the display's RandR monitors
// (the same list, and the same HMONITOR values, as MonitorFromWindow and GetMonitorInfoW use), the primary one
// first as on Windows. An output describes its monitor as it was when EnumOutputs gave it out.
#include <cwchar>
#include <new>

#include "platform/linux/display/d3d_objects.h"
#include "platform/linux/base/errors.h"

namespace quorvel::platform::d3d {

// Adapter

HRESULT Adapter::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (riid == __uuidof(IUnknown) || riid == __uuidof(IDXGIObject) || riid == __uuidof(IDXGIAdapter)) {
    return Hand<IDXGIAdapter>(this, out);
  }
  return E_NOINTERFACE;
}

ULONG Adapter::Release() {
  const ULONG left = refs_.Release();
  if (left == 0) delete this;
  return left;
}

HRESULT Adapter::GetParent(REFIID, void** parent) {
  // The parent would be a DXGI factory, which this layer does not make.
  if (parent == nullptr) return E_INVALIDARG;
  *parent = nullptr;
  return E_NOINTERFACE;
}

HRESULT Adapter::EnumOutputs(UINT index, IDXGIOutput** output) try {
  if (output == nullptr) return E_INVALIDARG;
  *output = nullptr;
  HRESULT failure;
  if (SeamFails(Call::kEnumOutputs, failure)) return failure;
  std::vector<ScreenArea> monitors;
  if (FAILED(ListMonitors(monitors))) return DXGI_ERROR_NOT_FOUND;  // no display: an adapter without outputs
  const SeamOverrides seam = SeamSettings();
  if (seam.outputs_set) {
    std::vector<ScreenArea> chosen;
    for (HMONITOR wanted : seam.outputs) {
      for (const ScreenArea& m : monitors) {
        if (m.monitor == wanted) chosen.push_back(m);
      }
    }
    monitors.swap(chosen);
  }
  if (index >= monitors.size()) return DXGI_ERROR_NOT_FOUND;
  try {
    *output = new Output(this, monitors[index], index);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
} QUORVEL_HRESULT_OUT_OF_MEMORY

// Output

Output::Output(Adapter* adapter, const ScreenArea& monitor, UINT index)
    : adapter_(adapter), monitor_(monitor), index_(index) {
  adapter_->AddRef();
}

Output::~Output() { adapter_->Release(); }

HRESULT Output::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  HRESULT failure;
  if (SeamFails(Call::kOutputQueryInterface, failure)) return failure;
  if (riid == __uuidof(IUnknown) || riid == __uuidof(IDXGIObject) || riid == __uuidof(IDXGIOutput) ||
      riid == __uuidof(IDXGIOutput1)) {
    return Hand<IDXGIOutput1>(this, out);
  }
  return E_NOINTERFACE;
}

ULONG Output::Release() {
  const ULONG left = refs_.Release();
  if (left == 0) delete this;
  return left;
}

HRESULT Output::GetParent(REFIID riid, void** parent) {
  if (parent == nullptr) return E_INVALIDARG;
  return adapter_->QueryInterface(riid, parent);
}

HRESULT Output::GetDesc(DXGI_OUTPUT_DESC* desc) try {
  if (desc == nullptr) return E_INVALIDARG;
  HRESULT failure;
  if (SeamFails(Call::kOutputGetDesc, failure)) return failure;
  *desc = {};
  std::swprintf(desc->DeviceName, sizeof(desc->DeviceName) / sizeof(WCHAR), L"\\\\.\\DISPLAY%u", index_ + 1);
  desc->DesktopCoordinates = monitor_.rect;
  desc->AttachedToDesktop = TRUE;
  // The X server hands out the desktop unturned whatever a CRTC's rotation, so the image is never rotated.
  desc->Rotation = SeamSettings().rotation;
  desc->Monitor = monitor_.monitor;
  return S_OK;
} QUORVEL_HRESULT_OUT_OF_MEMORY

HRESULT Output::DuplicateOutput(IUnknown* device, IDXGIOutputDuplication** duplication) try {
  if (duplication == nullptr) return E_INVALIDARG;
  *duplication = nullptr;
  HRESULT failure;
  if (SeamFails(Call::kDuplicateOutput, failure)) return failure;
  Device* owner = Device::From(device);
  if (owner == nullptr) return E_INVALIDARG;
  if (!DisplaySupported()) return DXGI_ERROR_UNSUPPORTED;
  try {
    *duplication = new Duplication(this, owner, monitor_);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
} QUORVEL_HRESULT_OUT_OF_MEMORY

}  // namespace quorvel::platform::d3d
