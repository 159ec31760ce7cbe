// One full capture of a monitor through the duplication layer, against the raw ways of reading the same pixels
// from the same X server: XShmGetImage into a reused segment (the floor), the same with connection and segment
// made per call (one-shot), and XGetImage; and the copy the capture itself makes into its vector. Run under a display whose first monitor is the area to capture
// (bench/capture_layer.sh starts a private 1920x1080 Xvfb). Prints median milliseconds per capture; figures only.
//
//   DISPLAY=:N bench_capture_layer [runs]
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/win32.h"

namespace {

template <typename T>
void Release(T*& p) {
  if (p != nullptr) p->Release();
  p = nullptr;
}

// The capture's own steps: device, DXGI device, adapter, first output, duplication, one frame, staging texture,
// copy, map, one flat copy of the mapped rows into a new vector. Returns the byte count (0 on failure).
std::size_t CaptureThroughLayer() {
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
  std::vector<std::uint8_t> blob;
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0,
                                      D3D_FEATURE_LEVEL_9_1};
  DXGI_OUTPUT_DESC output_desc{};
  DXGI_OUTDUPL_FRAME_INFO info{};
  D3D11_TEXTURE2D_DESC desc{};
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 4, D3D11_SDK_VERSION,
                                  &device, nullptr, &context)) &&
      SUCCEEDED(device->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(&dxgi))) &&
      SUCCEEDED(dxgi->GetParent(__uuidof(IDXGIAdapter), reinterpret_cast<void**>(&adapter))) &&
      SUCCEEDED(adapter->EnumOutputs(0, &output)) && SUCCEEDED(output->GetDesc(&output_desc)) &&
      SUCCEEDED(output->QueryInterface(__uuidof(IDXGIOutput1), reinterpret_cast<void**>(&output1))) &&
      SUCCEEDED(output1->DuplicateOutput(device, &duplication)) &&
      SUCCEEDED(duplication->AcquireNextFrame(200, &info, &resource)) && info.LastPresentTime.QuadPart != 0 &&
      SUCCEEDED(resource->QueryInterface(__uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&frame)))) {
    frame->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    if (SUCCEEDED(device->CreateTexture2D(&desc, nullptr, &staging))) {
      context->CopyResource(staging, frame);
      if (SUCCEEDED(context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped))) {
        // As the capture does it: one copy of the mapped rows, the vector not zero-filled first.
        const auto* pixels = static_cast<const std::uint8_t*>(mapped.pData);
        blob.assign(pixels, pixels + static_cast<std::size_t>(mapped.RowPitch) * desc.Height);
        context->Unmap(staging, 0);
      }
    }
  }
  Release(staging);
  Release(frame);
  Release(resource);
  Release(duplication);
  Release(output1);
  Release(output);
  Release(adapter);
  Release(dxgi);
  Release(context);
  Release(device);
  return blob.size();
}

struct Shm {
  XShmSegmentInfo info{};
  XImage* image = nullptr;
};

bool MakeShm(Display* display, int width, int height, Shm& shm) {
  const int screen = DefaultScreen(display);
  shm.image = XShmCreateImage(display, DefaultVisual(display, screen), DefaultDepth(display, screen), ZPixmap,
                              nullptr, &shm.info, width, height);
  if (shm.image == nullptr) return false;
  shm.info.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(shm.image->bytes_per_line) * height,
                          IPC_CREAT | 0600);
  shm.info.shmaddr = shm.image->data = static_cast<char*>(shmat(shm.info.shmid, nullptr, 0));
  shm.info.readOnly = False;
  XShmAttach(display, &shm.info);
  XSync(display, False);
  shmctl(shm.info.shmid, IPC_RMID, nullptr);
  return true;
}

void FreeShm(Display* display, Shm& shm) {
  XShmDetach(display, &shm.info);
  shm.image->data = nullptr;
  XDestroyImage(shm.image);
  shmdt(shm.info.shmaddr);
}

double MedianMs(int runs, const std::function<void()>& body) {
  body();  // warm-up: first-use costs are not the steady state
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    body();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 50;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr || !XShmQueryExtension(display)) {
    std::fprintf(stderr, "needs an X display with MIT-SHM in $DISPLAY\n");
    return 1;
  }
  const Window root = DefaultRootWindow(display);
  // The area of the layer's first output (the primary monitor).
  RECT area{0, 0, DisplayWidth(display, DefaultScreen(display)), DisplayHeight(display, DefaultScreen(display))};
  {
    ID3D11Device* device = nullptr;
    IDXGIDevice* dxgi = nullptr;
    IDXGIAdapter* adapter = nullptr;
    IDXGIOutput* output = nullptr;
    DXGI_OUTPUT_DESC desc{};
    if (SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                    &device, nullptr, nullptr)) &&
        SUCCEEDED(device->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(&dxgi))) &&
        SUCCEEDED(dxgi->GetParent(__uuidof(IDXGIAdapter), reinterpret_cast<void**>(&adapter))) &&
        SUCCEEDED(adapter->EnumOutputs(0, &output)) && SUCCEEDED(output->GetDesc(&desc))) {
      area = desc.DesktopCoordinates;
    }
    Release(output);
    Release(adapter);
    Release(dxgi);
    Release(device);
  }
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  if (CaptureThroughLayer() == 0) {
    std::fprintf(stderr, "capture through the layer failed\n");
    return 1;
  }

  const double layer = MedianMs(runs, [] { CaptureThroughLayer(); });

  Shm reused;
  MakeShm(display, width, height, reused);
  const double floor = MedianMs(runs, [&] { XShmGetImage(display, root, reused.image, area.left, area.top, AllPlanes); });
  // The least any capture can cost: the floor, then the one copy the capture makes, read out of the segment the
  // server has just written (slower than a copy of memory this process wrote: the lines come from another core).
  const double floor_then_copy = MedianMs(runs, [&] {
    XShmGetImage(display, root, reused.image, area.left, area.top, AllPlanes);
    const auto* pixels = reinterpret_cast<const std::uint8_t*>(reused.image->data);
    std::vector<std::uint8_t> blob(pixels, pixels + static_cast<std::size_t>(reused.image->bytes_per_line) * height);
  });
  FreeShm(display, reused);

  const double one_shot = MedianMs(runs, [&] {
    Display* d = XOpenDisplay(nullptr);
    Shm shm;
    MakeShm(d, width, height, shm);
    XShmGetImage(d, DefaultRootWindow(d), shm.image, area.left, area.top, AllPlanes);
    FreeShm(d, shm);
    XCloseDisplay(d);
  });

  // What the capture itself spends on the pixels: one flat copy of the mapped rows into a new vector; and the same
  // into a vector zero-filled first, as a resize would.
  std::vector<std::uint8_t> source(static_cast<std::size_t>(width) * 4 * height, 0x5A);
  const double copy = MedianMs(runs, [&] {
    std::vector<std::uint8_t> blob;
    blob.assign(source.begin(), source.end());
  });
  const double zeroed_copy = MedianMs(runs, [&] {
    std::vector<std::uint8_t> blob;
    blob.resize(source.size());
    std::memcpy(blob.data(), source.data(), blob.size());
  });

  const double get_image = MedianMs(runs, [&] {
    XImage* image = XGetImage(display, root, area.left, area.top, width, height, AllPlanes, ZPixmap);
    if (image != nullptr) XDestroyImage(image);
  });

  std::printf("area %dx%d at %ld,%ld, median of %d runs (ms)\n", width, height, static_cast<long>(area.left),
              static_cast<long>(area.top), runs);
  std::printf("%-44s %8.2f\n", "layer: full capture (device .. copy)", layer);
  std::printf("%-44s %8.2f\n", "XShmGetImage, reused segment (floor)", floor);
  std::printf("%-44s %8.2f\n", "XShmGetImage one-shot (connection+segment)", one_shot);
  std::printf("%-44s %8.2f\n", "XGetImage", get_image);
  std::printf("%-44s %8.2f\n", "the capture's own copy (new vector)", copy);
  std::printf("%-44s %8.2f\n", "the same into a zero-filled vector", zeroed_copy);
  std::printf("%-44s %8.2f\n", "floor, then the copy out of its segment", floor_then_copy);
  std::printf("ratios to the floor: layer %.2f, one-shot %.2f, XGetImage %.2f\n", layer / floor, one_shot / floor,
              get_image / floor);
  std::printf("layer / (floor + the capture's copy): %.2f\n", layer / (floor + copy));
  std::printf("floor then copy / floor: %.2f; layer / (floor then copy): %.2f\n", floor_then_copy / floor,
              layer / floor_then_copy);
  XCloseDisplay(display);
  return 0;
}
