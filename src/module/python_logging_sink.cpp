#include "module/python_logging_sink.h"

#include "module/gil_release.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

namespace py = pybind11;

namespace quorvel {

namespace {

// Once the interpreter starts to shut down, a thread that asks for the GIL may be ended on the spot by CPython
// (or wait forever), and after finalisation there is no interpreter at all. So every use of Python from a sink
// registers here first and gives up once logging has been closed.
std::atomic<bool> g_closed{false};
std::atomic<int> g_inside{0};

class PythonUse {
 public:
  PythonUse() {
    g_inside.fetch_add(1);
    allowed_ = !g_closed.load() && Py_IsInitialized() && !Py_IsFinalizing();
  }
  ~PythonUse() { g_inside.fetch_sub(1); }
  PythonUse(const PythonUse&) = delete;
  PythonUse& operator=(const PythonUse&) = delete;

  explicit operator bool() const { return allowed_; }

 private:
  bool allowed_ = false;
};

// Strict UTF-8: text that is not UTF-8 raises UnicodeDecodeError.
py::str Utf8(const char* data, size_t size) { return py::str(data, size); }

// A message names paths, and a path need not be UTF-8 (Linux names are bytes): its undecodable bytes arrive as
// os.fsdecode gives them (lone surrogates), the str the caller passed, rather than failing the call that logged.
py::str MessageText(const char* data, size_t size) {
  PyObject* text = PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "surrogateescape");
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

// With the GIL held and a C++ exception in flight: the Python error it stands for becomes the current error.
void SetPythonError() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown native error while handing a log record to Python");
  }
}

}  // namespace

int ToPythonLevel(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace: return 5;
    case spdlog::level::debug: return 10;
    case spdlog::level::info: return 20;
    case spdlog::level::warn: return 30;
    case spdlog::level::err: return 40;
    case spdlog::level::critical: return 50;
    case spdlog::level::off: return 0;
    default: return 0;
  }
}

PythonLoggingSink::PythonLoggingSink(std::string logger_name)
    : py_logger_(py::none()), logger_name_(std::move(logger_name)) {}

PythonLoggingSink::~PythonLoggingSink() {
  PythonUse use;
  if (use) {
    py::gil_scoped_acquire gil;  // nests when this thread already holds it (a replacing init_logging)
    py_logger_ = py::object();
    return;
  }
  // The interpreter is gone or going: its objects can no longer be released, so the reference is left behind.
  py_logger_.release();
}

void PythonLoggingSink::sink_it_(const spdlog::details::log_msg& msg) {
  PythonUse use;
  if (!use) return;  // nothing may reach Python any more; the record is dropped

  // A thread that Python knows (a Python thread inside a binding, with or without the GIL) has a Python caller:
  // the error propagates (spdlog is built without its catch-all) and the binding raises it there. A thread Python
  // has never seen, the watcher's worker, has no caller to raise in: the error goes to sys.unraisablehook and
  // the thread goes on.
  const bool has_python_caller = PyGILState_GetThisThreadState() != nullptr;
  py::gil_scoped_acquire gil;
  if (has_python_caller) {
    HandOff(msg);
    return;
  }
  try {
    HandOff(msg);
  }
#ifdef __GLIBCXX__
  catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended (interpreter shutdown): never swallowed
  }
#endif
  catch (...) {
    SetPythonError();
    PyErr_FormatUnraisable("Exception ignored while handing a native log record to Python logging");
  }
}

void PythonLoggingSink::HandOff(const spdlog::details::log_msg& msg) {
  if (py_logger_.is_none()) {
    // A failed import or getLogger leaves py_logger_ None, so the next record tries again.
    auto logging = py::reinterpret_steal<py::object>(PyImport_ImportModule("logging"));
    if (!logging) throw py::error_already_set();
    py_logger_ = logging.attr("getLogger")(Utf8(logger_name_.data(), logger_name_.size()));
  }
  // A local reference: a Python handler may release the GIL, and another record may replace py_logger_ meanwhile.
  py::object logger = py_logger_;

  const py::int_ level(ToPythonLevel(msg.level));
  // Asked for every record, so level changes on the Python side apply from the next record on.
  if (!logger.attr("isEnabledFor")(level).cast<bool>()) return;

  const char* file = msg.source.filename ? msg.source.filename : "";
  py::object record = logger.attr("makeRecord")(
      Utf8(logger_name_.data(), logger_name_.size()), level, Utf8(file, std::strlen(file)), py::int_(msg.source.line),
      MessageText(msg.payload.data(), msg.payload.size()), py::none(), py::none());
  logger.attr("handle")(record);
}

void ClosePythonLogging() {
  g_closed.store(true);
  // Records already inside a sink may be waiting for the GIL: let them finish, but never wait for long, so that
  // a Python handler that blocks cannot hold up the exit.
  GilRelease release;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (g_inside.load() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace quorvel
