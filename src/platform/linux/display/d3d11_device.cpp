// D3D11CreateDevice, the device and its immediate context. The device renders nothing: it owns textures and is
// what a duplication is made for. The context's copies share the source's immutable image rather than copying
// bytes (see d3d_objects.h), so the one copy a capture makes is its own read of the mapped staging texture.
#include <cstring>
#include <new>

#include "platform/linux/display/d3d_objects.h"
#include "platform/linux/base/errors.h"
#include "platform/linux/display/x11_display.h"

namespace quorvel::platform::d3d {

namespace {

// Bytes per pixel of the formats a texture of this layer can hold; 0 for the others.
UINT BytesPerPixel(DXGI_FORMAT format) {
  switch (format) {
    case DXGI_FORMAT_R10G10B10A2_UNORM:
    case DXGI_FORMAT_R8G8B8A8_UNORM:
    case DXGI_FORMAT_B8G8R8A8_UNORM:
    case DXGI_FORMAT_B8G8R8X8_UNORM:
    case DXGI_FORMAT_R10G10B10_XR_BIAS_A2_UNORM:
    case DXGI_FORMAT_B8G8R8A8_TYPELESS:
    case DXGI_FORMAT_B8G8R8A8_UNORM_SRGB:
    case DXGI_FORMAT_B8G8R8X8_TYPELESS:
    case DXGI_FORMAT_B8G8R8X8_UNORM_SRGB:
      return 4;
    default:
      return 0;
  }
}

constexpr UINT kMaxTextureSize = 16384;  // D3D11's limit for 2D textures
constexpr UINT kMapDoNotWait = 0x100000;

// The first requested level this device reaches (it claims 11_0, as WARP does); 0 when none is.
D3D_FEATURE_LEVEL ChooseLevel(const D3D_FEATURE_LEVEL* levels, UINT count) {
  static constexpr D3D_FEATURE_LEVEL kDefault[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1,
                                                   D3D_FEATURE_LEVEL_10_0, D3D_FEATURE_LEVEL_9_3,
                                                   D3D_FEATURE_LEVEL_9_2,  D3D_FEATURE_LEVEL_9_1};
  if (levels == nullptr) {
    levels = kDefault;
    count = sizeof(kDefault) / sizeof(kDefault[0]);
  }
  for (UINT i = 0; i < count; ++i) {
    if (levels[i] >= D3D_FEATURE_LEVEL_9_1 && levels[i] <= D3D_FEATURE_LEVEL_11_0) return levels[i];
  }
  return static_cast<D3D_FEATURE_LEVEL>(0);
}

}  // namespace

// Device

HRESULT Device::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  HRESULT failure;
  if (SeamFails(Call::kDeviceQueryInterface, failure)) return failure;
  if (riid == __uuidof(IUnknown) || riid == __uuidof(ID3D11Device)) return Hand<ID3D11Device>(this, out);
  if (riid == __uuidof(IDXGIDevice) || riid == __uuidof(IDXGIObject)) return Hand<IDXGIDevice>(this, out);
  return E_NOINTERFACE;
}

ULONG Device::Release() {
  const ULONG left = refs_.Release();
  if (left == 0) delete this;
  return left;
}

Device* Device::From(IUnknown* unknown) { return unknown != nullptr ? dynamic_cast<Device*>(unknown) : nullptr; }

HRESULT Device::GetParent(REFIID riid, void** parent) try {
  if (parent == nullptr) return E_INVALIDARG;
  *parent = nullptr;
  HRESULT failure;
  if (SeamFails(Call::kGetParent, failure)) return failure;
  if (!(riid == __uuidof(IDXGIAdapter) || riid == __uuidof(IDXGIObject) || riid == __uuidof(IUnknown))) {
    return E_NOINTERFACE;
  }
  try {
    *parent = static_cast<IDXGIAdapter*>(new Adapter);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
} QUORVEL_HRESULT_OUT_OF_MEMORY

HRESULT Device::CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA* initial,
                                ID3D11Texture2D** texture) try {
  if (texture != nullptr) *texture = nullptr;
  HRESULT failure;
  if (SeamFails(Call::kCreateTexture2D, failure)) return failure;
  if (desc == nullptr) return E_INVALIDARG;
  const UINT bytes_per_pixel = BytesPerPixel(desc->Format);
  const bool staging = desc->Usage == D3D11_USAGE_STAGING;
  if (desc->Width == 0 || desc->Height == 0 || desc->Width > kMaxTextureSize || desc->Height > kMaxTextureSize ||
      desc->MipLevels != 1 || desc->ArraySize != 1 || desc->SampleDesc.Count != 1 || bytes_per_pixel == 0) {
    return E_INVALIDARG;
  }
  if (staging ? (desc->BindFlags != 0 || desc->CPUAccessFlags == 0)
              : (desc->Usage != D3D11_USAGE_DEFAULT || desc->CPUAccessFlags != 0)) {
    return E_INVALIDARG;
  }
  if (initial != nullptr && (initial->pSysMem == nullptr || initial->SysMemPitch < desc->Width * bytes_per_pixel)) {
    return E_INVALIDARG;
  }
  if (texture == nullptr) return S_FALSE;  // the description is valid; nothing was asked for
  try {
    ImagePtr image;
    if (initial != nullptr) {
      const UINT pitch = desc->Width * bytes_per_pixel;
      auto pixels = std::make_shared<HeapImage>(desc->Width, desc->Height, pitch);
      for (UINT row = 0; row < desc->Height; ++row) {
        std::memcpy(pixels->bytes() + static_cast<std::size_t>(row) * pitch,
                    static_cast<const std::uint8_t*>(initial->pSysMem) +
                        static_cast<std::size_t>(row) * initial->SysMemPitch,
                    pitch);
      }
      image = std::move(pixels);
    }
    *texture = new Texture(this, *desc, std::move(image));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
} QUORVEL_HRESULT_OUT_OF_MEMORY

// Context

Context::Context(Device* device) : device_(device) { static_cast<ID3D11Device*>(device_)->AddRef(); }

Context::~Context() { static_cast<ID3D11Device*>(device_)->Release(); }

HRESULT Context::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (riid == __uuidof(IUnknown) || riid == __uuidof(ID3D11DeviceChild) || riid == __uuidof(ID3D11DeviceContext)) {
    return Hand<ID3D11DeviceContext>(this, out);
  }
  return E_NOINTERFACE;
}

ULONG Context::Release() {
  const ULONG left = refs_.Release();
  if (left == 0) delete this;
  return left;
}

HRESULT Context::Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP type, UINT flags,
                     D3D11_MAPPED_SUBRESOURCE* mapped) try {
  if (mapped != nullptr) *mapped = {};
  HRESULT failure;
  if (SeamFails(Call::kMap, failure)) return failure;
  Texture* texture = Texture::From(resource);
  if (texture == nullptr || subresource != 0 || mapped == nullptr || (flags & ~kMapDoNotWait) != 0) {
    return E_INVALIDARG;
  }
  // Only reads are offered: a staging texture the CPU may read.
  const D3D11_TEXTURE2D_DESC& desc = texture->desc();
  if (type != D3D11_MAP_READ || desc.Usage != D3D11_USAGE_STAGING || (desc.CPUAccessFlags & D3D11_CPU_ACCESS_READ) == 0) {
    return E_INVALIDARG;
  }
  return texture->BeginMap(mapped);
} QUORVEL_HRESULT_OUT_OF_MEMORY

void Context::Unmap(ID3D11Resource* resource, UINT subresource) {
  HRESULT ignored;
  SeamFails(Call::kUnmap, ignored);
  Texture* texture = Texture::From(resource);
  if (texture != nullptr && subresource == 0) texture->EndMap();
}

void Context::CopyResource(ID3D11Resource* destination, ID3D11Resource* source) {
  HRESULT ignored;
  SeamFails(Call::kCopyResource, ignored);
  Texture* to = Texture::From(destination);
  Texture* from = Texture::From(source);
  // D3D drops invalid copies without a word; so does this.
  if (to == nullptr || from == nullptr || to == from) return;
  const D3D11_TEXTURE2D_DESC& a = to->desc();
  const D3D11_TEXTURE2D_DESC& b = from->desc();
  if (a.Width != b.Width || a.Height != b.Height || BytesPerPixel(a.Format) != BytesPerPixel(b.Format)) return;
  ImagePtr image = from->image();
  const UINT padding = SeamSettings().row_padding;
  if (padding != 0 && image != nullptr) {
    try {
      const UINT row = image->width() * 4;
      auto padded = std::make_shared<HeapImage>(image->width(), image->height(), row + padding);
      for (UINT r = 0; r < image->height(); ++r) {
        std::uint8_t* target = padded->bytes() + static_cast<std::size_t>(r) * padded->row_pitch();
        std::memcpy(target, image->data() + static_cast<std::size_t>(r) * image->row_pitch(), row);
        std::memset(target + row, 0xAB, padding);
      }
      image = std::move(padded);
    } catch (const std::bad_alloc&) {
      return;
    }
  }
  to->set_image(std::move(image));
}

}  // namespace quorvel::platform::d3d

using quorvel::platform::d3d::ChooseLevel;

extern "C" HRESULT WINAPI D3D11CreateDevice(IDXGIAdapter* pAdapter, D3D_DRIVER_TYPE DriverType, HMODULE Software,
                                            UINT Flags, const D3D_FEATURE_LEVEL* pFeatureLevels, UINT FeatureLevels,
                                            UINT SDKVersion, ID3D11Device** ppDevice,
                                            D3D_FEATURE_LEVEL* pFeatureLevel,
                                            ID3D11DeviceContext** ppImmediateContext) try {
  namespace d3d = quorvel::platform::d3d;
  (void)Flags;  // threading and debug-layer requests change nothing here
  if (ppDevice != nullptr) *ppDevice = nullptr;
  if (ppImmediateContext != nullptr) *ppImmediateContext = nullptr;
  if (pFeatureLevel != nullptr) *pFeatureLevel = static_cast<D3D_FEATURE_LEVEL>(0);
  HRESULT failure = S_OK;
  if (d3d::SeamFails(d3d::Call::kCreateDevice, failure)) return failure;
  bool leave_pointers = false;
  const bool scripted = d3d::SeamCreateDeviceFailure(DriverType, failure, leave_pointers);

  if (!scripted) {
    if (SDKVersion != D3D11_SDK_VERSION || (pFeatureLevels != nullptr && FeatureLevels == 0)) return E_INVALIDARG;
    // An explicit adapter goes with D3D_DRIVER_TYPE_UNKNOWN only, and must be one of ours.
    if ((pAdapter != nullptr) != (DriverType == D3D_DRIVER_TYPE_UNKNOWN)) return E_INVALIDARG;
    if (pAdapter != nullptr && dynamic_cast<d3d::Adapter*>(pAdapter) == nullptr) return E_INVALIDARG;
    if (DriverType == D3D_DRIVER_TYPE_SOFTWARE && Software == nullptr) return E_INVALIDARG;
    if (DriverType == D3D_DRIVER_TYPE_SOFTWARE || DriverType == D3D_DRIVER_TYPE_NULL) return DXGI_ERROR_UNSUPPORTED;
    if (ChooseLevel(pFeatureLevels, FeatureLevels) == 0) return E_INVALIDARG;
    // The adapter is the X display: without one there is nothing to make a device on.
    if (!quorvel::platform::x11::Available()) return DXGI_ERROR_UNSUPPORTED;
    if (ppDevice == nullptr && ppImmediateContext == nullptr) return S_FALSE;
  } else if (!leave_pointers) {
    return failure;
  }

  d3d::Device* device = nullptr;
  try {
    device = new d3d::Device;
    if (ppImmediateContext != nullptr) *ppImmediateContext = new d3d::Context(device);
  } catch (const std::bad_alloc&) {
    if (device != nullptr) static_cast<ID3D11Device*>(device)->Release();
    return E_OUTOFMEMORY;
  }
  if (ppDevice != nullptr) {
    *ppDevice = device;
  } else {
    static_cast<ID3D11Device*>(device)->Release();  // the context keeps it
  }
  if (pFeatureLevel != nullptr) *pFeatureLevel = ChooseLevel(pFeatureLevels, FeatureLevels);
  return scripted ? failure : S_OK;
} QUORVEL_HRESULT_OUT_OF_MEMORY
