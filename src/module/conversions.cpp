#include "module/conversions.h"

#include <cstdint>

#include "module/int_enum.h"

namespace py = pybind11;

namespace quorvel {

namespace {

// The four members, looked up once per interpreter (the worker hands one out for every event; calling the enum
// class costs a Python-level call). Guarded by the GIL. Forgotten, not released, when the interpreter finalises:
// its objects go with it.
struct ActionMembers {
  bool valid = false;
  PyObject* members[4] = {};  // MODIFY, CREATE, DELETE, RENAME
};
ActionMembers action_members;

void ForgetActionMembers() { action_members = ActionMembers{}; }

int MemberIndex(FsWatchAction action) {
  switch (action) {
    case FsWatchAction::MODIFY:
      return 0;
    case FsWatchAction::CREATE:
      return 1;
    case FsWatchAction::DELETE:
      return 2;
    case FsWatchAction::RENAME:
      return 3;
  }
  return -1;
}

py::object CallEnum(const py::object& cls, std::int32_t value) {
  PyObject* member = PyObject_CallOneArg(cls.ptr(), py::int_(value).ptr());
  if (member == nullptr) PyErr_Clear();  // not a member's value
  return py::reinterpret_steal<py::object>(member);
}

}  // namespace

py::object FsWatchActionToPython(FsWatchAction action) {
  const int index = MemberIndex(action);
  if (action_members.valid && index >= 0) return py::reinterpret_borrow<py::object>(action_members.members[index]);
  py::object cls = FindIntEnum("FsWatchAction");
  if (!cls) return py::object();
  if (index < 0) return CallEnum(cls, static_cast<std::int32_t>(action));
  ActionMembers found;
  for (FsWatchAction each : {FsWatchAction::MODIFY, FsWatchAction::CREATE, FsWatchAction::DELETE, FsWatchAction::RENAME}) {
    py::object member = CallEnum(cls, static_cast<std::int32_t>(each));
    if (!member) return CallEnum(cls, static_cast<std::int32_t>(action));
    found.members[MemberIndex(each)] = member.release().ptr();
  }
  // Kept only when it can be forgotten at finalisation (Py_AtExit has a few slots).
  if (Py_AtExit(&ForgetActionMembers) == 0) {
    found.valid = true;
    action_members = found;
  } else {
    for (PyObject* member : found.members) Py_DECREF(member);
    return CallEnum(cls, static_cast<std::int32_t>(action));
  }
  return py::reinterpret_borrow<py::object>(action_members.members[index]);
}

bool FsWatchActionFromPython(py::handle src, FsWatchAction& out) {
  py::object cls = FindIntEnum("FsWatchAction");
  if (!cls || !src) return false;
  const int is_member = PyObject_IsInstance(src.ptr(), cls.ptr());
  if (is_member != 1) {
    if (is_member < 0) PyErr_Clear();
    return false;
  }
  const long value = PyLong_AsLong(src.ptr());
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = static_cast<FsWatchAction>(value);
  return true;
}

namespace {

// Containers that are not sequences but are taken as their tuple, as tuple(src) would make it.
bool IsAcceptedIterable(PyObject* src) {
  return PyGen_Check(src) || PyAnySet_Check(src) || PyDictKeys_Check(src) || PyDictValues_Check(src) ||
         PyDictItems_Check(src) || PyObject_TypeCheck(src, &PyMap_Type) || PyObject_TypeCheck(src, &PyZip_Type);
}

}  // namespace

bool WatchFiltersFromPython(py::handle src, bool convert, std::vector<WatchFilter>& out) {
  PyObject* obj = src.ptr();
  if (obj == nullptr || obj == Py_None) return false;
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) return false;
  py::object items;
  if (PySequence_Check(obj)) {
    items = py::reinterpret_borrow<py::object>(src);  // walked in place: a bad element stops the walk at once
  } else if (convert && IsAcceptedIterable(obj)) {
    items = py::reinterpret_steal<py::object>(PySequence_Tuple(obj));
    if (!items) throw py::error_already_set();
  } else {
    return false;
  }

  auto iterator = py::reinterpret_steal<py::object>(PyObject_GetIter(items.ptr()));
  if (!iterator) throw py::error_already_set();
  std::vector<WatchFilter> filters;
  while (auto item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()))) {
    py::detail::make_caster<WatchFilter> caster;
    if (!caster.load(item, false)) return false;
    try {
      filters.push_back(py::detail::cast_op<const WatchFilter&>(caster));
    } catch (const py::reference_cast_error&) {
      return false;  // no native value to copy
    }
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  out = std::move(filters);
  return true;
}

}  // namespace quorvel
