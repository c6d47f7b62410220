// Raising Python exceptions from C++ and telling ordinary errors apart.
//
// Every failure inside the extension travels as nb::python_error, so the
// Python exception object (type, message, traceback, cause) crosses C++
// frames unchanged and is restored as the very same object.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

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

// Sets the pending Python error (if any) aside for the life of the scope and
// raises it again at scope exit, so cleanup that runs Python code neither
// sees it nor loses it. Python 3.12 and later hand the error over as one
// exception object; 3.11's (type, value, traceback) triple, deprecated since,
// is normalised into that one object here.
class SavedError {
   public:
    SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        error_ = nb::steal(PyErr_GetRaisedException());
#else
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (type == nullptr) return;
        PyErr_NormalizeException(&type, &value, &traceback);
        nb::object owned_type = nb::steal(type), owned_traceback = nb::steal(traceback);
        error_ = nb::steal(value);
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
#endif
    }
    ~SavedError() {
        if (!error_.is_valid()) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(error_.release().ptr());
#else
        PyObject* value = error_.release().ptr();
        PyErr_Restore(Py_NewRef(Py_TYPE(value)), value, PyException_GetTraceback(value));
#endif
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

    // The exception instance set aside, or an invalid handle when none was.
    nb::handle value() const noexcept { return error_; }
    // Keeps the exception: nothing is raised again at scope exit.
    nb::object take() noexcept { return std::move(error_); }

   private:
    nb::object error_;
};

// Ordinary errors are the Exception family. Cancellation, KeyboardInterrupt
// and SystemExit derive from BaseException only and must always pass.
inline bool is_ordinary(const nb::python_error& error) noexcept { return error.matches(PyExc_Exception); }

}  // namespace kline::bridge
