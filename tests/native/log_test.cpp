#include "platform/log.h"

#include "log_capture.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

using test_support::CaptureSink;
using Captured = test_support::LogLine;

class LogHelper : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = spdlog::default_logger();
    sink_ = std::make_shared<CaptureSink>();
    auto logger = std::make_shared<spdlog::logger>("capture", sink_);
    logger->set_level(spdlog::level::debug);
    spdlog::set_default_logger(logger);
  }
  void TearDown() override { spdlog::set_default_logger(previous_); }

  std::shared_ptr<spdlog::logger> previous_;
  std::shared_ptr<CaptureSink> sink_;
};

TEST_F(LogHelper, WideFormatArrivesAsUtf8WithTheCallersSourceLocation) {
  const std::wstring path = L"/tmp/\u00E4\xDCFF";  // ä, then an escaped undecodable byte 0xFF
  const int line = __LINE__ + 1;
  quorvel::log::Wide(QUORVEL_LOG_SITE("FsWatcher::WatchDir"), spdlog::level::err, L"unable to open {} ({})", path, 5u);
  ASSERT_EQ(sink_->Lines().size(), 1u);
  const Captured r = sink_->Lines()[0];
  EXPECT_EQ(r.text, "unable to open /tmp/\xC3\xA4\xFF (5)");
  EXPECT_EQ(r.level, spdlog::level::err);
  EXPECT_EQ(r.file, __FILE__);
  EXPECT_EQ(r.line, line);
  EXPECT_EQ(r.function, "FsWatcher::WatchDir");
}

TEST_F(LogHelper, NarrowFormatAndLevelFilteringFollowTheDefaultLogger) {
  spdlog::default_logger()->set_level(spdlog::level::warn);
  quorvel::log::Narrow(QUORVEL_LOG_SITE("dxgiScreenshot"), spdlog::level::info, "dropped {}", 1);
  quorvel::log::Narrow(QUORVEL_LOG_SITE("dxgiScreenshot"), spdlog::level::err, "hr={}", static_cast<int32_t>(-2005270489));
  ASSERT_EQ(sink_->Lines().size(), 1u);
  EXPECT_EQ(sink_->Lines()[0].text, "hr=-2005270489");
  EXPECT_EQ(sink_->Lines()[0].function, "dxgiScreenshot");
}

TEST_F(LogHelper, BracesAndPercentSignsInArgumentsAreNotReinterpreted) {
  quorvel::log::Wide(QUORVEL_LOG_SITE("f"), spdlog::level::warn, L"dir {}", std::wstring(L"{0} %s %%"));
  ASSERT_EQ(sink_->Lines().size(), 1u);
  EXPECT_EQ(sink_->Lines()[0].text, "dir {0} %s %%");
}

}  // namespace
