// Direct3D 11 and DXGI as far as desktop duplication needs them: device creation, the adapter and its outputs,
// output duplication, 2D textures and mapping. Names, values, IIDs and struct layouts are Windows'. Each interface
// keeps the SDK's vtable order up to the last method used here; methods the layer does not offer occupy their
// slot as `Unimplemented_<name>` and return E_NOTIMPL, so a caller built against the SDK's layout reaches the
// right method by slot.
#pragma once

#include "platform/linux/base/win32_com.h"
#include "platform/linux/base/win32_types.h"

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};

// DXGI status and error codes.
#define DXGI_STATUS_OCCLUDED (static_cast<HRESULT>(0x087A0001u))
#define DXGI_ERROR_INVALID_CALL (static_cast<HRESULT>(0x887A0001u))
#define DXGI_ERROR_NOT_FOUND (static_cast<HRESULT>(0x887A0002u))
#define DXGI_ERROR_MORE_DATA (static_cast<HRESULT>(0x887A0003u))
#define DXGI_ERROR_UNSUPPORTED (static_cast<HRESULT>(0x887A0004u))
#define DXGI_ERROR_DEVICE_REMOVED (static_cast<HRESULT>(0x887A0005u))
#define DXGI_ERROR_DEVICE_HUNG (static_cast<HRESULT>(0x887A0006u))
#define DXGI_ERROR_DEVICE_RESET (static_cast<HRESULT>(0x887A0007u))
#define DXGI_ERROR_WAS_STILL_DRAWING (static_cast<HRESULT>(0x887A000Au))
#define DXGI_ERROR_DRIVER_INTERNAL_ERROR (static_cast<HRESULT>(0x887A0020u))
#define DXGI_ERROR_NOT_CURRENTLY_AVAILABLE (static_cast<HRESULT>(0x887A0022u))
#define DXGI_ERROR_MODE_CHANGE_IN_PROGRESS (static_cast<HRESULT>(0x887A0025u))
#define DXGI_ERROR_ACCESS_LOST (static_cast<HRESULT>(0x887A0026u))
#define DXGI_ERROR_WAIT_TIMEOUT (static_cast<HRESULT>(0x887A0027u))
#define DXGI_ERROR_SESSION_DISCONNECTED (static_cast<HRESULT>(0x887A0028u))
#define DXGI_ERROR_ACCESS_DENIED (static_cast<HRESULT>(0x887A002Bu))

enum DXGI_FORMAT {
  DXGI_FORMAT_UNKNOWN = 0,
  DXGI_FORMAT_R16G16B16A16_FLOAT = 10,
  DXGI_FORMAT_R10G10B10A2_UNORM = 24,
  DXGI_FORMAT_R8G8B8A8_UNORM = 28,
  DXGI_FORMAT_B8G8R8A8_UNORM = 87,
  DXGI_FORMAT_B8G8R8X8_UNORM = 88,
  DXGI_FORMAT_R10G10B10_XR_BIAS_A2_UNORM = 89,
  DXGI_FORMAT_B8G8R8A8_TYPELESS = 90,
  DXGI_FORMAT_B8G8R8A8_UNORM_SRGB = 91,
  DXGI_FORMAT_B8G8R8X8_TYPELESS = 92,
  DXGI_FORMAT_B8G8R8X8_UNORM_SRGB = 93,
};

enum DXGI_MODE_ROTATION {
  DXGI_MODE_ROTATION_UNSPECIFIED = 0,
  DXGI_MODE_ROTATION_IDENTITY = 1,
  DXGI_MODE_ROTATION_ROTATE90 = 2,
  DXGI_MODE_ROTATION_ROTATE180 = 3,
  DXGI_MODE_ROTATION_ROTATE270 = 4,
};

struct DXGI_SAMPLE_DESC {
  UINT Count;
  UINT Quality;
};

struct DXGI_OUTPUT_DESC {
  WCHAR DeviceName[32];
  RECT DesktopCoordinates;
  BOOL AttachedToDesktop;
  DXGI_MODE_ROTATION Rotation;
  HMONITOR Monitor;
};

struct DXGI_OUTDUPL_POINTER_POSITION {
  POINT Position;
  BOOL Visible;
};

struct DXGI_OUTDUPL_FRAME_INFO {
  LARGE_INTEGER LastPresentTime;
  LARGE_INTEGER LastMouseUpdateTime;
  UINT AccumulatedFrames;
  BOOL RectsCoalesced;
  BOOL ProtectedContentMaskedOut;
  DXGI_OUTDUPL_POINTER_POSITION PointerPosition;
  UINT TotalMetadataBufferSize;
  UINT PointerShapeBufferSize;
};

enum D3D_DRIVER_TYPE {
  D3D_DRIVER_TYPE_UNKNOWN = 0,
  D3D_DRIVER_TYPE_HARDWARE = 1,
  D3D_DRIVER_TYPE_REFERENCE = 2,
  D3D_DRIVER_TYPE_NULL = 3,
  D3D_DRIVER_TYPE_SOFTWARE = 4,
  D3D_DRIVER_TYPE_WARP = 5,
};

enum D3D_FEATURE_LEVEL {
  D3D_FEATURE_LEVEL_9_1 = 0x9100,
  D3D_FEATURE_LEVEL_9_2 = 0x9200,
  D3D_FEATURE_LEVEL_9_3 = 0x9300,
  D3D_FEATURE_LEVEL_10_0 = 0xa000,
  D3D_FEATURE_LEVEL_10_1 = 0xa100,
  D3D_FEATURE_LEVEL_11_0 = 0xb000,
  D3D_FEATURE_LEVEL_11_1 = 0xb100,
};

#define D3D11_SDK_VERSION 7

enum D3D11_CREATE_DEVICE_FLAG {
  D3D11_CREATE_DEVICE_SINGLETHREADED = 0x1,
  D3D11_CREATE_DEVICE_DEBUG = 0x2,
  D3D11_CREATE_DEVICE_SWITCH_TO_REF = 0x4,
  D3D11_CREATE_DEVICE_PREVENT_INTERNAL_THREADING_OPTIMIZATIONS = 0x8,
  D3D11_CREATE_DEVICE_BGRA_SUPPORT = 0x20,
};

enum D3D11_USAGE {
  D3D11_USAGE_DEFAULT = 0,
  D3D11_USAGE_IMMUTABLE = 1,
  D3D11_USAGE_DYNAMIC = 2,
  D3D11_USAGE_STAGING = 3,
};

enum D3D11_CPU_ACCESS_FLAG {
  D3D11_CPU_ACCESS_WRITE = 0x10000,
  D3D11_CPU_ACCESS_READ = 0x20000,
};

enum D3D11_BIND_FLAG {
  D3D11_BIND_SHADER_RESOURCE = 0x8,
  D3D11_BIND_RENDER_TARGET = 0x20,
};

enum D3D11_MAP {
  D3D11_MAP_READ = 1,
  D3D11_MAP_WRITE = 2,
  D3D11_MAP_READ_WRITE = 3,
  D3D11_MAP_WRITE_DISCARD = 4,
  D3D11_MAP_WRITE_NO_OVERWRITE = 5,
};

enum D3D11_RESOURCE_DIMENSION {
  D3D11_RESOURCE_DIMENSION_UNKNOWN = 0,
  D3D11_RESOURCE_DIMENSION_BUFFER = 1,
  D3D11_RESOURCE_DIMENSION_TEXTURE1D = 2,
  D3D11_RESOURCE_DIMENSION_TEXTURE2D = 3,
  D3D11_RESOURCE_DIMENSION_TEXTURE3D = 4,
};

struct D3D11_TEXTURE2D_DESC {
  UINT Width;
  UINT Height;
  UINT MipLevels;
  UINT ArraySize;
  DXGI_FORMAT Format;
  DXGI_SAMPLE_DESC SampleDesc;
  D3D11_USAGE Usage;
  UINT BindFlags;
  UINT CPUAccessFlags;
  UINT MiscFlags;
};

struct D3D11_SUBRESOURCE_DATA {
  const void* pSysMem;
  UINT SysMemPitch;
  UINT SysMemSlicePitch;
};

struct D3D11_MAPPED_SUBRESOURCE {
  void* pData;
  UINT RowPitch;
  UINT DepthPitch;
};

static_assert(sizeof(DXGI_OUTPUT_DESC) == 32 * sizeof(WCHAR) + 16 + 4 + 4 + sizeof(void*));
static_assert(sizeof(D3D11_TEXTURE2D_DESC) == 44 && sizeof(DXGI_OUTDUPL_FRAME_INFO) == 48);
static_assert(sizeof(D3D11_MAPPED_SUBRESOURCE) == 16);

// A vtable slot the layer does not implement.
#define QUORVEL_COM_SLOT(name) \
  virtual HRESULT STDMETHODCALLTYPE Unimplemented_##name() { return E_NOTIMPL; }

struct IDXGIOutput;
struct IDXGIAdapter;
struct IDXGIResource;
struct IDXGIOutputDuplication;
struct ID3D11Device;
struct ID3D11Resource;
struct ID3D11Texture2D;
struct ID3D11DeviceContext;

struct IDXGIObject : IUnknown {
  QUORVEL_COM_SLOT(SetPrivateData)
  QUORVEL_COM_SLOT(SetPrivateDataInterface)
  QUORVEL_COM_SLOT(GetPrivateData)
  virtual HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void** ppParent) = 0;
};

struct IDXGIDeviceSubObject : IDXGIObject {
  QUORVEL_COM_SLOT(GetDevice)
};

struct IDXGIResource : IDXGIDeviceSubObject {
  QUORVEL_COM_SLOT(GetSharedHandle)
  QUORVEL_COM_SLOT(GetUsage)
  QUORVEL_COM_SLOT(SetEvictionPriority)
  QUORVEL_COM_SLOT(GetEvictionPriority)
};

struct IDXGIOutput : IDXGIObject {
  virtual HRESULT STDMETHODCALLTYPE GetDesc(DXGI_OUTPUT_DESC* pDesc) = 0;
  QUORVEL_COM_SLOT(GetDisplayModeList)
  QUORVEL_COM_SLOT(FindClosestMatchingMode)
  QUORVEL_COM_SLOT(WaitForVBlank)
  QUORVEL_COM_SLOT(TakeOwnership)
  QUORVEL_COM_SLOT(ReleaseOwnership)
  QUORVEL_COM_SLOT(GetGammaControlCapabilities)
  QUORVEL_COM_SLOT(SetGammaControl)
  QUORVEL_COM_SLOT(GetGammaControl)
  QUORVEL_COM_SLOT(SetDisplaySurface)
  QUORVEL_COM_SLOT(GetDisplaySurfaceData)
  QUORVEL_COM_SLOT(GetFrameStatistics)
};

struct IDXGIOutput1 : IDXGIOutput {
  QUORVEL_COM_SLOT(GetDisplayModeList1)
  QUORVEL_COM_SLOT(FindClosestMatchingMode1)
  QUORVEL_COM_SLOT(GetDisplaySurfaceData1)
  virtual HRESULT STDMETHODCALLTYPE DuplicateOutput(IUnknown* pDevice,
                                                    IDXGIOutputDuplication** ppOutputDuplication) = 0;
};

struct IDXGIAdapter : IDXGIObject {
  virtual HRESULT STDMETHODCALLTYPE EnumOutputs(UINT Output, IDXGIOutput** ppOutput) = 0;
  QUORVEL_COM_SLOT(GetDesc)
  QUORVEL_COM_SLOT(CheckInterfaceSupport)
};

struct IDXGIDevice : IDXGIObject {
  QUORVEL_COM_SLOT(GetAdapter)
  QUORVEL_COM_SLOT(CreateSurface)
  QUORVEL_COM_SLOT(QueryResourceResidency)
  QUORVEL_COM_SLOT(SetGPUThreadPriority)
  QUORVEL_COM_SLOT(GetGPUThreadPriority)
};

struct IDXGIOutputDuplication : IDXGIObject {
  QUORVEL_COM_SLOT(GetDesc)
  virtual HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT TimeoutInMilliseconds, DXGI_OUTDUPL_FRAME_INFO* pFrameInfo,
                                                     IDXGIResource** ppDesktopResource) = 0;
  QUORVEL_COM_SLOT(GetFrameDirtyRects)
  QUORVEL_COM_SLOT(GetFrameMoveRects)
  QUORVEL_COM_SLOT(GetFramePointerShape)
  QUORVEL_COM_SLOT(MapDesktopSurface)
  QUORVEL_COM_SLOT(UnMapDesktopSurface)
  virtual HRESULT STDMETHODCALLTYPE ReleaseFrame() = 0;
};

struct ID3D11DeviceChild : IUnknown {
  QUORVEL_COM_SLOT(GetDevice)
  QUORVEL_COM_SLOT(GetPrivateData)
  QUORVEL_COM_SLOT(SetPrivateData)
  QUORVEL_COM_SLOT(SetPrivateDataInterface)
};

struct ID3D11Resource : ID3D11DeviceChild {
  QUORVEL_COM_SLOT(GetType)
  QUORVEL_COM_SLOT(SetEvictionPriority)
  QUORVEL_COM_SLOT(GetEvictionPriority)
};

struct ID3D11Texture2D : ID3D11Resource {
  virtual void STDMETHODCALLTYPE GetDesc(D3D11_TEXTURE2D_DESC* pDesc) = 0;
};

struct ID3D11DeviceContext : ID3D11DeviceChild {
  QUORVEL_COM_SLOT(VSSetConstantBuffers)
  QUORVEL_COM_SLOT(PSSetShaderResources)
  QUORVEL_COM_SLOT(PSSetShader)
  QUORVEL_COM_SLOT(PSSetSamplers)
  QUORVEL_COM_SLOT(VSSetShader)
  QUORVEL_COM_SLOT(DrawIndexed)
  QUORVEL_COM_SLOT(Draw)
  virtual HRESULT STDMETHODCALLTYPE Map(ID3D11Resource* pResource, UINT Subresource, D3D11_MAP MapType,
                                        UINT MapFlags, D3D11_MAPPED_SUBRESOURCE* pMappedResource) = 0;
  virtual void STDMETHODCALLTYPE Unmap(ID3D11Resource* pResource, UINT Subresource) = 0;
  QUORVEL_COM_SLOT(PSSetConstantBuffers)
  QUORVEL_COM_SLOT(IASetInputLayout)
  QUORVEL_COM_SLOT(IASetVertexBuffers)
  QUORVEL_COM_SLOT(IASetIndexBuffer)
  QUORVEL_COM_SLOT(DrawIndexedInstanced)
  QUORVEL_COM_SLOT(DrawInstanced)
  QUORVEL_COM_SLOT(GSSetConstantBuffers)
  QUORVEL_COM_SLOT(GSSetShader)
  QUORVEL_COM_SLOT(IASetPrimitiveTopology)
  QUORVEL_COM_SLOT(VSSetShaderResources)
  QUORVEL_COM_SLOT(VSSetSamplers)
  QUORVEL_COM_SLOT(Begin)
  QUORVEL_COM_SLOT(End)
  QUORVEL_COM_SLOT(GetData)
  QUORVEL_COM_SLOT(SetPredication)
  QUORVEL_COM_SLOT(GSSetShaderResources)
  QUORVEL_COM_SLOT(GSSetSamplers)
  QUORVEL_COM_SLOT(OMSetRenderTargets)
  QUORVEL_COM_SLOT(OMSetRenderTargetsAndUnorderedAccessViews)
  QUORVEL_COM_SLOT(OMSetBlendState)
  QUORVEL_COM_SLOT(OMSetDepthStencilState)
  QUORVEL_COM_SLOT(SOSetTargets)
  QUORVEL_COM_SLOT(DrawAuto)
  QUORVEL_COM_SLOT(DrawIndexedInstancedIndirect)
  QUORVEL_COM_SLOT(DrawInstancedIndirect)
  QUORVEL_COM_SLOT(Dispatch)
  QUORVEL_COM_SLOT(DispatchIndirect)
  QUORVEL_COM_SLOT(RSSetState)
  QUORVEL_COM_SLOT(RSSetViewports)
  QUORVEL_COM_SLOT(RSSetScissorRects)
  QUORVEL_COM_SLOT(CopySubresourceRegion)
  virtual void STDMETHODCALLTYPE CopyResource(ID3D11Resource* pDstResource, ID3D11Resource* pSrcResource) = 0;
};

struct ID3D11Device : IUnknown {
  QUORVEL_COM_SLOT(CreateBuffer)
  QUORVEL_COM_SLOT(CreateTexture1D)
  virtual HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC* pDesc,
                                                    const D3D11_SUBRESOURCE_DATA* pInitialData,
                                                    ID3D11Texture2D** ppTexture2D) = 0;
};

#undef QUORVEL_COM_SLOT

QUORVEL_DECLARE_IID(IDXGIObject, 0xaec22fb8, 0x76f3, 0x4639, 0x9b, 0xe0, 0x28, 0xeb, 0x43, 0xa6, 0x7a, 0x2e);
QUORVEL_DECLARE_IID(IDXGIDeviceSubObject, 0x3d3e0379, 0xf9de, 0x4d58, 0xbb, 0x6c, 0x18, 0xd6, 0x29, 0x92, 0xf1, 0xa6);
QUORVEL_DECLARE_IID(IDXGIResource, 0x035f3ab4, 0x482e, 0x4e50, 0xb4, 0x1f, 0x8a, 0x7f, 0x8b, 0xd8, 0x96, 0x0b);
QUORVEL_DECLARE_IID(IDXGIOutput, 0xae02eedb, 0xc735, 0x4690, 0x8d, 0x52, 0x5a, 0x8d, 0xc2, 0x02, 0x13, 0xaa);
QUORVEL_DECLARE_IID(IDXGIOutput1, 0x00cddea8, 0x939b, 0x4b83, 0xa3, 0x40, 0xa6, 0x85, 0x22, 0x66, 0x66, 0xcc);
QUORVEL_DECLARE_IID(IDXGIAdapter, 0x2411e7e1, 0x12ac, 0x4ccf, 0xbd, 0x14, 0x97, 0x98, 0xe8, 0x53, 0x4d, 0xc0);
QUORVEL_DECLARE_IID(IDXGIDevice, 0x54ec77fa, 0x1377, 0x44e6, 0x8c, 0x32, 0x88, 0xfd, 0x5f, 0x44, 0xc8, 0x4c);
QUORVEL_DECLARE_IID(IDXGIOutputDuplication, 0x191cfac3, 0xa341, 0x470d, 0xb2, 0x6e, 0xa8, 0x64, 0xf4, 0x28, 0x31,
                    0x9c);
QUORVEL_DECLARE_IID(ID3D11DeviceChild, 0x1841e5c8, 0x16b0, 0x489b, 0xbc, 0xc8, 0x44, 0xcf, 0xb0, 0xd5, 0xde, 0xae);
QUORVEL_DECLARE_IID(ID3D11Resource, 0xdc8e63f3, 0xd12b, 0x4952, 0xb4, 0x7b, 0x5e, 0x45, 0x02, 0x6a, 0x86, 0x2d);
QUORVEL_DECLARE_IID(ID3D11Texture2D, 0x6f15aaf2, 0xd208, 0x4e89, 0x9a, 0xb4, 0x48, 0x95, 0x35, 0xd3, 0x4f, 0x9c);
QUORVEL_DECLARE_IID(ID3D11DeviceContext, 0xc0bfa96c, 0xe089, 0x44fb, 0x8e, 0xaf, 0x26, 0xf8, 0x79, 0x61, 0x90, 0xda);
QUORVEL_DECLARE_IID(ID3D11Device, 0xdb6f6ddb, 0xac77, 0x4e88, 0x82, 0x53, 0x81, 0x9d, 0xf9, 0xbb, 0xf1, 0x40);

// Creates a device and its immediate context. The device's adapter is the X display named by DISPLAY; its
// outputs are the display's RandR monitors. Without a reachable display every driver type fails with
// DXGI_ERROR_UNSUPPORTED, as Windows does where no adapter exists.
extern "C" HRESULT WINAPI D3D11CreateDevice(IDXGIAdapter* pAdapter, D3D_DRIVER_TYPE DriverType, HMODULE Software,
                                            UINT Flags, const D3D_FEATURE_LEVEL* pFeatureLevels, UINT FeatureLevels,
                                            UINT SDKVersion, ID3D11Device** ppDevice,
                                            D3D_FEATURE_LEVEL* pFeatureLevel,
                                            ID3D11DeviceContext** ppImmediateContext);
