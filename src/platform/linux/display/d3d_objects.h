// The COM objects behind D3D11CreateDevice: a device (ID3D11Device + IDXGIDevice), its immediate context, one
// adapter per X display whose outputs are the display's RandR monitors, the duplication of an output, and 2D
// textures that share immutable images of the screen (screen_grab.h). Each object holds a reference to what it
// was made from (a texture to its device, an output to its adapter, a duplication to its output and device), so
// callers may release them in any order.
#pragma once

#include <memory>
#include <mutex>
#include <string_view>

#include "platform/linux/display/screen_grab.h"
#include "platform/linux/display/win32_d3d.h"

namespace quorvel::platform::d3d {

// Calls counted for the test seam (seam_d3d.h), in the order of its names.
enum class Call {
  kCreateDevice,
  kDeviceQueryInterface,
  kGetParent,
  kEnumOutputs,
  kOutputGetDesc,
  kOutputQueryInterface,
  kDuplicateOutput,
  kAcquireNextFrame,
  kReleaseFrame,
  kResourceQueryInterface,
  kTextureGetDesc,
  kCreateTexture2D,
  kCopyResource,
  kMap,
  kUnmap,
  kCount,
};

// Counts the call; true (with `result` set) when the seam armed a failure of it.
bool SeamFails(Call call, HRESULT& result);

// What the seam asks of the layer (all defaults when unarmed).
struct SeamOverrides {
  bool outputs_set = false;
  std::vector<HMONITOR> outputs;
  DXGI_FORMAT frame_format = DXGI_FORMAT_B8G8R8A8_UNORM;
  UINT row_padding = 0;
  DXGI_MODE_ROTATION rotation = DXGI_MODE_ROTATION_IDENTITY;
};
SeamOverrides SeamSettings();
bool SeamCreateDeviceFailure(D3D_DRIVER_TYPE type, HRESULT& result, bool& leave_pointers);
enum class ScriptedAcquire { kNone, kFrame, kNoPresentTime, kTimeout, kAccessLost };
ScriptedAcquire SeamNextAcquire();

// Live objects of this layer, a subset of LiveComObjects.
std::atomic<long>& LiveObjects();

// Reference count plus the layer's own live-object count.
class RefCount {
 public:
  RefCount() { LiveObjects().fetch_add(1, std::memory_order_relaxed); }
  ~RefCount() { LiveObjects().fetch_sub(1, std::memory_order_relaxed); }
  ULONG AddRef() { return count_.AddRef(); }
  ULONG Release() { return count_.Release(); }

 private:
  ComRefCount count_;
};

class Device final : public ID3D11Device, public IDXGIDevice {
 public:
  Device() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA* initial,
                                            ID3D11Texture2D** texture) override;
  HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void** parent) override;

  static Device* From(IUnknown* unknown);

 private:
  RefCount refs_;
};

class Context final : public ID3D11DeviceContext {
 public:
  explicit Context(Device* device);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP type, UINT flags,
                                D3D11_MAPPED_SUBRESOURCE* mapped) override;
  void STDMETHODCALLTYPE Unmap(ID3D11Resource* resource, UINT subresource) override;
  void STDMETHODCALLTYPE CopyResource(ID3D11Resource* destination, ID3D11Resource* source) override;

 private:
  ~Context();
  RefCount refs_;
  Device* device_;
};

// A 2D texture: the desktop image of an acquired frame, or a texture the caller made (a staging copy). Its pixels
// are an immutable image shared with the texture it was copied from; nothing writes into an image once made.
class Texture final : public ID3D11Texture2D, public IDXGIResource {
 public:
  Texture(Device* device, const D3D11_TEXTURE2D_DESC& desc, ImagePtr image);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override;
  void STDMETHODCALLTYPE GetDesc(D3D11_TEXTURE2D_DESC* desc) override;
  HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void** parent) override;

  static Texture* From(ID3D11Resource* resource);

  const D3D11_TEXTURE2D_DESC& desc() const { return desc_; }
  ImagePtr image() const;
  void set_image(ImagePtr image);
  // Map/Unmap bookkeeping: a subresource is mapped at most once at a time.
  HRESULT BeginMap(D3D11_MAPPED_SUBRESOURCE* mapped);
  bool EndMap();

 private:
  ~Texture();
  RefCount refs_;
  Device* device_;
  const D3D11_TEXTURE2D_DESC desc_;
  mutable std::mutex mutex_;
  ImagePtr image_;
  bool mapped_ = false;
};

class Adapter final : public IDXGIAdapter {
 public:
  Adapter() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void** parent) override;
  HRESULT STDMETHODCALLTYPE EnumOutputs(UINT index, IDXGIOutput** output) override;

 private:
  RefCount refs_;
};

class Output final : public IDXGIOutput1 {
 public:
  Output(Adapter* adapter, const ScreenArea& monitor, UINT index);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void** parent) override;
  HRESULT STDMETHODCALLTYPE GetDesc(DXGI_OUTPUT_DESC* desc) override;
  HRESULT STDMETHODCALLTYPE DuplicateOutput(IUnknown* device, IDXGIOutputDuplication** duplication) override;

 private:
  ~Output();
  RefCount refs_;
  Adapter* adapter_;
  const ScreenArea monitor_;
  const UINT index_;
};

class Duplication final : public IDXGIOutputDuplication {
 public:
  Duplication(IDXGIOutput1* output, Device* device, const ScreenArea& monitor);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void** parent) override;
  HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* info,
                                             IDXGIResource** resource) override;
  HRESULT STDMETHODCALLTYPE ReleaseFrame() override;

 private:
  ~Duplication();
  RefCount refs_;
  IDXGIOutput1* output_;
  Device* device_;
  const ScreenArea monitor_;
  std::mutex mutex_;
  Texture* frame_ = nullptr;  // the acquired frame, held until ReleaseFrame or the duplication's end
};

// QueryInterface's out-parameter rules in one place: `object` (already the right interface) gets a reference.
template <typename I>
HRESULT Hand(I* object, void** out) {
  object->AddRef();
  *out = object;
  return S_OK;
}

}  // namespace quorvel::platform::d3d
