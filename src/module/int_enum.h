// Python enum.IntEnum classes for native enums. pybind11 2.10 only makes its own enum type, which is not an
// IntEnum; these are made by Python's enum module itself and found again through the module that holds them.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

namespace quorvel {

struct IntEnumMember {
  const char* name;
  long long value;
};

// Makes the IntEnum `name` with `members` in the given order (no doc strings, __module__ = scope's __name__),
// sets it as the scope's attribute `name` and, with `export_values`, each member as a scope attribute too.
pybind11::object AddIntEnum(pybind11::module_& scope, const char* name, std::initializer_list<IntEnumMember> members,
                            bool export_values);

// The IntEnum class `name` of this interpreter's completed module, or an empty object when the module has not
// completed its import in this interpreter or holds no class of that name. Leaves no Python error set.
pybind11::object FindIntEnum(const char* name);

}  // namespace quorvel
