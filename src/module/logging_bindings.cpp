// init_logging: makes a logger whose only sink is a PythonLoggingSink the process-wide default, so the
// components' native log lines reach Python `logging`.
//
// Everything here runs with the GIL held, which also serialises init_logging calls and the registry changes
// they make.
#include "module/python_logging_sink.h"

#include <pybind11/pybind11.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <string>

namespace py = pybind11;

namespace quorvel {

// A logger name as UTF-8: a str, or bytes taken byte for byte.
struct LoggerName {
  std::string utf8;
};

}  // namespace quorvel

namespace pybind11::detail {

// pybind11's own std::string caster turns a str it cannot encode (one with a lone surrogate) into "incompatible
// function arguments"; the encoding's own error is what `str.encode` would raise, so that is what is raised.
template <>
struct type_caster<quorvel::LoggerName> {
 public:
  PYBIND11_TYPE_CASTER(quorvel::LoggerName, const_name("str"));

  bool load(handle src, bool convert) {
    if (src && PyUnicode_Check(src.ptr())) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(src.ptr(), &size);
      if (data == nullptr) throw error_already_set();
      value.utf8.assign(data, static_cast<std::size_t>(size));
      return true;
    }
    make_caster<std::string> bytes;
    if (!bytes.load(src, convert)) return false;
    value.utf8 = cast_op<std::string&&>(std::move(bytes));
    return true;
  }
};

}  // namespace pybind11::detail

namespace quorvel {

namespace {

bool g_exit_hook_registered = false;  // GIL
bool g_shut_down = false;             // GIL

// spdlog 1.10's set_default_logger erases the replaced default's registry entry; the replaced logger is meant to
// stay registered under its own name (the built-in console logger under "", an earlier bridge logger under its
// name). Only the GIL holder changes the registry, so the entry cannot have been taken in between.
void InstallDefaultLogger(std::shared_ptr<spdlog::logger> logger) {
  std::shared_ptr<spdlog::logger> previous = spdlog::default_logger();
  spdlog::set_default_logger(logger);
  if (previous && previous->name() != logger->name() && !spdlog::get(previous->name())) {
    spdlog::register_logger(previous);
  }
  // Dropped here, outside the registry's mutex: when this was the last reference (same name, nobody logging
  // through it) the old logger and its sink die now, on this thread; otherwise with the last call through them.
}

// At interpreter exit native lines go to a console logger again, as before init_logging, and no sink touches
// Python any more: the watcher's worker may still log during and after finalisation, when asking for the GIL
// is no longer safe. Python runs this before it starts finalising.
void ShutDownLogging() {
  g_shut_down = true;
  InstallDefaultLogger(
      std::make_shared<spdlog::logger>("", std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>()));
  ClosePythonLogging();
}

void InitLogging(const LoggerName& name) {
  if (g_shut_down) return;  // the interpreter is exiting: lines keep going to the console
  const std::string& logger_name = name.utf8;
  // The name becomes a Python str for every record; bytes that are not UTF-8 would fail every record at the
  // call sites, so they are refused here (UnicodeDecodeError).
  py::str(logger_name.data(), logger_name.size());

  auto sink = std::make_shared<PythonLoggingSink>(logger_name);
  auto logger = std::make_shared<spdlog::logger>(logger_name, std::move(sink));
  logger->set_level(spdlog::level::debug);  // trace is dropped before it is formatted

  if (!g_exit_hook_registered) {
    py::module_::import("atexit").attr("register")(py::cpp_function(&ShutDownLogging));
    g_exit_hook_registered = true;
  }
  InstallDefaultLogger(std::move(logger));
}

}  // namespace

void RegisterLogging(py::module_& m) { m.def("init_logging", &InitLogging, py::arg("logger_name") = "quorvel"); }

}  // namespace quorvel
