// Conversions of the watcher's types that pybind11 2.10 does not make the way the module's API needs:
//   FsWatchAction        <-> the member of the module's enum.IntEnum `FsWatchAction` (rendered "FsWatchAction");
//   std::vector<WatchFilter> <- any sequence but str/bytes/bytearray, or a set, frozenset, generator, dict view,
//                           map or zip object; every element a WatchFilter (or subclass) instance, copied.
// Every file that binds or calls with these types must include this header before using them, so that all
// translation units see the same casters.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <vector>

#include "fs_watcher/watch_types.h"

namespace quorvel {

// The member of this interpreter's FsWatchAction with the value of `action`; an empty object, with no Python
// error set, when the module has not completed its import in this interpreter or no member has that value.
pybind11::object FsWatchActionToPython(FsWatchAction action);

// True, with `out` set, when `src` is a member of this interpreter's FsWatchAction; false otherwise (no Python
// error set).
bool FsWatchActionFromPython(pybind11::handle src, FsWatchAction& out);

// Fills `out` with copies of the filters in `src` and returns true; returns false, with no Python error set, when
// `src` is not an accepted container or holds anything but WatchFilter instances. Sequences are walked as they
// are and refused at their first bad element; the other accepted containers are first turned into a tuple.
// Without `convert` only sequences are accepted. An error raised by `src` itself while it is iterated (a generator that
// raises) propagates as pybind11::error_already_set.
bool WatchFiltersFromPython(pybind11::handle src, bool convert, std::vector<WatchFilter>& out);

}  // namespace quorvel

namespace pybind11 {
namespace detail {

template <>
struct type_caster<FsWatchAction> {
 public:
  PYBIND11_TYPE_CASTER(FsWatchAction, const_name("FsWatchAction"));

  bool load(handle src, bool /*convert*/) { return quorvel::FsWatchActionFromPython(src, value); }

  // A null handle (no Python error) makes pybind11 report a cast_error to its caller.
  static handle cast(FsWatchAction src, return_value_policy /*policy*/, handle /*parent*/) {
    return quorvel::FsWatchActionToPython(src).release();
  }
};

template <>
struct type_caster<std::vector<WatchFilter>> {
 public:
  PYBIND11_TYPE_CASTER(std::vector<WatchFilter>,
                       const_name("collections.abc.Sequence[") + make_caster<WatchFilter>::name + const_name("]"));

  bool load(handle src, bool convert) { return quorvel::WatchFiltersFromPython(src, convert, value); }
};

}  // namespace detail
}  // namespace pybind11
