// The interpreter-version rule of the entry point. Plain C strings only: it runs before anything may assume
// that the interpreter is the one the module was built for.
#pragma once

namespace quorvel {

// True when `runtime_version` (as Py_GetVersion gives it) begins with `compiled_version` ("3.13") followed by
// anything but a digit, so "3.13.1 (main, ...)" and "3.13" pass while "3.12.1" and "3.130" do not.
bool InterpreterVersionAccepted(const char* runtime_version, const char* compiled_version);

}  // namespace quorvel
