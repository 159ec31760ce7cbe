// The logging bridge driven from C++ threads inside an embedded interpreter: threads Python has never seen,
// Python threads with and without the GIL, raising Python filters, and logger replacement.
#include "module/python_logging_sink.h"
#include "module/registration.h"
#include "platform/log.h"

#include <gtest/gtest.h>
#include <pybind11/embed.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace py = pybind11;

namespace {

void LogHere(int level, const std::string& text) {
  quorvel::log::Narrow(QUORVEL_LOG_SITE("LogHere"), static_cast<spdlog::level::level_enum>(level), "{}", text);
}
const int kLogLine = __LINE__ - 2;  // the line of the log call above

// Each text logged on a thread of its own, one after the other; such a thread has no Python thread state.
void LogOnNewThreads(int level, const std::vector<std::string>& texts) {
  for (const auto& text : texts) std::thread([&] { LogHere(level, text); }).join();
}

void LogFromThreads(int threads, int per_thread, int level) {
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([=] {
      for (int i = 0; i < per_thread; ++i) LogHere(level, "t" + std::to_string(t) + " r" + std::to_string(i));
    });
  }
  for (auto& w : workers) w.join();
}

}  // namespace

PYBIND11_EMBEDDED_MODULE(bridge_test, m) {
  quorvel::RegisterLogging(m);
  m.def("log", &LogHere);  // a Python thread holding the GIL
  m.def("log_released", &LogHere, py::call_guard<py::gil_scoped_release>());  // a Python thread without it
  m.def("log_on_new_threads", &LogOnNewThreads, py::call_guard<py::gil_scoped_release>());
  m.def("log_from_threads", &LogFromThreads, py::call_guard<py::gil_scoped_release>());
  m.attr("LOG_LINE") = kLogLine;
  m.attr("LOG_FILE") = __FILE__;
}

namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override { interpreter_ = std::make_unique<py::scoped_interpreter>(); }
  void TearDown() override { interpreter_.reset(); }

 private:
  std::unique_ptr<py::scoped_interpreter> interpreter_;
};

// Collects the records of one Python logger in `records`.
const char* kCollector = R"(
import logging, sys, threading
import bridge_test as m

class Collect(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []
    def emit(self, record):
        self.records.append(record)

def collect(name):
    logger = logging.getLogger(name)
    logger.handlers.clear()
    logger.filters.clear()
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    handler = Collect()
    logger.addHandler(handler)
    return logger, handler.records
)";

class PythonLoggingSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scope_ = py::dict();
    py::exec(kCollector, scope_);
  }
  void TearDown() override { scope_ = py::object(); }

  void Run(const char* code) { py::exec(code, scope_); }
  template <typename T>
  T Get(const char* expression) {
    return py::eval(expression, scope_).cast<T>();
  }

  py::object scope_;
};

TEST(ToPythonLevel, MapsEverySpdlogLevelAndAnythingElseToZero) {
  using namespace spdlog::level;
  EXPECT_EQ(quorvel::ToPythonLevel(trace), 5);
  EXPECT_EQ(quorvel::ToPythonLevel(debug), 10);
  EXPECT_EQ(quorvel::ToPythonLevel(info), 20);
  EXPECT_EQ(quorvel::ToPythonLevel(warn), 30);
  EXPECT_EQ(quorvel::ToPythonLevel(err), 40);
  EXPECT_EQ(quorvel::ToPythonLevel(critical), 50);
  EXPECT_EQ(quorvel::ToPythonLevel(off), 0);
  EXPECT_EQ(quorvel::ToPythonLevel(static_cast<level_enum>(7)), 0);
  EXPECT_EQ(quorvel::ToPythonLevel(static_cast<level_enum>(-1)), 0);
}

// No sink mutex: foreign threads wait only for the GIL, so a Python thread that logs while holding the GIL (the
// case that deadlocks a sink mutex taken before the GIL) runs alongside them.
TEST_F(PythonLoggingSinkTest, ForeignThreadsDeliverEveryRecordWhileTheMainThreadHoldsAndReleasesTheGil) {
  Run(R"(
m.init_logging("threads")
logger, records = collect("threads")
worker = threading.Thread(target=m.log_from_threads, args=(4, 250, 3))
worker.start()
main_lines = 0
while worker.is_alive():
    m.log(4, "main")          # logs with the GIL held
    main_lines += 1
    sum(range(2000))
    m.log_released(2, "main released")
    main_lines += 1
worker.join()
foreign = [r for r in records if r.msg.startswith("t")]
)");
  EXPECT_EQ(Get<int>("len(foreign)"), 1000);
  EXPECT_EQ(Get<int>("len(set(r.msg for r in foreign))"), 1000);
  EXPECT_EQ(Get<int>("len(records) - len(foreign)"), Get<int>("main_lines"));
  EXPECT_TRUE(Get<bool>("all(r.levelno == 30 and r.levelname == 'WARNING' for r in foreign)"));
  EXPECT_TRUE(Get<bool>("all(r.thread != threading.main_thread().ident for r in foreign)"));
  EXPECT_TRUE(Get<bool>("all(r.thread == threading.main_thread().ident for r in records if r.msg.startswith('main'))"));
  EXPECT_TRUE(Get<bool>("all(r.name == 'threads' and r.funcName is None and r.args is None and r.exc_info is None"
                        " for r in records)"));
  EXPECT_TRUE(Get<bool>("all(r.pathname == m.LOG_FILE and r.lineno == m.LOG_LINE for r in records)"));
  // Each record was made on its own thread, in that thread's order.
  EXPECT_TRUE(Get<bool>("all([r.msg for r in foreign if r.msg.startswith(f't{t} ')] =="
                        " [f't{t} r{i}' for i in range(250)] for t in range(4))"));
}

TEST_F(PythonLoggingSinkTest, PythonsLevelDecidesAndDroppedRecordsMakeNoRecordWhileTraceNeverArrives) {
  Run(R"(
m.init_logging("levels")
logger, records = collect("levels")
logger.setLevel(logging.WARNING)
made = []
make_record = logger.makeRecord
logger.makeRecord = lambda *args: made.append(args) or make_record(*args)
for level in range(7):
    m.log(level, f"spdlog level {level}")
logger.setLevel(1)   # even below Python's DEBUG, trace has been dropped before the sink
m.log(0, "trace")
m.log_on_new_threads(0, ["trace on a new thread"])
m.log(1, "debug")
)");
  EXPECT_EQ(Get<std::vector<int>>("[r.levelno for r in records]"), (std::vector<int>{30, 40, 50, 10}));
  EXPECT_EQ(Get<std::vector<std::string>>("[r.levelname for r in records]"),
            (std::vector<std::string>{"WARNING", "ERROR", "CRITICAL", "DEBUG"}));
  EXPECT_EQ(Get<int>("len(made)"), 4);
  EXPECT_EQ(Get<std::vector<std::string>>("[a[4] for a in made]"),
            (std::vector<std::string>{"spdlog level 3", "spdlog level 4", "spdlog level 5", "debug"}));
}

TEST_F(PythonLoggingSinkTest, AnErrorOnAThreadPythonNeverSawGoesToTheUnraisableHookAndTheThreadGoesOn) {
  Run(R"(
m.init_logging("foreign")
logger, records = collect("foreign")
def refuse(record):
    if record.msg == "bad":
        raise ValueError("refused by filter")
    return True
logger.addFilter(refuse)
unraisable = []
previous_hook = sys.unraisablehook
sys.unraisablehook = lambda u: unraisable.append((u.exc_type, str(u.exc_value), u.err_msg))
try:
    m.log_on_new_threads(4, ["bad", "good", "bad", "after"])
finally:
    sys.unraisablehook = previous_hook
)");
  EXPECT_EQ(Get<std::vector<std::string>>("[r.msg for r in records]"), (std::vector<std::string>{"good", "after"}));
  EXPECT_EQ(Get<int>("len(unraisable)"), 2);
  EXPECT_TRUE(Get<bool>("all(t is ValueError and v == 'refused by filter' for t, v, _ in unraisable)"));
  EXPECT_TRUE(Get<bool>("all('log record' in msg for _, _, msg in unraisable)"));
}

TEST_F(PythonLoggingSinkTest, AnErrorOnAPythonThreadReachesItsCallerWithOrWithoutTheGil) {
  Run(R"(
m.init_logging("known")
logger, records = collect("known")
logger.addFilter(lambda r: (_ for _ in ()).throw(KeyError("from filter")) if r.msg == "bad" else True)
raised = []
for log in (m.log, m.log_released):
    try:
        log(4, "bad")
    except KeyError as e:
        raised.append(e.args[0])
m.log(4, "good")
# A result of isEnabledFor that is no truth value cannot be taken as a boolean.
logger.isEnabledFor = lambda level: "yes"
try:
    m.log(4, "unjudged")
except RuntimeError:
    raised.append("RuntimeError")
del logger.isEnabledFor
)");
  EXPECT_EQ(Get<std::vector<std::string>>("raised"),
            (std::vector<std::string>{"from filter", "from filter", "RuntimeError"}));
  EXPECT_EQ(Get<std::vector<std::string>>("[r.msg for r in records]"), (std::vector<std::string>{"good"}));
}

TEST_F(PythonLoggingSinkTest, AHandlerThatLogsAgainThroughTheModuleNests) {
  Run(R"(
m.init_logging("nested")
logger, records = collect("nested")
class Echo(logging.Handler):
    def emit(self, record):
        if record.msg.startswith("outer"):
            m.log(3, "inner of " + record.msg)           # same thread, GIL held
            m.log_released(3, "released inner of " + record.msg)
logger.addHandler(Echo())
m.log(4, "outer main")
m.log_on_new_threads(4, ["outer foreign"])
)");
  EXPECT_EQ(Get<std::vector<std::string>>("[r.msg for r in records]"),
            (std::vector<std::string>{"outer main", "inner of outer main", "released inner of outer main",
                                      "outer foreign", "inner of outer foreign", "released inner of outer foreign"}));
}

TEST_F(PythonLoggingSinkTest, AReplacedLoggerStaysRegisteredAndASameNameReplacementDestroysTheOldSink) {
  auto console = spdlog::get("");
  ASSERT_TRUE(console);
  Run(R"(
m.init_logging("first")
logger, records = collect("first")
m.log(3, "to first")
)");
  std::shared_ptr<spdlog::logger> first = spdlog::default_logger();
  EXPECT_EQ(first->name(), "first");
  EXPECT_EQ(spdlog::get(""), console);  // the built-in console logger keeps its entry

  Run("m.init_logging('second')\nlogger2, records2 = collect('second')\nm.log(3, 'to second')");
  EXPECT_EQ(spdlog::get("first"), first);
  EXPECT_EQ(spdlog::default_logger()->name(), "second");
  EXPECT_EQ(Get<std::vector<std::string>>("[r.msg for r in records]"), (std::vector<std::string>{"to first"}));
  EXPECT_EQ(Get<std::vector<std::string>>("[r.msg for r in records2]"), (std::vector<std::string>{"to second"}));

  // Only the sink being replaced holds a reference to Python's logger "second".
  std::weak_ptr<spdlog::logger> second = spdlog::default_logger();
  Run("refs_before = sys.getrefcount(logger2)\nm.init_logging('second')\nrefs_after = sys.getrefcount(logger2)");
  EXPECT_TRUE(second.expired());  // destroyed during the call, on this thread, which holds the GIL
  EXPECT_EQ(Get<int>("refs_before - refs_after"), 1);
  EXPECT_EQ(spdlog::get("first"), first);
  Run("m.log(3, 'to new second')");
  EXPECT_EQ(Get<int>("len(records2)"), 2);
}

// A logger replaced while a thread is logging through it lives until that call returns; its sink then dies on
// that thread, which takes the GIL to let go of the Python logger.
TEST_F(PythonLoggingSinkTest, AReplacedLoggerInUseDiesOnTheLastThreadLoggingThroughIt) {
  Run(R"(
m.init_logging("busy")
logger, records = collect("busy")
m.log(3, "fetch")
refs_start = sys.getrefcount(logger)
)");
  std::shared_ptr<spdlog::logger> held = spdlog::default_logger();
  std::weak_ptr<spdlog::logger> watch = held;
  Run("m.init_logging('busy')");
  ASSERT_FALSE(watch.expired());
  {
    py::gil_scoped_release release;
    std::thread([held = std::move(held)]() mutable {
      held->log(spdlog::source_loc{"held.cpp", 7, "held"}, spdlog::level::err, "through the old logger");
      held.reset();
    }).join();
  }
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(Get<std::vector<std::string>>("[r.msg for r in records]"),
            (std::vector<std::string>{"fetch", "through the old logger"}));
  EXPECT_EQ(Get<int>("refs_start - sys.getrefcount(logger)"), 1);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new Interpreter);
  return RUN_ALL_TESTS();
}
