// COM apartments as per-thread state. Nothing here marshals: an apartment only decides which initialisations
// agree with each other, which is all the callers rely on.
#include "platform/linux/base/com_apartment.h"
#include "platform/linux/base/win32_com.h"
#include "platform/linux/seam/seam_results.h"

namespace {

enum class Apartment { None, SingleThreaded, MultiThreaded };

struct ThreadApartment {
  Apartment kind = Apartment::None;
  unsigned long count = 0;
};

thread_local ThreadApartment apartment;

}  // namespace

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  QUORVEL_SEAM_FAIL_HRESULT("CoInitializeEx");
  if (pvReserved != nullptr) return E_INVALIDARG;
  const Apartment wanted =
      (dwCoInit & COINIT_APARTMENTTHREADED) != 0 ? Apartment::SingleThreaded : Apartment::MultiThreaded;
  if (apartment.count == 0) {
    apartment.kind = wanted;
    apartment.count = 1;
    return S_OK;
  }
  if (apartment.kind != wanted) return RPC_E_CHANGED_MODE;
  ++apartment.count;
  return S_FALSE;
}

HRESULT CoInitialize(LPVOID pvReserved) {
  QUORVEL_SEAM_FAIL_HRESULT("CoInitialize");
  return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

void CoUninitialize() {
  if (apartment.count == 0) return;  // unbalanced: Windows ignores it too
  if (--apartment.count == 0) apartment.kind = Apartment::None;
}

namespace quorvel::platform::detail {

bool ComInitializedOnThisThread() { return apartment.count > 0; }

}  // namespace quorvel::platform::detail
