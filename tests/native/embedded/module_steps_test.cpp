// The create and exec steps of the module, driven by hand inside an embedded interpreter: names taken from
// specs, the per-interpreter cache, and how failures become ImportError.
#include "module/conversions.h"
#include "module/module_cache.h"
#include "module/module_steps.h"
#include "module/registration.h"
#include "module/version_check.h"

#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace {

int g_init_calls = 0;

// A fresh interpreter for each test: the cache under test lives in the interpreter.
class Steps : public ::testing::Test {
 protected:
  void SetUp() override { g_init_calls = 0; }
  py::scoped_interpreter interpreter_;
};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "quorvel", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

py::object Spec(py::object name) {
  py::object spec = py::module_::import("types").attr("SimpleNamespace")();
  if (!name.is(py::ellipsis())) spec.attr("name") = name;
  return spec;
}

// Takes the pending Python error, checks that it is an ImportError with `message`, and returns it.
py::object TakeImportError(const std::string& message) {
  EXPECT_TRUE(PyErr_Occurred());
  py::error_already_set error;
  EXPECT_TRUE(error.matches(PyExc_ImportError)) << error.what();
  py::object value = error.value();
  EXPECT_EQ(py::str(value).cast<std::string>(), message);
  return value;
}

py::module_ NewModuleWithSpec(const char* name) {
  py::module_ module = py::reinterpret_steal<py::module_>(PyModule_New(name));
  module.attr("__spec__") = Spec(py::str(name));
  return module;
}

void CountingInit(py::module_& m) {
  ++g_init_calls;
  m.attr("registered") = g_init_calls;
}
void ThrowingNativeInit(py::module_& m) {
  m.attr("partly") = true;
  throw std::runtime_error("native failure text");
}
void RaisingPythonInit(py::module_&) { py::eval("int('not a number')"); }

TEST(VersionCheck, AcceptsTheCompiledMinorVersionFollowedByANonDigit) {
  EXPECT_TRUE(quorvel::InterpreterVersionAccepted("3.13.0 (main, May  9 2026) [GCC 12.2.0]", "3.13"));
  EXPECT_TRUE(quorvel::InterpreterVersionAccepted("3.13", "3.13"));
  EXPECT_TRUE(quorvel::InterpreterVersionAccepted("3.13+", "3.13"));
  EXPECT_FALSE(quorvel::InterpreterVersionAccepted("3.12.1 (main)", "3.13"));
  EXPECT_FALSE(quorvel::InterpreterVersionAccepted("3.130.0", "3.13"));
  EXPECT_FALSE(quorvel::InterpreterVersionAccepted("3.1", "3.13"));
  EXPECT_FALSE(quorvel::InterpreterVersionAccepted("", "3.13"));
  EXPECT_FALSE(quorvel::InterpreterVersionAccepted(nullptr, "3.13"));
}

TEST_F(Steps, CreateStepRefusesASpecWithoutAName) {
  EXPECT_EQ(quorvel::CreateCachedModule(Spec(py::ellipsis()).ptr(), &g_def), nullptr);
  TakeImportError("module spec is missing a name");
  EXPECT_EQ(quorvel::CreateCachedModule(Spec(py::none()).ptr(), &g_def), nullptr);
  TakeImportError("module spec is missing a name");
}

TEST_F(Steps, CreateStepPassesOnAnErrorOfTheSpecItself) {
  py::exec("class BadSpec:\n    @property\n    def name(self): raise KeyError('spec')\n");
  py::object spec = py::globals()["BadSpec"]();
  EXPECT_EQ(quorvel::CreateCachedModule(spec.ptr(), &g_def), nullptr);
  py::error_already_set error;
  EXPECT_TRUE(error.matches(PyExc_KeyError));
}

TEST_F(Steps, CreateStepMakesNewModulesUntilOneIsCompleted) {
  auto first = py::reinterpret_steal<py::object>(quorvel::CreateCachedModule(Spec(py::str("quorvel")).ptr(), &g_def));
  auto second = py::reinterpret_steal<py::object>(quorvel::CreateCachedModule(Spec(py::str("quorvel")).ptr(), &g_def));
  ASSERT_TRUE(first && second);
  EXPECT_FALSE(first.is(second));
  EXPECT_EQ(first.attr("__name__").cast<std::string>(), "quorvel");
  // A name that is not a str is converted the way str() does it.
  auto numbered = py::reinterpret_steal<py::object>(quorvel::CreateCachedModule(Spec(py::int_(5)).ptr(), &g_def));
  ASSERT_TRUE(numbered);
  EXPECT_EQ(numbered.attr("__name__").cast<std::string>(), "5");
}

TEST_F(Steps, ExecStepRegistersOnceAndCreateThenHandsBackTheSameModule) {
  py::module_ module = NewModuleWithSpec("quorvel");
  EXPECT_EQ(quorvel::ExecModuleOnce(module.ptr(), &CountingInit), 0);
  EXPECT_EQ(quorvel::ExecModuleOnce(module.ptr(), &CountingInit), 0);
  EXPECT_EQ(g_init_calls, 1);
  // Another module object of the same name: the cached one stands, nothing is registered on this one.
  py::module_ other = NewModuleWithSpec("quorvel");
  EXPECT_EQ(quorvel::ExecModuleOnce(other.ptr(), &CountingInit), 0);
  EXPECT_FALSE(py::hasattr(other, "registered"));
  auto created = py::reinterpret_steal<py::object>(quorvel::CreateCachedModule(Spec(py::str("quorvel")).ptr(), &g_def));
  EXPECT_TRUE(created.is(module));
  EXPECT_TRUE(quorvel::CompletedModule().is(module));
}

TEST_F(Steps, ExecStepPythonErrorBecomesImportErrorWithCauseAndNothingIsCached) {
  py::module_ module = NewModuleWithSpec("quorvel");
  EXPECT_EQ(quorvel::ExecModuleOnce(module.ptr(), &RaisingPythonInit), -1);
  py::object error = TakeImportError("initialization failed");
  EXPECT_TRUE(py::isinstance(error.attr("__cause__"), py::handle(PyExc_ValueError)));
  EXPECT_TRUE(error.attr("__context__").is(error.attr("__cause__")));
  EXPECT_FALSE(quorvel::CachedModule(py::str("quorvel")));
  EXPECT_FALSE(quorvel::CompletedModule());
  // With nothing completed there is no FsWatchAction to convert to, and no stale one either.
  EXPECT_FALSE(quorvel::FsWatchActionToPython(FsWatchAction::MODIFY));
  EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(Steps, ExecStepModuleWithoutSpecFailsWithCause) {
  py::module_ module = py::reinterpret_steal<py::module_>(PyModule_New("quorvel"));
  EXPECT_EQ(quorvel::ExecModuleOnce(module.ptr(), &CountingInit), -1);
  py::object error = TakeImportError("initialization failed");
  EXPECT_TRUE(py::isinstance(error.attr("__cause__"), py::handle(PyExc_AttributeError)));
  EXPECT_EQ(g_init_calls, 0);
}

TEST_F(Steps, ExecStepNativeFailureBecomesImportErrorWithItsOwnText) {
  py::module_ module = NewModuleWithSpec("quorvel");
  EXPECT_EQ(quorvel::ExecModuleOnce(module.ptr(), &ThrowingNativeInit), -1);
  TakeImportError("native failure text");
  EXPECT_TRUE(py::hasattr(module, "partly"));  // what was set stays on the discarded module
  EXPECT_FALSE(quorvel::CachedModule(py::str("quorvel")));
  // The next attempt starts from the beginning.
  py::module_ retry = NewModuleWithSpec("quorvel");
  EXPECT_EQ(quorvel::ExecModuleOnce(retry.ptr(), &CountingInit), 0);
  EXPECT_EQ(g_init_calls, 1);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
