// pybind11 2.10 lets a Python object of a bound class exist before, or without, its __init__ having run
// (`WatchFilter.__new__(WatchFilter)`, or a subclass whose __init__ sets a field before calling the base's), and
// then hands out uninitialised memory as its native value: touching a std::wstring field of such an object
// crashes the interpreter. The classes here get their native value, with its holder, as soon as the Python
// object is made; their one __init__ only refuses arguments. (It is not a pybind11 function: pybind11 treats
// every __init__ as a constructor and skips it, arguments unchecked, on an object whose value exists.)
#pragma once

#include <pybind11/pybind11.h>

#include <typeinfo>

namespace quorvel {

namespace detail {

struct ValueFactory {
  void* (*make)();            // a value-initialised native value
  void (*destroy)(void* value);
};

// Makes `cls` (registered for `type`) build its native value in tp_new, and gives it a matching `__new__` and
// an `__init__(self)` that takes no argument.
void ConstructOnNew(pybind11::handle cls, const std::type_info& type, ValueFactory factory);

}  // namespace detail

// Gives `cls` its one `__init__(self)` and makes new instances hold a value-initialised T from the start.
template <typename T, typename... Options>
void DefNoArgumentInit(pybind11::class_<T, Options...>& cls) {
  detail::ConstructOnNew(cls, typeid(T),
                         {[]() -> void* { return new T(); }, [](void* value) { delete static_cast<T*>(value); }});
}

}  // namespace quorvel
