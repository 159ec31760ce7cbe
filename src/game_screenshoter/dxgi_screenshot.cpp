#include "game_screenshoter/dxgi_screenshot.h"

#include <cstddef>
#include <limits>

#include "game_screenshoter/com_holder.h"
#include "platform/log.h"

namespace {

#define CAPTURE_ERROR(...) \
  ::quorvel::log::Narrow(QUORVEL_LOG_SITE("dxgiScreenshot"), spdlog::level::err, __VA_ARGS__)

constexpr D3D_DRIVER_TYPE kDriverTypes[] = {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP, D3D_DRIVER_TYPE_REFERENCE};
constexpr D3D_FEATURE_LEVEL kFeatureLevels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0,
                                                D3D_FEATURE_LEVEL_9_1};
constexpr int kFrameTries = 10;
constexpr UINT kFrameTimeoutMs = 200;
constexpr DWORD kRetryPauseMs = 100;

// 4 bytes per pixel, blue first: the B8G8R8A8 and B8G8R8X8 families, not the 10-bit format between them.
bool IsBgra32(DXGI_FORMAT format) {
  switch (format) {
    case DXGI_FORMAT_B8G8R8A8_UNORM:
    case DXGI_FORMAT_B8G8R8X8_UNORM:
    case DXGI_FORMAT_B8G8R8A8_TYPELESS:
    case DXGI_FORMAT_B8G8R8A8_UNORM_SRGB:
    case DXGI_FORMAT_B8G8R8X8_TYPELESS:
    case DXGI_FORMAT_B8G8R8X8_UNORM_SRGB:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<std::int32_t> CaptureBlobSize(UINT row_pitch, UINT height) {
  const std::uint64_t size = static_cast<std::uint64_t>(row_pitch) * height;
  if (size > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return std::nullopt;
  return static_cast<std::int32_t>(size);
}

std::optional<DxgiCapture> dxgiScreenshot(HMONITOR monitor) {
  // Declared in the order of acquisition, so they release in the reverse order on every way out.
  ComHolder<ID3D11Device> device;
  ComHolder<ID3D11DeviceContext> context;
  ComHolder<IDXGIDevice> dxgi_device;
  ComHolder<IDXGIAdapter> adapter;
  ComHolder<IDXGIOutput> output;
  ComHolder<IDXGIOutput1> output1;
  ComHolder<IDXGIOutputDuplication> duplication;
  ComHolder<IDXGIResource> resource;
  ComHolder<ID3D11Texture2D> frame;
  ComHolder<ID3D11Texture2D> staging;
  DxgiCapture capture;

  for (D3D_DRIVER_TYPE driver_type : kDriverTypes) {
    const HRESULT hr = D3D11CreateDevice(nullptr, driver_type, nullptr, 0, kFeatureLevels,
                                         static_cast<UINT>(std::size(kFeatureLevels)), D3D11_SDK_VERSION, &device,
                                         nullptr, &context);
    if (SUCCEEDED(hr)) break;
    device.Reset();
    context.Reset();
  }
  if (!device || !context) {
    CAPTURE_ERROR("RuduVizozadoz: D3D11CreateDevice failed");
    return std::nullopt;
  }

  // Below, a call that reports success without giving its interface fails like a failing call (hr then >= 0),
  // rather than being dereferenced.
  HRESULT hr = device->QueryInterface(__uuidof(IDXGIDevice), OutParam(dxgi_device));
  if (FAILED(hr) || !dxgi_device) {
    CAPTURE_ERROR("RuduVizozadoz: D3D11CreateDevice->IDXGIDevice failed, hr={}", hr);
    return std::nullopt;
  }
  hr = dxgi_device->GetParent(__uuidof(IDXGIAdapter), OutParam(adapter));
  if (FAILED(hr) || !adapter) {
    CAPTURE_ERROR("RuduVizozadoz: IDXGIDevice->IDXGIAdapter failed, hr={}", hr);
    return std::nullopt;
  }

  if (monitor != nullptr) {
    for (UINT index = 0;; ++index) {
      ComHolder<IDXGIOutput> candidate;
      hr = adapter->EnumOutputs(index, &candidate);
      // A success without an output would otherwise walk on for ever.
      if (!candidate) break;
      if (hr != DXGI_ERROR_NOT_FOUND) {
        DXGI_OUTPUT_DESC desc = {};
        hr = candidate->GetDesc(&desc);
        if (FAILED(hr)) break;
        if (desc.Monitor == monitor) {
          *&output = candidate.Detach();  // the walk's reference becomes the capture's own
          capture.rotation = desc.Rotation;
          capture.desktop_rect = desc.DesktopCoordinates;
          break;
        }
      }
      candidate.Reset();
      if (FAILED(hr)) break;
    }
    if (!output) return std::nullopt;  // no output of this adapter shows the monitor: not logged
  } else {
    hr = adapter->EnumOutputs(0, &output);
    if (FAILED(hr) || !output) {
      CAPTURE_ERROR("RuduVizozadoz: dxgiAdapter->IDXGIOutput failed, hr={}", hr);
      return std::nullopt;
    }
    DXGI_OUTPUT_DESC desc = {};
    hr = output->GetDesc(&desc);
    if (FAILED(hr)) {
      CAPTURE_ERROR("RuduVizozadoz: IDXGIOutput::GetDesc failed, hr={}", hr);
      return std::nullopt;
    }
    capture.rotation = desc.Rotation;
    capture.desktop_rect = desc.DesktopCoordinates;
  }

  hr = output->QueryInterface(__uuidof(IDXGIOutput1), OutParam(output1));
  if (FAILED(hr) || !output1) {
    CAPTURE_ERROR("RuduVizozadoz: IDXGIOutput->IDXGIOutput1 failed, hr={}", hr);
    return std::nullopt;
  }
  hr = output1->DuplicateOutput(device.Get(), &duplication);
  if (FAILED(hr) || !duplication) {
    CAPTURE_ERROR("RuduVizozadoz: IDXGIOutput1->IDXGIOutputDuplication failed, hr={}", hr);
    return std::nullopt;
  }

  bool acquired = false;
  for (int tries = 0; tries < kFrameTries;) {
    DXGI_OUTDUPL_FRAME_INFO info = {};
    hr = duplication->AcquireNextFrame(kFrameTimeoutMs, &info, &resource);
    if (SUCCEEDED(hr)) {
      if (info.LastPresentTime.QuadPart != 0 && resource) {
        acquired = true;
        break;
      }
      // A frame without a new desktop image (or without any): give it back and wait for one that has.
      resource.Reset();
      duplication->ReleaseFrame();
    } else if (hr != DXGI_ERROR_WAIT_TIMEOUT) {
      break;
    }
    Sleep(kRetryPauseMs);
    ++tries;
  }
  if (!acquired) {
    CAPTURE_ERROR("RuduVizozadoz: unable to acquire a frame, hr={}", hr);
    return std::nullopt;
  }

  hr = resource->QueryInterface(__uuidof(ID3D11Texture2D), OutParam(frame));
  if (FAILED(hr) || !frame) {
    CAPTURE_ERROR("RuduVizozadoz: IDXGIResource->ID3D11Texture2D failed, hr={}", hr);
    return std::nullopt;
  }
  D3D11_TEXTURE2D_DESC desc = {};
  frame->GetDesc(&desc);
  if (!IsBgra32(desc.Format)) {
    CAPTURE_ERROR("RuduVizozadoz: unsupported image format = {}", static_cast<std::int32_t>(desc.Format));
    return std::nullopt;
  }

  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  desc.MiscFlags = 0;
  hr = device->CreateTexture2D(&desc, nullptr, &staging);
  if (FAILED(hr) || !staging) {
    CAPTURE_ERROR("RuduVizozadoz: ID3D11Device::CreateTexture2D failed, hr={}", hr);
    return std::nullopt;
  }

  context->CopyResource(staging.Get(), frame.Get());
  D3D11_MAPPED_SUBRESOURCE mapped = {};
  hr = context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped);
  if (FAILED(hr)) {
    CAPTURE_ERROR("RuduVizozadoz: ID3D11DeviceContext::Map failed, hr={}", hr);
    return std::nullopt;
  }

  const std::optional<std::int32_t> size = CaptureBlobSize(mapped.RowPitch, desc.Height);
  constexpr auto kInt32Max = static_cast<UINT>(std::numeric_limits<std::int32_t>::max());
  if (!size || desc.Width > kInt32Max || mapped.RowPitch > kInt32Max) {
    context->Unmap(staging.Get(), 0);
    CAPTURE_ERROR("RuduVizozadoz: image too large, row_pitch={}, height={}", mapped.RowPitch, desc.Height);
    return std::nullopt;
  }
  capture.width = static_cast<std::int32_t>(desc.Width);
  capture.height = static_cast<std::int32_t>(desc.Height);
  capture.row_pitch = static_cast<std::int32_t>(mapped.RowPitch);
  // One flat copy, row padding included, without zero-filling the vector first.
  const auto* pixels = static_cast<const std::uint8_t*>(mapped.pData);
  capture.blob.assign(pixels, pixels + static_cast<std::size_t>(*size));
  context->Unmap(staging.Get(), 0);
  // The acquired frame is not released here: releasing the duplication ends it.
  return capture;
}
