// The duplication layer's test seam: what a real desktop rarely does on demand, as the capture will meet it.
#include <gtest/gtest.h>

#include "d3d_test_support.h"

namespace {

using d3d_test::Ref;
namespace seam = quorvel::platform::seam;


class D3DSeam : public d3d_test::D3DSuite, protected d3d_test::Duplicated {
 protected:
  void TearDown() override {
    Duplicated::Reset();
    D3DSuite::TearDown();
  }
  void Duplicate(UINT index = 0) { ASSERT_EQ(Open(index), S_OK); }
};

TEST_F(D3DSeam, DriverTypesFailOnTheirOwnAlsoLeavingPointers) {
  seam::FailCreateDevice(D3D_DRIVER_TYPE_HARDWARE, DXGI_ERROR_UNSUPPORTED, /*leave_pointers=*/true);
  seam::FailCreateDevice(D3D_DRIVER_TYPE_REFERENCE, E_FAIL);
  {
    Ref<ID3D11Device> left_device;
    Ref<ID3D11DeviceContext> left_context;
    EXPECT_EQ(d3d_test::CreateDevice(left_device, left_context, D3D_DRIVER_TYPE_HARDWARE), DXGI_ERROR_UNSUPPORTED);
    EXPECT_NE(left_device.p, nullptr);  // the caller still owns what was left behind
    EXPECT_NE(left_context.p, nullptr);
  }
  EXPECT_EQ(seam::LiveD3DObjects(), 0);
  Ref<ID3D11Device> none;
  Ref<ID3D11DeviceContext> none_context;
  EXPECT_EQ(d3d_test::CreateDevice(none, none_context, D3D_DRIVER_TYPE_REFERENCE), E_FAIL);
  EXPECT_EQ(none.p, nullptr);
  EXPECT_EQ(none_context.p, nullptr);
  EXPECT_EQ(d3d_test::CreateDevice(device, context, D3D_DRIVER_TYPE_WARP), S_OK);
  EXPECT_EQ(seam::D3DCalls("D3D11CreateDevice"), 3);
}

TEST_F(D3DSeam, OutputListsNoneOrWithoutTheWantedMonitor) {
  ASSERT_EQ(d3d_test::CreateDevice(device, context), S_OK);
  ASSERT_EQ(d3d_test::AdapterOf(device, adapter), S_OK);
  const auto all = d3d_test::OutputDescs(adapter.p);
  ASSERT_EQ(all.size(), 2u);
  seam::SetOutputs({});
  EXPECT_EQ(adapter->EnumOutputs(0, output.out()), DXGI_ERROR_NOT_FOUND);
  EXPECT_EQ(output.p, nullptr);
  seam::SetOutputs({all[1].Monitor});
  const auto only = d3d_test::OutputDescs(adapter.p);
  ASSERT_EQ(only.size(), 1u);
  EXPECT_EQ(only[0].Monitor, all[1].Monitor);
  EXPECT_EQ(d3d_test::CaptureMonitor(all[0].Monitor).hr, DXGI_ERROR_NOT_FOUND);
}

TEST_F(D3DSeam, ScriptedFramesTimeOutsAndLostAccess) {
  Duplicate();
  seam::ScriptAcquire({seam::Acquire::kNoPresentTime, seam::Acquire::kTimeout, seam::Acquire::kAccessLost,
                       seam::Acquire::kFrame});
  struct Expected {
    HRESULT hr;
    bool frame;
    bool presented;
  };
  for (const Expected& e : {Expected{S_OK, true, false}, Expected{DXGI_ERROR_WAIT_TIMEOUT, false, false},
                            Expected{DXGI_ERROR_ACCESS_LOST, false, false}, Expected{S_OK, true, true},
                            Expected{S_OK, true, true}}) {
    DXGI_OUTDUPL_FRAME_INFO info{};
    info.LastPresentTime.QuadPart = -1;
    Ref<IDXGIResource> resource;
    ASSERT_EQ(duplication->AcquireNextFrame(200, &info, resource.out()), e.hr);
    EXPECT_EQ(resource.p != nullptr, e.frame);
    if (e.frame) {
      EXPECT_EQ(info.LastPresentTime.QuadPart != 0, e.presented);
      resource.Reset();
      EXPECT_EQ(duplication->ReleaseFrame(), S_OK);
    }
  }
  EXPECT_EQ(seam::D3DCalls("IDXGIOutputDuplication::AcquireNextFrame"), 5);
  EXPECT_EQ(seam::D3DCalls("IDXGIOutputDuplication::ReleaseFrame"), 3);
}

TEST_F(D3DSeam, FormatPaddingAndRotationAsScripted) {
  x11_test::WindowProcess window({"--size", "50x50", "--pos", "0,0", "--color", "0A0B0C"});
  ASSERT_NE(window.window(), nullptr);
  const d3d_test::Capture plain = d3d_test::CaptureMonitor(MonitorFromWindow(window.window(), MONITOR_DEFAULTTONULL));
  ASSERT_EQ(plain.hr, S_OK);

  seam::SetFrameFormat(DXGI_FORMAT_R10G10B10_XR_BIAS_A2_UNORM);
  seam::SetRowPadding(12);
  seam::SetRotation(DXGI_MODE_ROTATION_ROTATE90);
  const d3d_test::Capture c = d3d_test::CaptureMonitor(plain.output.Monitor);
  ASSERT_EQ(c.hr, S_OK);
  EXPECT_EQ(c.frame.Format, DXGI_FORMAT_R10G10B10_XR_BIAS_A2_UNORM);
  EXPECT_EQ(c.output.Rotation, DXGI_MODE_ROTATION_ROTATE90);
  const std::size_t row = 4 * c.frame.Width;
  ASSERT_EQ(c.row_pitch, row + 12);
  ASSERT_EQ(c.bytes.size(), std::size_t{c.row_pitch} * c.frame.Height);
  for (UINT r : {0u, 1u, c.frame.Height - 1}) {
    SCOPED_TRACE(r);
    // The same pixels as without padding (not turned), then the padding.
    EXPECT_EQ(0, std::memcmp(c.bytes.data() + r * c.row_pitch, plain.bytes.data() + r * plain.row_pitch, row));
    for (std::size_t i = row; i < c.row_pitch; ++i) EXPECT_EQ(c.bytes[r * c.row_pitch + i], 0xAB);
  }
  EXPECT_EQ(c.Pixel(10, 10), 0xFF0A0B0Cu);
}

// Each failing call returns the armed code, gives nothing, and only once.
TEST_F(D3DSeam, ArmedCallFailuresGiveNothingOnce) {
  struct Case {
    const char* method;
    HRESULT result;
  };
  for (const Case& k : {Case{"ID3D11Device::QueryInterface", E_NOINTERFACE},
                        Case{"IDXGIDevice::GetParent", E_FAIL},
                        Case{"IDXGIAdapter::EnumOutputs", DXGI_ERROR_NOT_FOUND},
                        Case{"IDXGIOutput::GetDesc", E_FAIL},
                        Case{"IDXGIOutput::QueryInterface", E_NOINTERFACE},
                        Case{"IDXGIOutput1::DuplicateOutput", DXGI_ERROR_UNSUPPORTED},
                        Case{"IDXGIResource::QueryInterface", E_NOINTERFACE},
                        Case{"ID3D11Device::CreateTexture2D", S_FALSE},
                        Case{"ID3D11DeviceContext::Map", DXGI_ERROR_DEVICE_REMOVED}}) {
    SCOPED_TRACE(k.method);
    x11_test::WindowProcess window({"--size", "10x10", "--pos", "0,0"});
    const HMONITOR monitor = MonitorFromWindow(window.window(), MONITOR_DEFAULTTONULL);
    seam::FailNextCall(k.method, k.result);
    const d3d_test::Capture failed = d3d_test::CaptureMonitor(monitor);
    // A "success" that gives nothing fails the next step, which dereferences nothing.
    EXPECT_EQ(failed.hr, SUCCEEDED(k.result) ? E_INVALIDARG : k.result);
    EXPECT_EQ(seam::LiveD3DObjects(), 0);
    EXPECT_EQ(d3d_test::CaptureMonitor(monitor).hr, S_OK);
  }
}

}  // namespace
