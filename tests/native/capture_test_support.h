// For the capture tests: a private X server with two monitors side by side per test process, the seams reset and
// virtual time on, every log line kept, and no Direct3D/DXGI object alive at the end of a test.
#pragma once

#include "x11_test_support.h"

#include <memory>
#include <string>
#include <vector>

#include "log_capture.h"
#include "platform/linux/seam/seam.h"
#include "platform/linux/seam/seam_d3d.h"
#include "platform/linux/seam/seam_windows.h"

namespace capture_test {

namespace seam = quorvel::platform::seam;

using x11_test::MonitorNamed;
using x11_test::TwoMonitors;

class CaptureSuite : public x11_test::X11Suite<TwoMonitors> {
 protected:
  void SetUp() override {
    X11Suite::SetUp();
    previous_ = spdlog::default_logger();
    Reset();
  }
  void TearDown() override {
    spdlog::set_default_logger(previous_);
    EXPECT_EQ(seam::LiveD3DObjects(), 0);
    seam::Reset();
    seam::ResetD3D();
    seam::ResetWindows();
  }

  // Between the rows of a table: seams, counters, virtual time and the log start afresh.
  void Reset() {
    seam::Reset();
    seam::ResetD3D();
    seam::ResetWindows();
    seam::UseVirtualTime(true);
    sink_ = std::make_shared<test_support::CaptureSink>();
    auto logger = std::make_shared<spdlog::logger>("capture", sink_);
    logger->set_level(spdlog::level::debug);
    spdlog::set_default_logger(logger);
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const auto& line : sink_->Lines()) texts.push_back(line.text);
    return texts;
  }

  std::shared_ptr<test_support::CaptureSink> sink_;

 private:
  std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace capture_test
