// Shared pieces of the watcher tests on real directories: a temporary directory, a capture of the log lines,
// a deadline-bounded wait, and the platform's counters of live objects.
#pragma once

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fs_watcher/fs_watcher.h"
#include "fs_watcher_records.h"
#include "log_capture.h"
#include "platform/linux/seam/seam.h"

namespace watcher_test {

namespace seam = quorvel::platform::seam;

using test_support::CaptureSink;
using test_support::LogLine;

using records::Gate;
using records::WaitFor;

class WatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    seam::Reset();
    handles_before_ = seam::OpenHandles();
    ports_before_ = seam::LivePorts();
    previous_logger_ = spdlog::default_logger();
    sink_ = std::make_shared<CaptureSink>();
    auto logger = std::make_shared<spdlog::logger>("capture", sink_);
    logger->set_level(spdlog::level::debug);
    spdlog::set_default_logger(logger);
    char tmpl[] = "/tmp/quorvel-watch-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
  }

  void TearDown() override {
    watcher_.reset();
    // Nothing the watcher opened outlives it.
    EXPECT_EQ(seam::OpenHandles(), handles_before_);
    EXPECT_EQ(seam::LivePorts(), ports_before_);
    EXPECT_EQ(seam::OutstandingReads(), 0u);
    spdlog::set_default_logger(previous_logger_);
    std::filesystem::remove_all(root_);
    seam::Reset();
  }

  FsWatcher& W() { return *watcher_; }

  std::filesystem::path MakeDir(const std::string& name) {
    std::filesystem::create_directories(root_ / name);
    return root_ / name;
  }
  static void Touch(const std::filesystem::path& file, const std::string& text = "x") {
    std::ofstream(file, std::ios::app) << text;
  }

  std::uint64_t Watch(const std::filesystem::path& dir, records::Recorder& recorder,
                      std::vector<WatchFilter> filters = {{L"*", 0}},
                      std::uint32_t actions = 30, bool file_only = false) {
    return W().WatchDir(dir.wstring(), std::move(filters), actions, file_only, recorder.Handler());
  }
  std::uint64_t Watch(const std::filesystem::path& dir, WatchHandler handler,
                      std::vector<WatchFilter> filters = {{L"*", 0}}) {
    return W().WatchDir(dir.wstring(), std::move(filters), 30, false, std::move(handler));
  }

  // Log lines whose text starts with `prefix`.
  std::vector<LogLine> Logged(const std::string& prefix) {
    std::vector<LogLine> found;
    for (auto& line : sink_->Lines()) {
      if (line.text.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
  }

  std::unique_ptr<FsWatcher> watcher_ = std::make_unique<FsWatcher>();
  std::filesystem::path root_;
  std::shared_ptr<CaptureSink> sink_;
  std::shared_ptr<spdlog::logger> previous_logger_;
  std::size_t handles_before_ = 0;
  std::size_t ports_before_ = 0;
};

// True once `recorder` has an event for `path` with `action`.
inline bool Saw(records::Recorder& recorder, FsWatchAction action, const std::filesystem::path& path) {
  for (const auto& e : recorder.Events()) {
    if (e.action == action && e.path == path.wstring()) return true;
  }
  return false;
}

}  // namespace watcher_test
