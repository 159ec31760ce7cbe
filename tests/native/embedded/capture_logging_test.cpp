// capture_window from Python in an embedded interpreter, on a private X server, with the duplication seam failing
// one step: the capture's error line arrives in Python logging, and a raising logging filter makes the call raise.
#ifndef QUORVEL_X11_WINDOW_FIXTURE
#define QUORVEL_X11_WINDOW_FIXTURE ""  // this test makes its own window and never runs the window program
#endif
#include "x11_test_support.h"

#include <pybind11/embed.h>
#include <pybind11/stl.h>

#include "module/registration.h"
#include "platform/linux/seam/seam_d3d.h"

namespace py = pybind11;
namespace seam = quorvel::platform::seam;

PYBIND11_EMBEDDED_MODULE(capture_logging_test, m) {
  quorvel::RegisterLogging(m);
  quorvel::RegisterWindowRect(m);
  quorvel::RegisterWindowScreenshot(m);
  quorvel::RegisterWindowFunctions(m);
  m.def("fail_next_map", [] { seam::FailNextCall("ID3D11DeviceContext::Map", E_FAIL); });
}

namespace {

const x11_test::Layout& OneMonitor() {
  static const x11_test::Layout layout;
  return layout;
}
class CaptureLogging : public x11_test::X11Suite<OneMonitor> {};

TEST_F(CaptureLogging, AFailedCapturesLineReachesPythonAndARaisingFilterMakesTheCallRaise) {
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  const ::Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 10, 10, 100, 100, 0, 0, 0);
  XMapWindow(display, window);
  XSync(display, False);
  {
    py::scoped_interpreter interpreter;
    py::dict scope;
    scope["window"] = static_cast<unsigned long>(window);
    py::exec(R"(
import logging
import capture_logging_test as m

records = []
logger = logging.getLogger("capture")
logger.propagate = False
logger.addHandler(type("Collect", (logging.Handler,), {"emit": lambda self, r: records.append(r)})())
m.init_logging("capture")
m.fail_next_map()
failed = m.capture_window(window)
lines = [(r.getMessage(), r.levelno) for r in records]

class Refused(Exception):
    pass
def refuse(record):
    raise Refused(record.getMessage())
logger.addFilter(refuse)
m.fail_next_map()
try:
    m.capture_window(window)
    raised = None
except Refused as e:
    raised = str(e)
logger.removeFilter(refuse)
after = m.capture_window(window)
)",
             scope);
    using Lines = std::vector<std::pair<std::string, int>>;
    const std::string line = "RuduVizozadoz: ID3D11DeviceContext::Map failed, hr=-2147467259";
    EXPECT_TRUE(scope["failed"].is_none());
    EXPECT_EQ(scope["lines"].cast<Lines>(), (Lines{{line, 40}}));
    EXPECT_EQ(scope["raised"].cast<std::string>(), line);
    EXPECT_FALSE(scope["after"].is_none()) << "the raise left nothing behind that stops the next capture";
  }
  EXPECT_EQ(seam::LiveD3DObjects(), 0);
  XCloseDisplay(display);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
