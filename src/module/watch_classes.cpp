// The watch types Python builds and receives: the FsWatchAction IntEnum and the WatchFilter record.
#include <pybind11/pybind11.h>

#include "fs_watcher/watch_types.h"
#include "module/constructed_on_new.h"
#include "module/conversions.h"
#include "module/int_enum.h"
#include "module/registration.h"

namespace py = pybind11;

namespace quorvel {

namespace {
constexpr long long Value(FsWatchAction action) { return static_cast<long long>(action); }
}  // namespace

void RegisterFsWatchAction(py::module_& m) {
  AddIntEnum(m, "FsWatchAction",
             {{"MODIFY", Value(FsWatchAction::MODIFY)},
              {"CREATE", Value(FsWatchAction::CREATE)},
              {"DELETE", Value(FsWatchAction::DELETE)},
              {"RENAME", Value(FsWatchAction::RENAME)}},
             /*export_values=*/true);
}

void RegisterWatchFilter(py::module_& m) {
  py::class_<WatchFilter> cls(m, "WatchFilter");
  DefNoArgumentInit(cls);
  cls.def_readwrite("pattern", &WatchFilter::pattern)
      .def_readwrite("recursive_depth", &WatchFilter::recursive_depth);
}

}  // namespace quorvel
