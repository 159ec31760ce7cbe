// The COM base every COM-shaped part of the layer shares: GUIDs, IUnknown, the common HRESULTs and `__uuidof`.
// IUnknown has no virtual destructor so that its three methods are the first three vtable slots, as callers
// built against the Windows ABI expect.
#pragma once

#include <atomic>
#include <cstring>

#include "platform/linux/base/win32_types.h"

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
static_assert(sizeof(GUID) == 16);
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPGUID = GUID*;
using LPCLSID = CLSID*;

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

#define STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT
#define DECLSPEC_UUID(x)

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;  // objects die through Release only
};

// `__uuidof(Interface)` as the Windows compilers offer it: each interface declares its IID with QUORVEL_DECLARE_IID.
namespace quorvel::platform {
template <typename T>
struct InterfaceId;
}  // namespace quorvel::platform
#define QUORVEL_DECLARE_IID(Interface, d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7)               \
  template <>                                                                                   \
  struct quorvel::platform::InterfaceId<Interface> {                                            \
    static constexpr GUID value{d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}};                   \
  }
#define __uuidof(T) (::quorvel::platform::InterfaceId<T>::value)  // interface types only, not expressions

QUORVEL_DECLARE_IID(IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

// HRESULTs with Windows' values.
#define MAKE_HRESULT(sev, fac, code) \
  (static_cast<HRESULT>((static_cast<DWORD>(sev) << 31) | (static_cast<DWORD>(fac) << 16) | static_cast<DWORD>(code)))
#define FACILITY_WIN32 7
inline HRESULT HRESULT_FROM_WIN32(DWORD x) {
  return static_cast<HRESULT>(x) <= 0 ? static_cast<HRESULT>(x)
                                      : static_cast<HRESULT>((x & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}
#define E_NOTIMPL (static_cast<HRESULT>(0x80004001u))
#define E_NOINTERFACE (static_cast<HRESULT>(0x80004002u))
#define E_POINTER (static_cast<HRESULT>(0x80004003u))
#define E_ABORT (static_cast<HRESULT>(0x80004004u))
#define E_FAIL (static_cast<HRESULT>(0x80004005u))
#define E_UNEXPECTED (static_cast<HRESULT>(0x8000FFFFu))
#define E_ACCESSDENIED (static_cast<HRESULT>(0x80070005u))
#define E_HANDLE (static_cast<HRESULT>(0x80070006u))
#define E_OUTOFMEMORY (static_cast<HRESULT>(0x8007000Eu))
#define E_INVALIDARG (static_cast<HRESULT>(0x80070057u))
#define CO_E_NOTINITIALIZED (static_cast<HRESULT>(0x800401F0u))
#define CO_E_CLASSSTRING (static_cast<HRESULT>(0x800401F3u))
#define RPC_E_CHANGED_MODE (static_cast<HRESULT>(0x80010106u))

namespace quorvel::platform {

// Every COM object the layer makes counts itself here while alive, so tests can prove that none leaks.
std::atomic<long>& LiveComObjects();

// The reference count of a COM object of the layer: starts at 1 (the creator's reference) and counts the object
// in LiveComObjects while it lives. `Release` returns the new count; the owner deletes itself at 0.
class ComRefCount {
 public:
  ComRefCount() { LiveComObjects().fetch_add(1, std::memory_order_relaxed); }
  ~ComRefCount() { LiveComObjects().fetch_sub(1, std::memory_order_relaxed); }
  ComRefCount(const ComRefCount&) = delete;
  ComRefCount& operator=(const ComRefCount&) = delete;
  ULONG AddRef() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() { return count_.fetch_sub(1, std::memory_order_acq_rel) - 1; }

 private:
  std::atomic<ULONG> count_{1};
};

}  // namespace quorvel::platform

// COM apartments (com_apartment.cpp), per-thread state as on Windows: the first CoInitialize(Ex) of a thread sets
// its apartment (S_OK), each further one of the same kind counts (S_FALSE), one of the other kind fails
// (RPC_E_CHANGED_MODE) and counts nothing; CoUninitialize undoes one successful call.
#define COINIT_MULTITHREADED 0x0u
#define COINIT_APARTMENTTHREADED 0x2u
#define COINIT_DISABLE_OLE1DDE 0x4u
#define COINIT_SPEED_OVER_MEMORY 0x8u

HRESULT CoInitialize(LPVOID pvReserved);  // a single-threaded apartment
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize();
