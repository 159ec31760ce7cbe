// dxgiScreenshot through the duplication seam: driver-type fallback, the output walk, each failing step with its
// line, frame acquisition with virtual time, the format gate, row padding and rotation; no interface survives.
#include "capture_test_support.h"

#include <optional>

#include "game_screenshoter/dxgi_screenshot.h"

namespace {

using capture_test::MonitorNamed;
using Acquire = quorvel::platform::seam::Acquire;
namespace seam = quorvel::platform::seam;

class Dxgi : public capture_test::CaptureSuite {};

TEST_F(Dxgi, CapturesTheOutputThatShowsTheMonitorOrNoneWithoutALine) {
  const HMONITOR left = MonitorNamed("LEFT"), right = MonitorNamed("RIGHT");
  struct Case {
    HMONITOR monitor;
    std::vector<HMONITOR> outputs;  // empty with `all`: every monitor
    bool all;
    std::optional<LONG> left_edge;  // of the captured output; none: no capture
  } cases[] = {
      {left, {}, true, 0},
      {right, {}, true, 1920},
      {nullptr, {}, true, 0},             // the adapter's first output
      {right, {right, left}, false, 1920},
      {nullptr, {right, left}, false, 1920},
      {left, {right}, false, std::nullopt},  // the monitor is on no output of this adapter
      {left, {}, false, std::nullopt},       // an adapter without outputs
  };
  for (const Case& c : cases) {
    seam::ResetD3D();
    ClearLog();
    if (!c.all) seam::SetOutputs(c.outputs);
    const std::optional<DxgiCapture> shot = dxgiScreenshot(c.monitor);
    ASSERT_EQ(shot.has_value(), c.left_edge.has_value());
    EXPECT_TRUE(Texts().empty()) << "a walk that finds nothing is not logged";
    EXPECT_EQ(seam::LiveD3DObjects(), 0);
    if (!shot) continue;
    EXPECT_EQ(shot->desktop_rect.left, *c.left_edge);
    EXPECT_EQ(shot->desktop_rect.right, *c.left_edge + 1920);
    EXPECT_EQ(shot->width, 1920);
    EXPECT_EQ(shot->height, 1080);
    EXPECT_EQ(shot->row_pitch, 4 * 1920);
    EXPECT_EQ(shot->blob.size(), std::size_t{4 * 1920 * 1080});
    EXPECT_EQ(shot->rotation, DXGI_MODE_ROTATION_IDENTITY);
  }
}

TEST_F(Dxgi, DriverTypesAreTriedHardwareWarpReferenceAndLeftPointersAreReleased) {
  struct Case {
    std::vector<D3D_DRIVER_TYPE> failing;
    bool leave_pointers;
    long calls;
    bool captured;
  } cases[] = {
      {{}, false, 1, true},
      {{D3D_DRIVER_TYPE_HARDWARE}, false, 2, true},
      {{D3D_DRIVER_TYPE_HARDWARE}, true, 2, true},
      {{D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}, true, 3, true},
      {{D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP, D3D_DRIVER_TYPE_REFERENCE}, false, 3, false},
      {{D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP, D3D_DRIVER_TYPE_REFERENCE}, true, 3, false},
  };
  for (const Case& c : cases) {
    seam::ResetD3D();
    ClearLog();
    for (D3D_DRIVER_TYPE type : c.failing) seam::FailCreateDevice(type, E_FAIL, c.leave_pointers);
    EXPECT_EQ(dxgiScreenshot(MonitorNamed("LEFT")).has_value(), c.captured);
    EXPECT_EQ(seam::D3DCalls("D3D11CreateDevice"), c.calls);
    EXPECT_EQ(Texts(), c.captured ? std::vector<std::string>{}
                                  : std::vector<std::string>{"RuduVizozadoz: D3D11CreateDevice failed"});
    EXPECT_EQ(seam::LiveD3DObjects(), 0) << c.failing.size() << " failing, leave_pointers " << c.leave_pointers;
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
      {"IDXGIOutput::GetDesc", E_FAIL, false, ""},  // inside the walk
      {"IDXGIAdapter::EnumOutputs", DXGI_ERROR_NOT_FOUND, true,
       "RuduVizozadoz: dxgiAdapter->IDXGIOutput failed, hr=-2005270526"},
      {"IDXGIOutput::GetDesc", E_FAIL, true, "RuduVizozadoz: IDXGIOutput::GetDesc failed, hr=-2147467259"},
      {"IDXGIOutput::QueryInterface", E_NOINTERFACE, false,
       "RuduVizozadoz: IDXGIOutput->IDXGIOutput1 failed, hr=-2147467262"},
      {"IDXGIOutput1::DuplicateOutput", DXGI_ERROR_UNSUPPORTED, false,
       "RuduVizozadoz: IDXGIOutput1->IDXGIOutputDuplication failed, hr=-2005270524"},
      {"IDXGIResource::QueryInterface", E_NOINTERFACE, false,
       "RuduVizozadoz: IDXGIResource->ID3D11Texture2D failed, hr=-2147467262"},
      {"ID3D11Device::CreateTexture2D", E_OUTOFMEMORY, false,
       "RuduVizozadoz: ID3D11Device::CreateTexture2D failed, hr=-2147024882"},
      {"ID3D11Device::CreateTexture2D", S_OK, false,  // success without a texture
       "RuduVizozadoz: ID3D11Device::CreateTexture2D failed, hr=0"},
      {"ID3D11DeviceContext::Map", E_FAIL, false, "RuduVizozadoz: ID3D11DeviceContext::Map failed, hr=-2147467259"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + (c.null_monitor ? " (null monitor)" : ""));
    seam::ResetD3D();
    ClearLog();
    seam::FailNextCall(c.method, c.result);
    EXPECT_FALSE(dxgiScreenshot(c.null_monitor ? nullptr : MonitorNamed("LEFT")).has_value());
    const auto lines = sink_->Lines();
    if (*c.line == '\0') {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].text, c.line);
      EXPECT_EQ(lines[0].level, spdlog::level::err);
      EXPECT_EQ(lines[0].function, "dxgiScreenshot");
      EXPECT_TRUE(lines[0].file.ends_with("game_screenshoter/dxgi_screenshot.cpp")) << lines[0].file;
    }
    EXPECT_EQ(seam::LiveD3DObjects(), 0);
  }
}

TEST_F(Dxgi, FramesAreTriedTenTimesWithAPauseAfterEachUnsuccessfulTry) {
  const std::vector<Acquire> ten_timeouts(10, Acquire::kTimeout);
  const std::vector<Acquire> ten_empty(10, Acquire::kNoPresentTime);
  std::vector<Acquire> nine_then_frame(9, Acquire::kTimeout);
  nine_then_frame.push_back(Acquire::kFrame);
  struct Case {
    std::vector<Acquire> script;
    const char* line;  // empty: captured
    long acquires;
    long releases;
    unsigned long long slept_ms;
  } cases[] = {
      {{Acquire::kFrame}, "", 1, 0, 0},
      {{Acquire::kNoPresentTime, Acquire::kNoPresentTime}, "", 3, 2, 200},
      {nine_then_frame, "", 10, 0, 900},
      {ten_timeouts, "RuduVizozadoz: unable to acquire a frame, hr=-2005270489", 10, 0, 1000},
      {ten_empty, "RuduVizozadoz: unable to acquire a frame, hr=0", 10, 10, 1000},
      {{Acquire::kTimeout, Acquire::kAccessLost}, "RuduVizozadoz: unable to acquire a frame, hr=-2005270490", 2, 0,
       100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script.size());
    seam::ResetD3D();
    seam::ResetWindows();
    seam::UseVirtualTime(true);
    ClearLog();
    seam::ScriptAcquire(c.script);
    const bool captured = dxgiScreenshot(MonitorNamed("LEFT")).has_value();
    EXPECT_EQ(captured, *c.line == '\0');
    EXPECT_EQ(Texts(), captured ? std::vector<std::string>{} : std::vector<std::string>{c.line});
    EXPECT_EQ(seam::D3DCalls("IDXGIOutputDuplication::AcquireNextFrame"), c.acquires);
    EXPECT_EQ(seam::D3DCalls("IDXGIOutputDuplication::ReleaseFrame"), c.releases);
    EXPECT_EQ(seam::VirtualMilliseconds(), c.slept_ms);
    EXPECT_EQ(seam::LiveD3DObjects(), 0);
  }
}

TEST_F(Dxgi, OnlyTheSixFourByteBlueFirstFormatsAreAccepted) {
  for (int format : {10, 85, 86, 87, 88, 89, 90, 91, 92, 93, 94}) {
    SCOPED_TRACE(format);
    seam::ResetD3D();
    ClearLog();
    seam::SetFrameFormat(static_cast<DXGI_FORMAT>(format));
    const bool accepted = format >= 87 && format <= 93 && format != 89;
    EXPECT_EQ(dxgiScreenshot(MonitorNamed("LEFT")).has_value(), accepted);
    EXPECT_EQ(Texts(), accepted ? std::vector<std::string>{}
                                : std::vector<std::string>{"RuduVizozadoz: unsupported image format = " +
                                                           std::to_string(format)});
  }
}

TEST_F(Dxgi, PaddedRowsAreCopiedWholeAndRotationIsReportedWithoutTurningThePixels) {
  seam::SetRowPadding(12);
  std::optional<DxgiCapture> shot = dxgiScreenshot(MonitorNamed("RIGHT"));
  ASSERT_TRUE(shot.has_value());
  EXPECT_EQ(shot->row_pitch, 4 * 1920 + 12);
  ASSERT_EQ(shot->blob.size(), std::size_t(shot->row_pitch) * 1080);
  for (int row : {0, 539, 1079}) {
    const std::uint8_t* start = shot->blob.data() + std::size_t(row) * shot->row_pitch;
    EXPECT_EQ(start[3], 0xFF) << "row " << row << ": the first pixel's fourth byte";
    EXPECT_EQ(start[4 * 1920 - 1], 0xFF) << "row " << row << ": the last pixel's fourth byte";
    for (int i = 4 * 1920; i < shot->row_pitch; ++i) ASSERT_EQ(start[i], 0xAB) << "row " << row << " byte " << i;
  }

  for (DXGI_MODE_ROTATION rotation : {DXGI_MODE_ROTATION_UNSPECIFIED, DXGI_MODE_ROTATION_IDENTITY,
                                      DXGI_MODE_ROTATION_ROTATE90, DXGI_MODE_ROTATION_ROTATE180,
                                      DXGI_MODE_ROTATION_ROTATE270}) {
    seam::ResetD3D();
    seam::SetRotation(rotation);
    shot = dxgiScreenshot(MonitorNamed("LEFT"));
    ASSERT_TRUE(shot.has_value());
    EXPECT_EQ(shot->rotation, rotation);
    EXPECT_EQ(shot->width, 1920);
    EXPECT_EQ(shot->height, 1080);
  }
}

TEST(CaptureBlobSize, ImagesOfTwoGibibytesOrMoreHaveNoSize) {
  struct Case {
    UINT row_pitch, height;
    std::optional<std::int32_t> size;
  } cases[] = {
      {7680, 1080, 8294400},
      {0, 1080, 0},
      {1, 0x7FFFFFFFu, 0x7FFFFFFF},
      {2, 0x40000000u, std::nullopt},       // exactly 2^31
      {65536, 65536, std::nullopt},         // 2^32: wraps to 0 in 32-bit arithmetic
      {0x80000000u, 1, std::nullopt},
      {0xFFFFFFFFu, 0xFFFFFFFFu, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(CaptureBlobSize(c.row_pitch, c.height), c.size) << c.row_pitch << "x" << c.height;
}

}  // namespace
