// The capture on the system's own Direct3D, DXGI and windows: built for Windows only, run under Wine by
// scripts/check-windows.sh. Which step of dxgiScreenshot a system refuses depends on the system (no device without
// a display, no duplication under Wine), so each test first asks the system itself, making the capture's calls in
// its order, and then holds the capture to that answer: the refused step's line with the system's result and no
// screenshot, or a screenshot when nothing is refused.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "game_screenshoter/com_holder.h"
#include "game_screenshoter/dxgi_screenshot.h"
#include "game_screenshoter/find_game_window.h"
#include "game_screenshoter/window_capture.h"
#include "log_capture.h"

namespace {

using Lines = std::vector<std::string>;

struct Expectation {
  bool capture = false;
  Lines lines;  // what dxgiScreenshot logs
};

Expectation Refused(const char* text, HRESULT hr) { return {false, {text + std::to_string(hr)}}; }

// The holders release what the probe obtained before the capture under test duplicates the same output.
Expectation AskTheSystem(HMONITOR monitor) {
  ComHolder<ID3D11Device> device;
  ComHolder<ID3D11DeviceContext> context;
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0,
                                      D3D_FEATURE_LEVEL_9_1};
  for (D3D_DRIVER_TYPE type : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP, D3D_DRIVER_TYPE_REFERENCE}) {
    if (SUCCEEDED(D3D11CreateDevice(nullptr, type, nullptr, 0, levels, 4, D3D11_SDK_VERSION, &device, nullptr,
                                    &context))) {
      break;
    }
    device.Reset();
    context.Reset();
  }
  if (!device || !context) return {false, {"RuduVizozadoz: D3D11CreateDevice failed"}};
  ComHolder<IDXGIDevice> dxgi;
  HRESULT hr = device->QueryInterface(__uuidof(IDXGIDevice), OutParam(dxgi));
  if (FAILED(hr) || !dxgi) return Refused("RuduVizozadoz: D3D11CreateDevice->IDXGIDevice failed, hr=", hr);
  ComHolder<IDXGIAdapter> adapter;
  hr = dxgi->GetParent(__uuidof(IDXGIAdapter), OutParam(adapter));
  if (FAILED(hr) || !adapter) return Refused("RuduVizozadoz: IDXGIDevice->IDXGIAdapter failed, hr=", hr);

  ComHolder<IDXGIOutput> output;
  DXGI_OUTPUT_DESC description{};
  if (monitor == nullptr) {
    hr = adapter->EnumOutputs(0, &output);
    if (FAILED(hr) || !output) return Refused("RuduVizozadoz: dxgiAdapter->IDXGIOutput failed, hr=", hr);
    hr = output->GetDesc(&description);
    if (FAILED(hr)) return Refused("RuduVizozadoz: IDXGIOutput::GetDesc failed, hr=", hr);
  }
  for (UINT index = 0; !output; ++index) {
    ComHolder<IDXGIOutput> candidate;
    if (FAILED(adapter->EnumOutputs(index, &candidate)) || !candidate) return {};  // shown by none: no line
    if (FAILED(candidate->GetDesc(&description))) return {};
    if (description.Monitor == monitor) output = candidate.Get();
  }
  ComHolder<IDXGIOutput1> output1;
  hr = output->QueryInterface(__uuidof(IDXGIOutput1), OutParam(output1));
  if (FAILED(hr) || !output1) return Refused("RuduVizozadoz: IDXGIOutput->IDXGIOutput1 failed, hr=", hr);
  ComHolder<IDXGIOutputDuplication> duplication;
  hr = output1->DuplicateOutput(device.Get(), &duplication);
  if (FAILED(hr) || !duplication) {
    return Refused("RuduVizozadoz: IDXGIOutput1->IDXGIOutputDuplication failed, hr=", hr);
  }
  return {true, {}};
}

class CaptureOnSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = spdlog::default_logger();
    sink_ = std::make_shared<test_support::CaptureSink>();
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("capture", sink_));
  }
  void TearDown() override {
    spdlog::set_default_logger(previous_);
    if (window_ != nullptr) DestroyWindow(window_);
  }
  Lines Texts() {
    Lines texts;
    for (const auto& line : sink_->Lines()) texts.push_back(line.text);
    return texts;
  }

  // A visible top-level window of this process, as a game's would be.
  HWND MakeWindow() {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"quorvel capture test";
    RegisterClassW(&window_class);  // again in later tests: the class stays registered
    window_ = CreateWindowExW(0, window_class.lpszClassName, L"game", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 30, 320,
                              240, nullptr, nullptr, window_class.hInstance, nullptr);
    for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) DispatchMessageW(&message);
    return window_;
  }

  std::shared_ptr<test_support::CaptureSink> sink_;
  HWND window_ = nullptr;

 private:
  std::shared_ptr<spdlog::logger> previous_;
};

// Also without a display, where the system refuses the device.
TEST_F(CaptureOnSystem, ARefusedStepIsLoggedWithTheSystemsResultAndGivesNoScreenshot) {
  for (HMONITOR monitor : {HMONITOR{nullptr}, MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY)}) {
    const Expectation expected = AskTheSystem(monitor);
    sink_->Clear();
    EXPECT_EQ(dxgiScreenshot(monitor).has_value(), expected.capture) << "monitor " << monitor;
    EXPECT_EQ(Texts(), expected.lines) << "monitor " << monitor;
    for (const auto& line : sink_->Lines()) {
      EXPECT_EQ(line.level, spdlog::level::err);
      EXPECT_EQ(line.function, "dxgiScreenshot");
    }
  }
}

TEST_F(CaptureOnSystem, TheMonitorsOutputIsCapturedWithItsPlaceAndSize) {
  const HMONITOR monitor = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
  MONITORINFO info{sizeof(MONITORINFO)};
  ASSERT_TRUE(GetMonitorInfoW(monitor, &info));
  const std::optional<DxgiCapture> shot = dxgiScreenshot(monitor);
  ASSERT_TRUE(shot.has_value()) << ::testing::PrintToString(Texts());
  EXPECT_EQ(shot->desktop_rect.left, info.rcMonitor.left);
  EXPECT_EQ(shot->desktop_rect.top, info.rcMonitor.top);
  EXPECT_EQ(shot->width, info.rcMonitor.right - info.rcMonitor.left);
  EXPECT_EQ(shot->height, info.rcMonitor.bottom - info.rcMonitor.top);
  EXPECT_GE(shot->row_pitch, 4 * shot->width);
  EXPECT_EQ(shot->blob.size(), std::size_t(shot->row_pitch) * std::size_t(shot->height));
}

TEST_F(CaptureOnSystem, NothingToCaptureForZeroOrAWindowThatIsGone) {
  const HWND gone = MakeWindow();
  ASSERT_NE(gone, nullptr);
  ASSERT_TRUE(DestroyWindow(gone));
  window_ = nullptr;
  EXPECT_FALSE(capture_window(0).has_value());
  EXPECT_FALSE(capture_window(reinterpret_cast<std::uintptr_t>(gone)).has_value());
  EXPECT_EQ(Texts(), Lines{});
}

// This process stands in for the game: its executable lies in the install directory.
TEST_F(CaptureOnSystem, TheGamesWindowIsFoundByItsInstallDirectoryAndCapturedAsTheSystemAllows) {
  const HWND window = MakeWindow();
  ASSERT_NE(window, nullptr);
  std::wstring directory(32768, L'\0');
  directory.resize(GetModuleFileNameW(nullptr, directory.data(), static_cast<DWORD>(directory.size())));
  directory.resize(directory.rfind(L'\\') + 1);
  const std::uint64_t handle = reinterpret_cast<std::uintptr_t>(window);

  EXPECT_EQ(FindGameWindow(directory, 0), handle);
  EXPECT_EQ(Texts(), Lines{});
  EXPECT_EQ(FindGameWindow(directory + L"elsewhere\\", 0), 0u);
  ASSERT_EQ(sink_->Lines().size(), 1u);
  EXPECT_EQ(sink_->Lines()[0].level, spdlog::level::warn);

  const HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONULL);
  ASSERT_NE(monitor, nullptr) << "the window lies on no monitor";
  const Expectation expected = AskTheSystem(monitor);
  sink_->Clear();
  const std::optional<WindowScreenshot> shot = capture_window(handle);
  EXPECT_EQ(shot.has_value(), expected.capture);
  EXPECT_EQ(Texts(), expected.lines);
}

}  // namespace
