// The duplication steps a capture takes, for the Direct3D/DXGI layer's tests: each step's result, and the mapped
// staging texture's bytes when every step succeeded. Every interface obtained is released before it returns.
// D3DSuite: two monitors side by side, the Direct3D seam reset, and no Direct3D/DXGI object alive at the end.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/linux/seam/seam_d3d.h"
#include "platform/win32.h"
#include "x11_test_support.h"

namespace d3d_test {

template <typename T>
struct Ref {  // owns one reference
  T* p = nullptr;
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Reset(); }
  void Reset() {
    if (p != nullptr) p->Release();
    p = nullptr;
  }
  T** out() { return &p; }
  void** vout() { return reinterpret_cast<void**>(&p); }
  T* operator->() const { return p; }
};

inline HRESULT CreateDevice(Ref<ID3D11Device>& device, Ref<ID3D11DeviceContext>& context,
                            D3D_DRIVER_TYPE type = D3D_DRIVER_TYPE_HARDWARE) {
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0,
                                      D3D_FEATURE_LEVEL_9_1};
  return D3D11CreateDevice(nullptr, type, nullptr, 0, levels, 4, D3D11_SDK_VERSION, device.out(), nullptr,
                           context.out());
}

// The adapter of a new device's DXGI device.
inline HRESULT AdapterOf(Ref<ID3D11Device>& device, Ref<IDXGIAdapter>& adapter) {
  Ref<IDXGIDevice> dxgi;
  HRESULT hr = device->QueryInterface(__uuidof(IDXGIDevice), dxgi.vout());
  if (SUCCEEDED(hr)) hr = dxgi->GetParent(__uuidof(IDXGIAdapter), adapter.vout());
  return hr;
}

inline std::vector<DXGI_OUTPUT_DESC> OutputDescs(IDXGIAdapter* adapter) {
  std::vector<DXGI_OUTPUT_DESC> descs;
  for (UINT i = 0;; ++i) {
    Ref<IDXGIOutput> output;
    if (adapter->EnumOutputs(i, output.out()) != S_OK) break;
    DXGI_OUTPUT_DESC desc{};
    if (FAILED(output->GetDesc(&desc))) break;
    descs.push_back(desc);
  }
  return descs;
}

// A description of a CPU-readable staging texture like `frame`.
inline D3D11_TEXTURE2D_DESC StagingDesc(D3D11_TEXTURE2D_DESC desc) {
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  desc.MiscFlags = 0;
  return desc;
}

// A device, output `index` of its adapter and that output's duplication.
struct Duplicated {
  Ref<ID3D11Device> device;
  Ref<ID3D11DeviceContext> context;
  Ref<IDXGIAdapter> adapter;
  Ref<IDXGIOutput> output;
  Ref<IDXGIOutput1> output1;
  Ref<IDXGIOutputDuplication> duplication;

  // The result of the first step that failed, S_OK when all succeeded.
  HRESULT Open(UINT index = 0) {
    HRESULT hr;
    if (FAILED(hr = CreateDevice(device, context)) || FAILED(hr = AdapterOf(device, adapter)) ||
        FAILED(hr = adapter->EnumOutputs(index, output.out())) ||
        FAILED(hr = output->QueryInterface(__uuidof(IDXGIOutput1), output1.vout()))) {
      return hr;
    }
    return output1->DuplicateOutput(device.p, duplication.out());
  }
  void Reset() {
    duplication.Reset();
    output1.Reset();
    output.Reset();
    adapter.Reset();
    context.Reset();
    device.Reset();
  }
};

struct Capture {
  HRESULT hr = E_FAIL;  // of the first step that failed, S_OK when all succeeded
  DXGI_OUTPUT_DESC output{};
  DXGI_OUTDUPL_FRAME_INFO info{};
  D3D11_TEXTURE2D_DESC frame{};
  UINT row_pitch = 0;
  std::vector<std::uint8_t> bytes;  // row_pitch * height

  // B, G, R, fourth byte of the pixel at (x, y) of the image.
  std::uint32_t Pixel(int x, int y) const {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + static_cast<std::size_t>(y) * row_pitch + 4 * static_cast<std::size_t>(x), 4);
    return value;
  }
};

// Captures the output that shows `monitor` once, as the capture does: one frame, a staging copy, a map.
inline Capture CaptureMonitor(HMONITOR monitor) {
  Capture c;
  Duplicated d;
  auto& [device, context, adapter, output, output1, duplication] = d;
  Ref<IDXGIResource> resource;
  Ref<ID3D11Texture2D> frame;
  Ref<ID3D11Texture2D> staging;
  if (FAILED(c.hr = CreateDevice(device, context)) || FAILED(c.hr = AdapterOf(device, adapter))) return c;
  for (UINT i = 0; !output.p; ++i) {
    Ref<IDXGIOutput> candidate;
    if (FAILED(c.hr = adapter->EnumOutputs(i, candidate.out()))) return c;
    if (FAILED(c.hr = candidate->GetDesc(&c.output))) return c;
    if (c.output.Monitor == monitor) std::swap(output.p, candidate.p);
  }
  if (FAILED(c.hr = output->QueryInterface(__uuidof(IDXGIOutput1), output1.vout())) ||
      FAILED(c.hr = output1->DuplicateOutput(device.p, duplication.out())) ||
      FAILED(c.hr = duplication->AcquireNextFrame(200, &c.info, resource.out())) ||
      FAILED(c.hr = resource->QueryInterface(__uuidof(ID3D11Texture2D), frame.vout()))) {
    return c;
  }
  frame->GetDesc(&c.frame);
  const D3D11_TEXTURE2D_DESC desc = StagingDesc(c.frame);
  if (FAILED(c.hr = device->CreateTexture2D(&desc, nullptr, staging.out()))) return c;
  context->CopyResource(staging.p, frame.p);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (FAILED(c.hr = context->Map(staging.p, 0, D3D11_MAP_READ, 0, &mapped))) return c;
  c.row_pitch = mapped.RowPitch;
  const auto* data = static_cast<const std::uint8_t*>(mapped.pData);
  c.bytes.assign(data, data + static_cast<std::size_t>(mapped.RowPitch) * desc.Height);
  context->Unmap(staging.p, 0);
  return c;
}

class D3DSuite : public x11_test::X11Suite<x11_test::TwoMonitors> {
 protected:
  void SetUp() override {
    X11Suite::SetUp();
    quorvel::platform::seam::ResetD3D();
  }
  void TearDown() override {
    quorvel::platform::seam::ResetD3D();
    EXPECT_EQ(quorvel::platform::seam::LiveD3DObjects(), 0);
  }
};

}  // namespace d3d_test
