// Small conveniences for the Python operations the command code repeats.
#pragma once

#include <nanobind/nanobind.h>

#include "bridge/errors.hpp"

namespace kline {

namespace nb = nanobind;

inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    bridge::check(result >= 0);
    return result == 1;
}

inline nb::object length(nb::handle value) {
    Py_ssize_t size = PyObject_Length(value.ptr());
    bridge::check(size >= 0);
    return nb::int_(size);
}

inline bool contains(nb::handle container, const char* key) {
    int result = PySequence_Contains(container.ptr(), nb::str(key).ptr());
    bridge::check(result >= 0);
    return result == 1;
}

inline bool is_instance(nb::handle value, nb::handle type) {
    int result = PyObject_IsInstance(value.ptr(), type.ptr());
    bridge::check(result >= 0);
    return result == 1;
}

// a < b, with Python's comparison rules.
inline bool less(nb::handle a, nb::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    bridge::check(result >= 0);
    return result == 1;
}

// getattr(obj, name, None)
inline nb::object attr_or_none(nb::handle object, const char* name) {
    PyObject* value = PyObject_GetAttrString(object.ptr(), name);
    if (value != nullptr) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::none();
}

// sequence[-count:] with Python's slice rules (count may be any int).
inline nb::object last(nb::handle sequence, nb::handle count) {
    nb::object start = bridge::steal_or_raise(PyNumber_Negative(count.ptr()));
    nb::object slice = bridge::steal_or_raise(PySlice_New(start.ptr(), nullptr, nullptr));
    return bridge::steal_or_raise(PyObject_GetItem(sequence.ptr(), slice.ptr()));
}

}  // namespace kline
