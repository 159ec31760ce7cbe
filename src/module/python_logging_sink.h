// The bridge from spdlog to Python `logging`: every record that reaches the sink is handed, on the thread that
// logged it, to the Python logger of the sink's name. No pattern is applied; Python does all the formatting.
#pragma once

#include <pybind11/pybind11.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

#include <string>

namespace quorvel {

// spdlog level -> Python logging level (trace 5 ... critical 50; off and anything else 0).
int ToPythonLevel(spdlog::level::level_enum level);

// The GIL is the sink's only lock. A sink mutex taken before the GIL deadlocks against a thread that holds the
// GIL and logs, and a Python handler may release the GIL in the middle of a record, so no second lock may be
// waited for while the GIL is held. Hence the null mutex: all sink state is read and written under the GIL, and
// logger_name_ never changes after construction. A Python handler that logs again through this module on the
// same thread simply nests.
class PythonLoggingSink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 public:
  // With the GIL held.
  explicit PythonLoggingSink(std::string logger_name);
  ~PythonLoggingSink() override;

  const std::string& logger_name() const { return logger_name_; }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override {}

 private:
  void HandOff(const spdlog::details::log_msg& msg);

  pybind11::object py_logger_;  // None until the first record fetches logging.getLogger(logger_name_); GIL only
  const std::string logger_name_;
};

// Called once the interpreter starts to shut down (from an atexit callback, GIL held): from then on no sink
// touches Python. Waits, with the GIL released and for a bounded time, for records already inside a sink.
void ClosePythonLogging();

}  // namespace quorvel
