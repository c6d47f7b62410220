// Raising Python exceptions from C++ and telling ordinary errors apart.
//
// Every failure inside the extension travels as nb::python_error, so the
// Python exception object (type, message, traceback, cause) crosses C++
// frames unchanged and is restored as the very same object.
#pragma once

#include <nanobind/nanobind.h>

namespace kline::bridge {

namespace nb = nanobind;

// Sets `type(message)` as the current Python error and throws it.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

// printf-style variant of raise(); supports PyUnicode_FromFormat's codes.
template <typename... Args>
[[noreturn]] void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw nb::python_error();
}

// Throws the pending Python error when `ok` is false (C API convention).
inline void check(bool ok) {
    if (!ok) throw nb::python_error();
}

// Takes ownership of a new reference returned by the C API, throwing the
// pending error when it is null.
inline nb::object steal_or_raise(PyObject* result) {
    if (result == nullptr) throw nb::python_error();
    return nb::steal(result);
}

// Ordinary errors are the Exception family. Cancellation, KeyboardInterrupt
// and SystemExit derive from BaseException only and must always pass.
inline bool is_ordinary(const nb::python_error& error) noexcept {
    return error.matches(PyExc_Exception);
}

}  // namespace kline::bridge
