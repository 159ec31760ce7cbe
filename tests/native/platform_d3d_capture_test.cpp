// Desktop duplication on a private Xvfb with two 1920x1080 monitors side by side: outputs are the monitors,
// frames hold the pixels at the window's place, copies keep their pixels, references are exact.
#include <gtest/gtest.h>

#include <thread>

#include "d3d_test_support.h"

namespace {

using d3d_test::Ref;
namespace seam = quorvel::platform::seam;


using Duplication = d3d_test::D3DSuite;

// BGRA of an RRGGBB colour, opaque.
std::uint32_t Bgra(std::uint32_t rgb) { return 0xFF000000u | rgb; }

TEST_F(Duplication, OutputsAreTheMonitorsWithTheirHandles) {
  Ref<ID3D11Device> device;
  Ref<ID3D11DeviceContext> context;
  Ref<IDXGIAdapter> adapter;
  ASSERT_EQ(d3d_test::CreateDevice(device, context), S_OK);
  ASSERT_EQ(d3d_test::AdapterOf(device, adapter), S_OK);
  const auto descs = d3d_test::OutputDescs(adapter.p);
  ASSERT_EQ(descs.size(), 2u);
  const LONG lefts[] = {0, 1920};
  for (std::size_t i = 0; i < descs.size(); ++i) {
    EXPECT_EQ(descs[i].DesktopCoordinates.left, lefts[i]);
    EXPECT_EQ(descs[i].DesktopCoordinates.right, lefts[i] + 1920);
    EXPECT_EQ(descs[i].DesktopCoordinates.bottom, 1080);
    EXPECT_EQ(descs[i].Rotation, DXGI_MODE_ROTATION_IDENTITY);
    MONITORINFO info{sizeof(MONITORINFO)};
    ASSERT_TRUE(GetMonitorInfoW(descs[i].Monitor, &info));
    EXPECT_EQ(info.rcMonitor.left, descs[i].DesktopCoordinates.left);
  }
  Ref<IDXGIOutput> past_end;
  EXPECT_EQ(adapter->EnumOutputs(2, past_end.out()), DXGI_ERROR_NOT_FOUND);
  EXPECT_EQ(past_end.p, nullptr);
}

// A window on each monitor, each painted its own colour: found where GetWindowRect puts it, relative to the
// output that MonitorFromWindow names, whichever way the frame was grabbed.
TEST_F(Duplication, AWindowsColourIsAtItsPlaceInTheFrame) {
  struct Painted {
    const char* pos;
    const char* color;
    std::uint32_t rgb;
    quorvel::platform::d3d::GrabMethod method;
  };
  using Method = quorvel::platform::d3d::GrabMethod;
  for (const Painted& p : {Painted{"300,200", "3366CC", 0x3366CC, Method::kRender},
                           Painted{"2500,700", "C01020", 0xC01020, Method::kRender},
                           Painted{"2500,700", "20C010", 0x20C010, Method::kShmGetImage},
                           Painted{"300,200", "1020C0", 0x1020C0, Method::kGetImage}}) {
    SCOPED_TRACE(::testing::Message() << p.pos << " method " << static_cast<int>(p.method));
    seam::UseGrabMethod(p.method);
    x11_test::WindowProcess window({"--size", "200x150", "--pos", p.pos, "--color", p.color});
    ASSERT_NE(window.window(), nullptr);
    const HMONITOR monitor = MonitorFromWindow(window.window(), MONITOR_DEFAULTTONULL);
    RECT rect{};
    ASSERT_NE(monitor, nullptr);
    ASSERT_TRUE(GetWindowRect(window.window(), &rect));

    const d3d_test::Capture c = d3d_test::CaptureMonitor(monitor);
    ASSERT_EQ(c.hr, S_OK);
    EXPECT_NE(c.info.LastPresentTime.QuadPart, 0);
    EXPECT_EQ(c.frame.Format, DXGI_FORMAT_B8G8R8A8_UNORM);
    ASSERT_EQ(c.frame.Width, 1920u);
    ASSERT_EQ(c.frame.Height, 1080u);
    ASSERT_GE(c.row_pitch, 4 * c.frame.Width);
    ASSERT_EQ(c.bytes.size(), std::size_t{c.row_pitch} * c.frame.Height);
    const int x = rect.left - c.output.DesktopCoordinates.left;
    const int y = rect.top - c.output.DesktopCoordinates.top;
    EXPECT_EQ(c.Pixel(x, y), Bgra(p.rgb));
    EXPECT_EQ(c.Pixel(x + 199, y + 149), Bgra(p.rgb));
    EXPECT_NE(c.Pixel(x - 1, y) & 0xFFFFFF, p.rgb);  // the window's edges are where they should be
    EXPECT_NE(c.Pixel(x + 200, y + 149) & 0xFFFFFF, p.rgb);
    for (std::size_t i = 3; i < c.bytes.size(); i += 4 * 997) ASSERT_EQ(c.bytes[i], 0xFF) << i;
  }
}

// A staging copy keeps the frame it was copied from, also after later frames of a changed screen.
TEST_F(Duplication, CopiesKeepTheirFrame) {
  d3d_test::Duplicated d;
  ASSERT_EQ(d.Open(), S_OK);
  auto& [device, context, adapter, output, output1, duplication] = d;

  auto copy_of_next_frame = [&](Ref<ID3D11Texture2D>& staging) {
    DXGI_OUTDUPL_FRAME_INFO info{};
    Ref<IDXGIResource> resource;
    Ref<ID3D11Texture2D> frame;
    ASSERT_EQ(duplication->AcquireNextFrame(200, &info, resource.out()), S_OK);
    ASSERT_EQ(resource->QueryInterface(__uuidof(ID3D11Texture2D), frame.vout()), S_OK);
    D3D11_TEXTURE2D_DESC desc{};
    frame->GetDesc(&desc);
    desc = d3d_test::StagingDesc(desc);
    ASSERT_EQ(device->CreateTexture2D(&desc, nullptr, staging.out()), S_OK);
    context->CopyResource(staging.p, frame.p);
    ASSERT_EQ(duplication->ReleaseFrame(), S_OK);
  };
  auto pixel = [&](ID3D11Texture2D* staging, int x, int y) {
    D3D11_MAPPED_SUBRESOURCE mapped{};
    EXPECT_EQ(context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped), S_OK);
    std::uint32_t value = 0;
    std::memcpy(&value, static_cast<const std::uint8_t*>(mapped.pData) + y * mapped.RowPitch + 4 * x, 4);
    context->Unmap(staging, 0);
    return value;
  };

  Ref<ID3D11Texture2D> before, after;
  {
    x11_test::WindowProcess red({"--size", "100x100", "--pos", "50,50", "--color", "FF0000"});
    ASSERT_NE(red.window(), nullptr);
    copy_of_next_frame(before);
  }
  x11_test::WindowProcess green({"--size", "100x100", "--pos", "50,50", "--color", "00FF00"});
  ASSERT_NE(green.window(), nullptr);
  copy_of_next_frame(after);
  EXPECT_EQ(pixel(before.p, 60, 60), Bgra(0xFF0000));
  EXPECT_EQ(pixel(after.p, 60, 60), Bgra(0x00FF00));
}

TEST_F(Duplication, ReferencesAreExactAndTheFrameLivesUntilReleased) {
  const long com_before = quorvel::platform::LiveComObjects().load();
  d3d_test::Duplicated d;
  auto& [device, context, adapter, output, output1, duplication] = d;
  ASSERT_EQ(d3d_test::CreateDevice(device, context), S_OK);
  ASSERT_EQ(d3d_test::AdapterOf(device, adapter), S_OK);
  ASSERT_EQ(adapter->EnumOutputs(0, output.out()), S_OK);
  EXPECT_EQ(output->AddRef(), 2u);
  EXPECT_EQ(output->Release(), 1u);
  ASSERT_EQ(output->QueryInterface(__uuidof(IDXGIOutput1), output1.vout()), S_OK);
  EXPECT_EQ(static_cast<IDXGIOutput*>(output1.p), output.p);  // one object, one count
  EXPECT_EQ(output->AddRef(), 3u);
  EXPECT_EQ(output->Release(), 2u);
  ASSERT_EQ(output1->DuplicateOutput(device.p, duplication.out()), S_OK);

  DXGI_OUTDUPL_FRAME_INFO info{};
  Ref<IDXGIResource> resource;
  Ref<ID3D11Texture2D> frame;
  ASSERT_EQ(duplication->AcquireNextFrame(200, &info, resource.out()), S_OK);
  EXPECT_EQ(resource->AddRef(), 3u);  // the caller's, the duplication's, this one
  EXPECT_EQ(resource->Release(), 2u);
  ASSERT_EQ(resource->QueryInterface(__uuidof(ID3D11Texture2D), frame.vout()), S_OK);
  EXPECT_EQ(frame->AddRef(), 4u);
  EXPECT_EQ(frame->Release(), 3u);

  const long live = seam::LiveD3DObjects();
  frame.Reset();
  resource.Reset();
  EXPECT_EQ(seam::LiveD3DObjects(), live);  // still held by the duplication
  ASSERT_EQ(duplication->ReleaseFrame(), S_OK);
  EXPECT_EQ(seam::LiveD3DObjects(), live - 1);

  // A held frame ends with its duplication, released in any order relative to the rest.
  ASSERT_EQ(duplication->AcquireNextFrame(200, &info, resource.out()), S_OK);
  device.Reset();
  context.Reset();
  output.Reset();
  output1.Reset();
  adapter.Reset();
  duplication.Reset();
  EXPECT_EQ(seam::LiveD3DObjects(), 2);  // the caller's resource and the device it belongs to
  resource.Reset();
  EXPECT_EQ(quorvel::platform::LiveComObjects().load(), com_before);
}

TEST_F(Duplication, MisuseGetsTheDocumentedAnswers) {
  d3d_test::Duplicated d;
  ASSERT_EQ(d.Open(1), S_OK);
  auto& [device, context, adapter, output, output1, duplication] = d;
  duplication.Reset();
  EXPECT_EQ(output1->DuplicateOutput(nullptr, duplication.out()), E_INVALIDARG);
  EXPECT_EQ(output1->DuplicateOutput(output.p, duplication.out()), E_INVALIDARG);  // not a device
  ASSERT_EQ(output1->DuplicateOutput(device.p, duplication.out()), S_OK);
  EXPECT_EQ(duplication->ReleaseFrame(), DXGI_ERROR_INVALID_CALL);

  DXGI_OUTDUPL_FRAME_INFO info{};
  Ref<IDXGIResource> resource, second;
  Ref<ID3D11Texture2D> frame, staging;
  ASSERT_EQ(duplication->AcquireNextFrame(200, &info, resource.out()), S_OK);
  EXPECT_EQ(duplication->AcquireNextFrame(200, &info, second.out()), DXGI_ERROR_INVALID_CALL);
  EXPECT_EQ(second.p, nullptr);
  Ref<IDXGIOutput> not_a_texture;
  EXPECT_EQ(resource->QueryInterface(__uuidof(IDXGIOutput), not_a_texture.vout()), E_NOINTERFACE);
  EXPECT_EQ(not_a_texture.p, nullptr);
  ASSERT_EQ(resource->QueryInterface(__uuidof(ID3D11Texture2D), frame.vout()), S_OK);

  D3D11_MAPPED_SUBRESOURCE mapped{};
  EXPECT_EQ(context->Map(frame.p, 0, D3D11_MAP_READ, 0, &mapped), E_INVALIDARG);  // not a staging texture
  D3D11_TEXTURE2D_DESC desc{};
  frame->GetDesc(&desc);
  desc = d3d_test::StagingDesc(desc);
  D3D11_TEXTURE2D_DESC bad = desc;
  bad.Width = 0;
  EXPECT_EQ(device->CreateTexture2D(&bad, nullptr, staging.out()), E_INVALIDARG);
  ASSERT_EQ(device->CreateTexture2D(&desc, nullptr, staging.out()), S_OK);
  EXPECT_EQ(context->Map(staging.p, 0, D3D11_MAP_WRITE, 0, &mapped), E_INVALIDARG);
  EXPECT_EQ(context->Map(staging.p, 1, D3D11_MAP_READ, 0, &mapped), E_INVALIDARG);
  // Never written: zeros with the texture's own pitch.
  ASSERT_EQ(context->Map(staging.p, 0, D3D11_MAP_READ, 0, &mapped), S_OK);
  EXPECT_EQ(mapped.RowPitch, 4 * desc.Width);
  EXPECT_EQ(static_cast<const std::uint8_t*>(mapped.pData)[4 * desc.Width * desc.Height - 1], 0);
  EXPECT_EQ(context->Map(staging.p, 0, D3D11_MAP_READ, 0, &mapped), E_INVALIDARG);  // mapped already
  context->Unmap(staging.p, 0);
}

TEST_F(Duplication, ConcurrentCapturesOfBothMonitors) {
  x11_test::WindowProcess left({"--size", "100x100", "--pos", "10,10", "--color", "102030"});
  x11_test::WindowProcess right({"--size", "100x100", "--pos", "1930,10", "--color", "405060"});
  ASSERT_NE(left.window(), nullptr);
  ASSERT_NE(right.window(), nullptr);
  const HMONITOR monitors[] = {MonitorFromWindow(left.window(), MONITOR_DEFAULTTONULL),
                               MonitorFromWindow(right.window(), MONITOR_DEFAULTTONULL)};
  const std::uint32_t colours[] = {Bgra(0x102030), Bgra(0x405060)};
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        const d3d_test::Capture c = d3d_test::CaptureMonitor(monitors[(t + i) % 2]);
        if (c.hr == S_OK && c.Pixel(20, 20) == colours[(t + i) % 2]) good.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), 20);
}

TEST_F(Duplication, AMonitorThatGoesLosesAccess) {
  d3d_test::Duplicated d;
  ASSERT_EQ(d.Open(1), S_OK);

  Display* x = XOpenDisplay(nullptr);
  ASSERT_NE(x, nullptr);
  XRRDeleteMonitor(x, DefaultRootWindow(x), XInternAtom(x, "RIGHT", False));
  XSync(x, False);
  XCloseDisplay(x);

  DXGI_OUTDUPL_FRAME_INFO info{};
  Ref<IDXGIResource> resource;
  EXPECT_EQ(d.duplication->AcquireNextFrame(200, &info, resource.out()), DXGI_ERROR_ACCESS_LOST);
  EXPECT_EQ(resource.p, nullptr);
  EXPECT_EQ(d3d_test::OutputDescs(d.adapter.p).size(), 1u);
}

}  // namespace

// The monitor list is kept between calls: a change another client makes must still be seen by the next call.
TEST_F(Duplication, MonitorChangesOfOtherClientsAreSeenByTheNextCall) {
  x11_test::WindowProcess window({"--pos", "2000,100"});
  ASSERT_NE(window.window(), nullptr);
  Ref<ID3D11Device> device;
  Ref<ID3D11DeviceContext> context;
  Ref<IDXGIAdapter> adapter;
  ASSERT_EQ(d3d_test::CreateDevice(device, context), S_OK);
  ASSERT_EQ(d3d_test::AdapterOf(device, adapter), S_OK);
  const auto change = [](const char* name, int width) {  // width 0: delete
    Display* x = XOpenDisplay(nullptr);
    ASSERT_NE(x, nullptr);
    const Atom atom = XInternAtom(x, name, False);
    if (width == 0) {
      XRRDeleteMonitor(x, DefaultRootWindow(x), atom);
    } else {
      XRRMonitorInfo* m = XRRAllocateMonitor(x, 0);
      m->name = atom;
      m->x = 1920;
      m->width = width;
      m->height = 1080;
      m->mwidth = 254;
      m->mheight = 286;
      XRRSetMonitor(x, DefaultRootWindow(x), m);
      XRRFreeMonitors(m);
    }
    XSync(x, False);
    XCloseDisplay(x);
  };
  struct Step {
    const char* monitor;  // changed, then expected to show the window (null: none does)
    int width;
    int outputs;
  } steps[] = {{"RIGHT", 1920, 2}, {"RIGHT", 0, 1}, {"ADDED", 1000, 2}, {"ADDED", 0, 1}, {"ADDED", 500, 2}};
  for (const Step& s : steps) {
    if (&s != steps) change(s.monitor, s.width);
    const HMONITOR named = x11_test::MonitorNamed(s.monitor);
    const HMONITOR expected = s.width != 0 ? named : nullptr;
    EXPECT_EQ(MonitorFromWindow(window.window(), MONITOR_DEFAULTTONULL), expected) << s.monitor << " " << s.width;
    MONITORINFO info{};
    info.cbSize = sizeof info;
    EXPECT_EQ(GetMonitorInfoW(named, &info), s.width != 0 ? TRUE : FALSE) << s.monitor << " " << s.width;
    if (s.width != 0) {
      EXPECT_EQ(info.rcMonitor.right, 1920 + s.width);
    }
    const auto outputs = d3d_test::OutputDescs(adapter.p);
    ASSERT_EQ(outputs.size(), static_cast<std::size_t>(s.outputs)) << s.monitor << " " << s.width;
    if (s.width != 0) {
      EXPECT_EQ(outputs.back().DesktopCoordinates.right, 1920 + s.width);
    }
  }
}
