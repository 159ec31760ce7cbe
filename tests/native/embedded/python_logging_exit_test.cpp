// The logging bridge across the end of the interpreter: threads keep logging through a bridge logger while the
// interpreter exits and after it is gone, and the last sink dies after finalisation.
#include "module/python_logging_sink.h"
#include "module/registration.h"

#include <gtest/gtest.h>
#include <pybind11/embed.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace py = pybind11;

PYBIND11_EMBEDDED_MODULE(bridge_exit_test, m) { quorvel::RegisterLogging(m); }

namespace {

TEST(PythonLoggingExit, ThreadsLoggingThroughTheBridgeDuringAndAfterFinalisationTouchNoPythonObject) {
  auto interpreter = std::make_unique<py::scoped_interpreter>();
  py::exec(R"(
import logging, bridge_exit_test
class Count(logging.Handler):
    def __init__(self):
        super().__init__()
        self.count = 0
    def emit(self, record):
        self.count += 1
counter = Count()
logger = logging.getLogger("exit")
logger.propagate = False
logger.addHandler(counter)
logger.setLevel(logging.DEBUG)
bridge_exit_test.init_logging("exit")
)");
  // Shared references, as a component holds one for the length of each call: these outlive the registry's swap
  // at exit and the interpreter itself.
  std::shared_ptr<spdlog::logger> bridge = spdlog::default_logger();
  ASSERT_EQ(bridge->name(), "exit");

  std::atomic<bool> stop{false};
  std::atomic<long> logged{0};
  std::vector<std::thread> threads;
  {
    py::gil_scoped_release release;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&] {
        while (!stop.load()) {
          bridge->log(spdlog::source_loc{"exit.cpp", 1, "exit"}, spdlog::level::err, "still logging");
          logged.fetch_add(1);
        }
      });
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (logged.load() < 300 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ASSERT_GE(logged.load(), 300);
  const long delivered = py::eval("counter.count").cast<long>();
  EXPECT_GT(delivered, 0);

  // Exit hooks (the bridge closes), then finalisation, while the threads go on logging.
  interpreter.reset();
  EXPECT_FALSE(Py_IsInitialized());
  EXPECT_EQ(spdlog::default_logger()->name(), "");  // native lines go to a console logger again
  const long at_exit = logged.load();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (logged.load() < at_exit + 300 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GE(logged.load(), at_exit + 300);
  stop = true;
  for (auto& t : threads) t.join();

  // The registry still holds the bridge under its name; dropping every reference here must not touch Python.
  std::weak_ptr<spdlog::logger> watch = bridge;
  bridge.reset();
  spdlog::drop("exit");
  EXPECT_TRUE(watch.expired());
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
