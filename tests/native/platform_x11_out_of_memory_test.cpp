// Win32 entry points never throw: when one allocation inside a call fails, the call fails as Windows does
// (ERROR_NOT_ENOUGH_MEMORY, E_OUTOFMEMORY) and leaves nothing behind. Each call is run once per allocation it
// makes, with that one allocation failing.
#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>

#include "x11_test_support.h"

#include "platform/linux/display/d3d_objects.h"
#include "platform/linux/seam/seam_windows.h"

// GCC takes the replaced operators for a malloc/delete mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<long> countdown{-1};  // allocations left before the one that fails; -1: none fails
std::atomic<bool> fired{false};

}  // namespace

void* operator new(std::size_t size) {
  long left = countdown.load();
  while (left >= 0 && !countdown.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 0) {
    fired = true;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
// Not inlined: GCC would otherwise see free() meet memory from operator new and warn of a mismatch.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace seam = quorvel::platform::seam;
namespace d3d = quorvel::platform::d3d;

const x11_test::Layout& OneMonitor() {
  static const x11_test::Layout layout;
  return layout;
}

class OutOfMemory : public x11_test::X11Suite<OneMonitor> {};

// A call's outcome: what it returned and the thread's last error after it.
struct Outcome {
  long long value;
  DWORD error;
  bool operator==(const Outcome&) const = default;
};

// Runs `call` with its n-th allocation failing, for n = 0, 1, ... until a run makes no failing allocation: every
// run that hit the failure must give `failure`, every other the plain answer; `leaked` must stay 0 throughout.
void Sweep(const char* name, const std::function<Outcome()>& call, Outcome failure,
           const std::function<long()>& leaked) {
  SCOPED_TRACE(name);
  const Outcome plain = call();
  ASSERT_NE(plain, failure) << "the plain call must succeed";
  for (long n = 0; n < 10000; ++n) {
    SetLastError(0);
    fired = false;
    countdown = n;
    Outcome got{};
    bool threw = false;
    try {
      got = call();
    } catch (...) {
      threw = true;
    }
    countdown = -1;
    ASSERT_FALSE(threw) << "allocation " << n;
    EXPECT_EQ(leaked(), 0) << "allocation " << n;
    if (!fired) {
      EXPECT_EQ(got, plain);
      return;
    }
    // The failure code of an HRESULT call stands in its value; its last error is not looked at.
    if (failure.error == 0) got.error = 0;
    EXPECT_EQ(got, failure) << "allocation " << n;
  }
  FAIL() << "never ran without a failing allocation";
}

TEST_F(OutOfMemory, EveryCallFailsCleanly) {
  x11_test::WindowProcess game({"--size", "200x100"});
  const HWND window = game.window();
  ASSERT_NE(window, nullptr);
  const auto processes = [] { return static_cast<long>(seam::OpenProcessHandles()); };
  const auto nothing = [] { return 0L; };
  const Outcome win32_false{FALSE, ERROR_NOT_ENOUGH_MEMORY};
  const Outcome no_memory{E_OUTOFMEMORY, 0};

  Sweep("OpenProcess", [&] {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, game.pid());
    const Outcome o{process != nullptr, GetLastError()};
    countdown = -1;  // only the open runs short of memory
    if (process != nullptr) CloseHandle(process);
    return o;
  }, win32_false, processes);

  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, game.pid());
  ASSERT_NE(process, nullptr);
  Sweep("QueryFullProcessImageNameW", [&] {
    WCHAR path[4096];
    DWORD size = 4096;
    return Outcome{QueryFullProcessImageNameW(process, 0, path, &size), GetLastError()};
  }, win32_false, nothing);
  // Closing needs no memory, so it cannot fail for want of it (a caller may ignore its result).
  Sweep("CloseHandle", [&] {
    const long armed = countdown.exchange(-1);  // only the close runs short of memory
    const HANDLE again = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, game.pid());
    countdown = armed;
    return Outcome{CloseHandle(again), GetLastError()};
  }, win32_false, [&] { return processes() - 1; });  // `process` stays open meanwhile
  EXPECT_TRUE(CloseHandle(process));
  EXPECT_EQ(seam::OpenProcessHandles(), 0u);

  Sweep("GetClientRect", [&] {
    RECT rect{};
    const BOOL ok = GetClientRect(window, &rect);
    return Outcome{ok ? rect.right * 10000LL + rect.bottom : 0, GetLastError()};
  }, win32_false, nothing);
  Sweep("GetWindowThreadProcessId", [&] {
    return Outcome{GetWindowThreadProcessId(window, nullptr), GetLastError()};
  }, Outcome{0, ERROR_NOT_ENOUGH_MEMORY}, nothing);
  Sweep("MonitorFromWindow + GetMonitorInfoW", [&] {
    const HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONULL);
    if (monitor == nullptr) return Outcome{0, GetLastError()};
    MONITORINFO info{};
    info.cbSize = sizeof info;
    return Outcome{GetMonitorInfoW(monitor, &info) ? info.rcMonitor.right : 0, GetLastError()};
  }, Outcome{0, ERROR_NOT_ENOUGH_MEMORY}, nothing);

  // The duplication steps of a capture, up to the mapped staging texture; the first failure's code.
  Sweep("desktop duplication", [&] {
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    IDXGIDevice* dxgi = nullptr;
    IDXGIAdapter* adapter = nullptr;
    IDXGIOutput* output = nullptr;
    IDXGIOutput1* output1 = nullptr;
    IDXGIOutputDuplication* duplication = nullptr;
    IDXGIResource* resource = nullptr;
    ID3D11Texture2D* frame = nullptr;
    ID3D11Texture2D* staging = nullptr;
    DXGI_OUTPUT_DESC desc{};
    DXGI_OUTDUPL_FRAME_INFO info{};
    D3D11_TEXTURE2D_DESC texture{};
    D3D11_MAPPED_SUBRESOURCE mapped{};
    HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                   &device, nullptr, &context);
    if (SUCCEEDED(hr)) hr = device->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(&dxgi));
    if (SUCCEEDED(hr)) hr = dxgi->GetParent(__uuidof(IDXGIAdapter), reinterpret_cast<void**>(&adapter));
    if (SUCCEEDED(hr)) hr = adapter->EnumOutputs(0, &output);
    if (SUCCEEDED(hr)) hr = output->GetDesc(&desc);
    if (SUCCEEDED(hr)) hr = output->QueryInterface(__uuidof(IDXGIOutput1), reinterpret_cast<void**>(&output1));
    if (SUCCEEDED(hr)) hr = output1->DuplicateOutput(device, &duplication);
    if (SUCCEEDED(hr)) hr = duplication->AcquireNextFrame(200, &info, &resource);
    if (SUCCEEDED(hr)) hr = resource->QueryInterface(__uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&frame));
    if (SUCCEEDED(hr)) {
      frame->GetDesc(&texture);
      texture.Usage = D3D11_USAGE_STAGING;
      texture.BindFlags = 0;
      texture.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
      hr = device->CreateTexture2D(&texture, nullptr, &staging);
    }
    if (SUCCEEDED(hr)) {
      context->CopyResource(staging, frame);
      hr = context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped);
      if (SUCCEEDED(hr)) context->Unmap(staging, 0);
    }
    for (IUnknown* object : std::initializer_list<IUnknown*>{staging, frame, resource, duplication, output1, output,
                                                             adapter, dxgi, context, device}) {
      if (object != nullptr) object->Release();
    }
    return Outcome{hr, 0};
  }, no_memory, [] { return d3d::LiveObjects().load(); });
}

}  // namespace
