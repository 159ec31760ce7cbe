// The module's own conversions inside an embedded interpreter where the module has been registered: the
// FsWatchAction IntEnum caster, the filter-list caster, and image_blob views over real pixel bytes.
#include "game_screenshoter/window_types.h"
#include "module/conversions.h"
#include "module/registration.h"

#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace py::literals;

namespace {

// One interpreter with the module registered as `quorvel`, the way an import does it.
class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override {
    interpreter_ = std::make_unique<py::scoped_interpreter>();
    py::module_ module = py::reinterpret_steal<py::module_>(PyModule_New("quorvel"));
    module.attr("__spec__") = py::module_::import("importlib.machinery").attr("ModuleSpec")("quorvel", py::none());
    ASSERT_EQ(pybind11_exec_quorvel(module.ptr()), 0);
    py::module_::import("sys").attr("modules")["quorvel"] = module;
  }
  void TearDown() override { interpreter_.reset(); }

 private:
  std::unique_ptr<py::scoped_interpreter> interpreter_;
};

// Test-side functions taking the converted types; they are not part of the module.
py::dict Scope() {
  py::dict scope;
  scope["quorvel"] = py::module_::import("quorvel");
  scope["count_filters"] = py::cpp_function(
      [](const std::vector<WatchFilter>& filters) {
        py::list out;
        for (const auto& f : filters) out.append(py::make_tuple(f.pattern, f.recursive_depth));
        return out;
      },
      py::arg("filters"));
  scope["strict_filters"] = py::cpp_function([](const std::vector<WatchFilter>& filters) { return filters.size(); },
                                             py::arg("filters").noconvert());
  scope["action_value"] = py::cpp_function([](FsWatchAction action) { return static_cast<int>(action); },
                                           py::arg("action"));
  return scope;
}

bool Raises(const char* expression, py::handle exception_type, py::dict scope) {
  try {
    py::eval(expression, scope);
  } catch (py::error_already_set& e) {
    return e.matches(exception_type);
  }
  return false;
}

TEST(FsWatchActionCaster, NativeValuesBecomeTheModulesMembers) {
  py::module_ quorvel = py::module_::import("quorvel");
  EXPECT_TRUE(py::cast(FsWatchAction::MODIFY).is(quorvel.attr("MODIFY")));
  EXPECT_TRUE(py::cast(FsWatchAction::CREATE).is(quorvel.attr("FsWatchAction").attr("CREATE")));
  EXPECT_TRUE(py::cast(FsWatchAction::DELETE).is(quorvel.attr("DELETE")));
  EXPECT_TRUE(py::cast(FsWatchAction::RENAME).is(quorvel.attr("RENAME")));
  // As an argument of a Python call (how a watch handler receives it).
  py::object identity = py::eval("lambda action: action");
  EXPECT_TRUE(identity(FsWatchAction::RENAME).is(quorvel.attr("RENAME")));
  // A value that is no member cannot cross: no object, and no Python error left behind; a call fails with a
  // cast error before Python is called.
  EXPECT_FALSE(py::cast(static_cast<FsWatchAction>(3)));
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_THROW(identity(static_cast<FsWatchAction>(3)), py::cast_error);
  EXPECT_FALSE(PyErr_Occurred());
}

TEST(FsWatchActionCaster, TakesOnlyMembersAndRendersItsName) {
  py::dict scope = Scope();
  EXPECT_EQ(py::eval("action_value(quorvel.CREATE)", scope).cast<int>(), 4);
  EXPECT_EQ(py::eval("action_value(action=quorvel.FsWatchAction.RENAME)", scope).cast<int>(), 16);
  for (const char* bad : {"action_value(4)", "action_value(True)", "action_value(None)", "action_value('MODIFY')",
                          "action_value(quorvel.FsWatchAction)", "action_value(__import__('enum').IntEnum('X', 'A'))"}) {
    EXPECT_TRUE(Raises(bad, PyExc_TypeError, scope)) << bad;
  }
  EXPECT_NE(py::str(scope["action_value"].attr("__doc__")).cast<std::string>().find("(action: FsWatchAction) -> int"),
            std::string::npos);
}

TEST(FilterListCaster, AcceptsSequencesAndTheListedIterables) {
  py::dict scope = Scope();
  py::exec(R"(
f = quorvel.WatchFilter(); f.pattern = "*.txt"; f.recursive_depth = 2
g = quorvel.WatchFilter(); g.pattern = "b*"
class Sub(quorvel.WatchFilter):
    pass
s = Sub(); s.pattern = "sub"
class Seq:
    def __len__(self): return 2
    def __getitem__(self, i):
        if i >= 2: raise IndexError(i)
        return (f, g)[i]
expected = [("*.txt", 2), ("b", 0)]
expected[1] = ("b*", 0)
results = {
    "list": count_filters([f, g]),
    "tuple": count_filters((f, g)),
    "generator": count_filters(x for x in (f, g)),
    "map": count_filters(map(lambda x: x, [f, g])),
    "dict keys": count_filters({f: 1, g: 2}.keys()),
    "dict values": count_filters({1: f, 2: g}.values()),
    "custom sequence": count_filters(Seq()),
    "keyword": count_filters(filters=[f, g]),
}
single = {
    "set": count_filters({f}),
    "frozenset": count_filters(frozenset([f])),
    "zip": count_filters(zip()),  # zip and dict items yield tuples: only empty ones hold no non-filter
    "dict items": count_filters({}.items()),
    "subclass": count_filters([s]),
    "empty": count_filters([]),
}
)",
           scope);
  py::dict results = scope["results"];
  for (auto item : results) {
    EXPECT_TRUE(item.second.equal(scope["expected"])) << py::str(item.first).cast<std::string>() << ": "
                                                      << py::repr(item.second).cast<std::string>();
  }
  EXPECT_EQ(py::repr(scope["single"]).cast<std::string>(),
            "{'set': [('*.txt', 2)], 'frozenset': [('*.txt', 2)], 'zip': [], 'dict items': [], 'subclass': [('sub', 0)], "
            "'empty': []}");
}

TEST(FilterListCaster, RefusesEverythingElseWithTypeError) {
  py::dict scope = Scope();
  py::exec("f = quorvel.WatchFilter()", scope);
  for (const char* bad : {"count_filters('*.txt')", "count_filters(b'ab')", "count_filters(bytearray(b'ab'))",
                          "count_filters(None)", "count_filters(f)", "count_filters(3)", "count_filters({f: 1})",
                          "count_filters([f, 1])", "count_filters([f, None])", "count_filters((quorvel.WindowRect(),))",
                          "count_filters(zip([f], [f]))", "count_filters({1: f}.items())", "count_filters(iter([f]))",
                          "count_filters(memoryview(b'a'))", "count_filters(range(2))",
                          "count_filters(range(10**15))"}) {  // refused at its first element, not made whole first
    EXPECT_TRUE(Raises(bad, PyExc_TypeError, scope)) << bad;
  }
  // Without conversion only real sequences pass.
  EXPECT_EQ(py::eval("strict_filters([f, f])", scope).cast<int>(), 2);
  EXPECT_TRUE(Raises("strict_filters({f})", PyExc_TypeError, scope));
  // The container's own error is the caller's to see.
  py::exec("def failing():\n    yield f\n    raise ValueError('from the generator')\n", scope);
  EXPECT_TRUE(Raises("count_filters(failing())", PyExc_ValueError, scope));
  EXPECT_NE(py::str(scope["count_filters"].attr("__doc__")).cast<std::string>().find(
                "filters: collections.abc.Sequence[quorvel.WatchFilter]"),
            std::string::npos);
}

TEST(FilterListCaster, CopiesTheFilters) {
  py::dict scope = Scope();
  py::exec("f = quorvel.WatchFilter(); f.pattern = 'before'", scope);
  auto filters = py::eval("[f]", scope).cast<std::vector<WatchFilter>>();
  py::exec("f.pattern = 'after'; f.recursive_depth = 9", scope);
  ASSERT_EQ(filters.size(), 1u);
  EXPECT_EQ(filters[0].pattern, L"before");
  EXPECT_EQ(filters[0].recursive_depth, 0);
}

// A screenshot made natively and moved into Python, as a capture returns it.
py::object ScreenshotWithBytes(std::size_t size, const std::uint8_t** data) {
  WindowScreenshot shot;
  shot.image_blob.resize(size);
  for (std::size_t i = 0; i < size; ++i) shot.image_blob[i] = static_cast<std::uint8_t>(i * 7);
  shot.width = 16;
  shot.row_pitch = 64;
  shot.height = static_cast<std::int32_t>(size / 64);
  *data = shot.image_blob.data();
  py::object object = py::cast(std::move(shot));
  EXPECT_EQ(object.cast<WindowScreenshot&>().image_blob.data(), *data);  // moved, not copied
  return object;
}

TEST(ImageBlob, ViewsTheScreenshotsOwnBytes) {
  const std::uint8_t* data = nullptr;
  py::object shot = ScreenshotWithBytes(64 * 32, &data);
  py::object view = shot.attr("image_blob");
  Py_buffer buffer;
  ASSERT_EQ(PyObject_GetBuffer(view.ptr(), &buffer, PyBUF_FULL_RO), 0);
  EXPECT_EQ(buffer.buf, data);
  EXPECT_EQ(buffer.len, 64 * 32);
  EXPECT_TRUE(buffer.readonly);
  EXPECT_STREQ(buffer.format, "B");
  PyBuffer_Release(&buffer);
  EXPECT_EQ(PyObject_GetBuffer(view.ptr(), &buffer, PyBUF_WRITABLE), -1);
  py::error_already_set refused;
  EXPECT_TRUE(refused.matches(PyExc_BufferError));

  py::dict scope = Scope();
  scope["shot"] = shot;
  EXPECT_TRUE(py::eval("shot.image_blob[5] == 35 and len(shot.image_blob) == shot.row_pitch * shot.height", scope)
                  .cast<bool>());
  EXPECT_TRUE(Raises("shot.image_blob.__setitem__(0, 1)", PyExc_TypeError, scope));
}

TEST(ImageBlob, DerivedViewsOutliveTheScreenshotAndTheFirstView) {
  const std::uint8_t* data = nullptr;
  py::dict scope = Scope();
  scope["shot"] = ScreenshotWithBytes(4096, &data);
  py::exec(R"(
import gc, weakref
expected = bytes((i * 7) % 256 for i in range(4096))
alive = weakref.ref(shot)
view = shot.image_blob
tail = view[4000:]
words = view.cast("I")
again = memoryview(view)[::2]
del shot, view
gc.collect()
still_alive = alive() is not None
ok = tail.tobytes() == expected[4000:] and words.tobytes() == expected and again.tobytes() == expected[::2]
del tail, words
gc.collect()
alive_with_one = alive() is not None
del again
gc.collect()
gone = alive() is None
)",
           scope);
  EXPECT_TRUE(scope["still_alive"].cast<bool>());
  EXPECT_TRUE(scope["ok"].cast<bool>());
  EXPECT_TRUE(scope["alive_with_one"].cast<bool>());
  EXPECT_TRUE(scope["gone"].cast<bool>());
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new Interpreter);
  return RUN_ALL_TESTS();
}
