// dxgiScreenshot through the duplication seam: the output walk, driver-type fallback, each failing step with its
// line, frame tries in virtual time, the format gate and row padding; no interface survives any path.
#include "capture_test_support.h"

#include <optional>

#include "game_screenshoter/dxgi_screenshot.h"

namespace {

using capture_test::MonitorNamed;
using Acquire = quorvel::platform::seam::Acquire;
namespace seam = quorvel::platform::seam;
using Lines = std::vector<std::string>;

class Dxgi : public capture_test::CaptureSuite {};

TEST_F(Dxgi, TheOutputThatShowsTheMonitorIsCapturedAndNoneShowingItIsNotLogged) {
  const HMONITOR left = MonitorNamed("LEFT"), right = MonitorNamed("RIGHT");
  struct Case {
    HMONITOR monitor;
    std::optional<std::vector<HMONITOR>> outputs;  // none: the display's monitors
    std::optional<LONG> left_edge;                 // none: no capture
  } cases[] = {
      {right, std::nullopt, 1920},
      {nullptr, std::vector<HMONITOR>{right, left}, 1920},  // the adapter's first output
      {left, std::vector<HMONITOR>{right}, std::nullopt},
      {left, std::vector<HMONITOR>{}, std::nullopt},
  };
  for (const Case& c : cases) {
    Reset();
    if (c.outputs) seam::SetOutputs(*c.outputs);
    const std::optional<DxgiCapture> shot = dxgiScreenshot(c.monitor);
    ASSERT_EQ(shot.has_value(), c.left_edge.has_value());
    EXPECT_EQ(Texts(), Lines{});
    EXPECT_EQ(seam::LiveD3DObjects(), 0);
    if (!shot) continue;
    EXPECT_EQ(shot->desktop_rect.left, *c.left_edge);
    EXPECT_EQ(shot->width, 1920);
    EXPECT_EQ(shot->height, 1080);
    EXPECT_EQ(shot->blob.size(), std::size_t(shot->row_pitch) * 1080);
  }
}

TEST_F(Dxgi, DriverTypesAreTriedHardwareWarpReferenceAndPointersLeftByAFailureAreReleased) {
  const std::vector<D3D_DRIVER_TYPE> order = {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP,
                                              D3D_DRIVER_TYPE_REFERENCE};
  for (std::size_t failing = 1; failing <= 3; ++failing) {
    Reset();
    for (std::size_t i = 0; i < failing; ++i) seam::FailCreateDevice(order[i], E_FAIL, /*leave_pointers=*/i == 0);
    EXPECT_EQ(dxgiScreenshot(MonitorNamed("LEFT")).has_value(), failing < 3);
    EXPECT_EQ(seam::D3DCalls("D3D11CreateDevice"), std::min<long>(failing + 1, 3));
    EXPECT_EQ(Texts(), failing < 3 ? Lines{} : Lines{"RuduVizozadoz: D3D11CreateDevice failed"});
    EXPECT_EQ(seam::LiveD3DObjects(), 0) << failing;
  }
}

TEST_F(Dxgi, EachFailingStepLogsItsLineOnceAndReleasesEverything) {
  struct Case {
    const char* method;
    HRESULT result;
    bool null_monitor;
    const char* line;  // empty: no line
  } cases[] = {
      {"ID3D11Device::QueryInterface", E_NOINTERFACE, false,
       "RuduVizozadoz: D3D11CreateDevice->IDXGIDevice failed, hr=-2147467262"},
      {"IDXGIDevice::GetParent", E_FAIL, false, "RuduVizozadoz: IDXGIDevice->IDXGIAdapter failed, hr=-2147467259"},
      {"IDXGIDevice::GetParent", S_OK, false, "RuduVizozadoz: IDXGIDevice->IDXGIAdapter failed, hr=0"},  // no adapter
      {"IDXGIOutput::GetDesc", E_FAIL, false, ""},  // inside the walk
      {"IDXGIAdapter::EnumOutputs", DXGI_ERROR_NOT_FOUND, true,
       "RuduVizozadoz: dxgiAdapter->IDXGIOutput failed, hr=-2005270526"},
      {"IDXGIAdapter::EnumOutputs", S_OK, true, "RuduVizozadoz: dxgiAdapter->IDXGIOutput failed, hr=0"},
      {"IDXGIOutput::GetDesc", E_FAIL, true, "RuduVizozadoz: IDXGIOutput::GetDesc failed, hr=-2147467259"},
      {"IDXGIOutput::QueryInterface", E_NOINTERFACE, false,
       "RuduVizozadoz: IDXGIOutput->IDXGIOutput1 failed, hr=-2147467262"},
      {"IDXGIOutput1::DuplicateOutput", DXGI_ERROR_UNSUPPORTED, false,
       "RuduVizozadoz: IDXGIOutput1->IDXGIOutputDuplication failed, hr=-2005270524"},
      {"IDXGIOutput1::DuplicateOutput", S_OK, false, "RuduVizozadoz: IDXGIOutput1->IDXGIOutputDuplication failed, hr=0"},
      {"IDXGIResource::QueryInterface", E_NOINTERFACE, false,
       "RuduVizozadoz: IDXGIResource->ID3D11Texture2D failed, hr=-2147467262"},
      {"ID3D11Device::CreateTexture2D", S_OK, false,  // success without a texture
       "RuduVizozadoz: ID3D11Device::CreateTexture2D failed, hr=0"},
      {"ID3D11DeviceContext::Map", E_FAIL, false, "RuduVizozadoz: ID3D11DeviceContext::Map failed, hr=-2147467259"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    Reset();
    seam::FailNextCall(c.method, c.result);
    EXPECT_FALSE(dxgiScreenshot(c.null_monitor ? nullptr : MonitorNamed("LEFT")).has_value());
    EXPECT_EQ(Texts(), *c.line ? Lines{c.line} : Lines{});
    for (const auto& line : sink_->Lines()) {
      EXPECT_EQ(line.level, spdlog::level::err);
      EXPECT_EQ(line.function, "dxgiScreenshot");
      EXPECT_TRUE(line.file.ends_with("game_screenshoter/dxgi_screenshot.cpp")) << line.file;
    }
    EXPECT_EQ(seam::LiveD3DObjects(), 0);
  }
}

TEST_F(Dxgi, TenTriesWithAPauseAfterEachUnsuccessfulOneAndTheLastResultPrinted) {
  struct Case {
    std::vector<Acquire> script;
    const char* line;  // empty: captured
    long releases;
    unsigned long long slept_ms;
  } cases[] = {
      {{Acquire::kNoPresentTime, Acquire::kNoPresentTime, Acquire::kFrame}, "", 2, 200},
      {std::vector<Acquire>(10, Acquire::kTimeout), "RuduVizozadoz: unable to acquire a frame, hr=-2005270489", 0,
       1000},
      {std::vector<Acquire>(10, Acquire::kNoPresentTime), "RuduVizozadoz: unable to acquire a frame, hr=0", 10, 1000},
      {{Acquire::kTimeout, Acquire::kAccessLost}, "RuduVizozadoz: unable to acquire a frame, hr=-2005270490", 0, 100},
  };
  for (const Case& c : cases) {
    Reset();
    seam::ScriptAcquire(c.script);
    const bool captured = dxgiScreenshot(MonitorNamed("LEFT")).has_value();
    EXPECT_EQ(captured, *c.line == '\0');
    EXPECT_EQ(Texts(), captured ? Lines{} : Lines{c.line});
    EXPECT_EQ(seam::D3DCalls("IDXGIOutputDuplication::AcquireNextFrame"), static_cast<long>(c.script.size()));
    EXPECT_EQ(seam::D3DCalls("IDXGIOutputDuplication::ReleaseFrame"), c.releases);
    EXPECT_EQ(seam::VirtualMilliseconds(), c.slept_ms);
  }
}

TEST_F(Dxgi, FormatsEightySevenToNinetyThreeButEightyNineAndPaddedRowsCopiedWhole) {
  for (int format : {10, 86, 87, 88, 89, 90, 91, 92, 93, 94}) {
    Reset();
    seam::SetFrameFormat(static_cast<DXGI_FORMAT>(format));
    const bool accepted = format >= 87 && format <= 93 && format != 89;
    EXPECT_EQ(dxgiScreenshot(MonitorNamed("LEFT")).has_value(), accepted) << format;
    EXPECT_EQ(Texts(), accepted ? Lines{} : Lines{"RuduVizozadoz: unsupported image format = " + std::to_string(format)});
  }
  Reset();
  seam::SetRowPadding(12);
  const std::optional<DxgiCapture> shot = dxgiScreenshot(MonitorNamed("RIGHT"));
  ASSERT_TRUE(shot.has_value());
  ASSERT_EQ(shot->row_pitch, 4 * 1920 + 12);
  ASSERT_EQ(shot->blob.size(), std::size_t(shot->row_pitch) * 1080);
  const std::uint8_t* last_row = shot->blob.data() + std::size_t(shot->row_pitch) * 1079;
  EXPECT_EQ(last_row[4 * 1920 - 1], 0xFF) << "the last pixel's fourth byte";
  EXPECT_EQ(std::count(last_row + 4 * 1920, last_row + shot->row_pitch, 0xAB), 12) << "the padding as mapped";
}

TEST(CaptureBlobSize, ImagesOfTwoGibibytesOrMoreHaveNoSize) {
  EXPECT_EQ(CaptureBlobSize(7680, 1080), 8294400);
  EXPECT_EQ(CaptureBlobSize(1, 0x7FFFFFFFu), 0x7FFFFFFF);
  EXPECT_EQ(CaptureBlobSize(2, 0x40000000u), std::nullopt);  // exactly 2^31
  EXPECT_EQ(CaptureBlobSize(65536, 65536), std::nullopt);   // 2^32: 0 in 32-bit arithmetic
  EXPECT_EQ(CaptureBlobSize(0xFFFFFFFFu, 0xFFFFFFFFu), std::nullopt);
}

}  // namespace
