// An spdlog sink that keeps every line it receives, with its level and source location, for tests to inspect.
#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <mutex>
#include <string>
#include <vector>

namespace test_support {

struct LogLine {
  std::string text;
  spdlog::level::level_enum level;
  std::string file;
  int line;
  std::string function;
};

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<LogLine> Lines() {
    std::lock_guard<std::mutex> lock(base_sink<std::mutex>::mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(base_sink<std::mutex>::mutex_);
    lines_.clear();
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines_.push_back({std::string(msg.payload.data(), msg.payload.size()), msg.level,
                      msg.source.filename ? msg.source.filename : "", msg.source.line,
                      msg.source.funcname ? msg.source.funcname : ""});
  }
  void flush_() override {}

 private:
  std::vector<LogLine> lines_;
};

}  // namespace test_support
