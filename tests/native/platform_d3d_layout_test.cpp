// Callers built against the Windows SDK reach COM methods by vtable slot: each method the capture calls sits at
// the SDK's slot (counted from IUnknown::QueryInterface = 0, as in the SDK's C vtable structs).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "platform/win32.h"

namespace {

// The Itanium C++ ABI stores a pointer to a virtual member function as 1 + the slot's byte offset in the vtable.
template <typename M>
long Slot(M method) {
  struct {
    std::uintptr_t ptr;
    std::ptrdiff_t adjust;
  } raw;
  static_assert(sizeof(method) == sizeof(raw));
  std::memcpy(&raw, &method, sizeof raw);
  return static_cast<long>((raw.ptr - 1) / sizeof(void*));
}

TEST(D3DLayout, MethodsSitAtTheSdkSlots) {
  EXPECT_EQ(Slot(&IUnknown::Release), 2);
  EXPECT_EQ(Slot(&IDXGIObject::GetParent), 6);
  EXPECT_EQ(Slot(&IDXGIAdapter::EnumOutputs), 7);
  EXPECT_EQ(Slot(&IDXGIOutput::GetDesc), 7);
  EXPECT_EQ(Slot(&IDXGIOutput1::DuplicateOutput), 22);
  EXPECT_EQ(Slot(&IDXGIOutputDuplication::AcquireNextFrame), 8);
  EXPECT_EQ(Slot(&IDXGIOutputDuplication::ReleaseFrame), 14);
  EXPECT_EQ(Slot(&ID3D11Texture2D::GetDesc), 10);
  EXPECT_EQ(Slot(&ID3D11Device::CreateTexture2D), 5);
  EXPECT_EQ(Slot(&ID3D11DeviceContext::Map), 14);
  EXPECT_EQ(Slot(&ID3D11DeviceContext::Unmap), 15);
  EXPECT_EQ(Slot(&ID3D11DeviceContext::CopyResource), 47);
}

}  // namespace
