// 2D textures. A texture's pixels are an immutable image (screen_grab.h) that copies share: CopyResource hands the
// destination the source's image, so a staging copy of a desktop frame costs no bytes, and neither side can see
// a later change of the other because nothing ever writes into an image once it is made.
#include <new>

#include "platform/linux/display/d3d_objects.h"

namespace quorvel::platform::d3d {

Texture::Texture(Device* device, const D3D11_TEXTURE2D_DESC& desc, ImagePtr image)
    : device_(device), desc_(desc), image_(std::move(image)) {
  if (device_ != nullptr) static_cast<ID3D11Device*>(device_)->AddRef();
}

Texture::~Texture() {
  if (device_ != nullptr) static_cast<ID3D11Device*>(device_)->Release();
}

HRESULT Texture::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  HRESULT failure;
  if (SeamFails(Call::kResourceQueryInterface, failure)) return failure;
  if (riid == __uuidof(IUnknown) || riid == __uuidof(ID3D11DeviceChild) || riid == __uuidof(ID3D11Resource) ||
      riid == __uuidof(ID3D11Texture2D)) {
    return Hand<ID3D11Texture2D>(this, out);
  }
  if (riid == __uuidof(IDXGIObject) || riid == __uuidof(IDXGIDeviceSubObject) || riid == __uuidof(IDXGIResource)) {
    return Hand<IDXGIResource>(this, out);
  }
  return E_NOINTERFACE;
}

ULONG Texture::Release() {
  const ULONG left = refs_.Release();
  if (left == 0) delete this;
  return left;
}

void Texture::GetDesc(D3D11_TEXTURE2D_DESC* desc) {
  HRESULT ignored;
  SeamFails(Call::kTextureGetDesc, ignored);
  if (desc != nullptr) *desc = desc_;
}

HRESULT Texture::GetParent(REFIID riid, void** parent) {
  if (parent == nullptr) return E_INVALIDARG;
  *parent = nullptr;
  return device_ != nullptr ? static_cast<ID3D11Device*>(device_)->QueryInterface(riid, parent) : E_NOINTERFACE;
}

Texture* Texture::From(ID3D11Resource* resource) {
  return resource != nullptr ? dynamic_cast<Texture*>(resource) : nullptr;
}

ImagePtr Texture::image() const {
  std::lock_guard lock(mutex_);
  return image_;
}

void Texture::set_image(ImagePtr image) {
  std::lock_guard lock(mutex_);
  if (!mapped_) image_ = std::move(image);  // a mapped texture's pointer must stay valid: D3D drops such a copy
}

HRESULT Texture::BeginMap(D3D11_MAPPED_SUBRESOURCE* mapped) {
  std::lock_guard lock(mutex_);
  if (mapped_) return E_INVALIDARG;
  if (image_ == nullptr) {
    // Never written: zero pixels, as a new texture holds.
    try {
      image_ = std::make_shared<HeapImage>(desc_.Width, desc_.Height, desc_.Width * 4);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  mapped_ = true;
  // Read-only by contract (D3D11_MAP_READ): nothing writes through this pointer.
  mapped->pData = const_cast<std::uint8_t*>(image_->data());
  mapped->RowPitch = image_->row_pitch();
  mapped->DepthPitch = image_->row_pitch() * image_->height();
  return S_OK;
}

bool Texture::EndMap() {
  std::lock_guard lock(mutex_);
  const bool was = mapped_;
  mapped_ = false;
  return was;
}

}  // namespace quorvel::platform::d3d
