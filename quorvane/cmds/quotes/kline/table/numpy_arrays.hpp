// numpy arrays seen from C++, through public interfaces only: new arrays
// written in place, and existing arrays read in place.
#pragma once

#include <nanobind/nanobind.h>

#include <cstring>
#include <utility>

#include "bridge/errors.hpp"
#include "common/state.hpp"

namespace kline::table {

namespace nb = nanobind;

// A new array's values, written row by row. The array is a view on a
// bytearray of the right size, so nothing is copied to build it.
template <typename T>
class ArrayBuilder {
   public:
    ArrayBuilder(Py_ssize_t size, const char* dtype)
        : dtype_(dtype),
          bytes_(bridge::steal_or_raise(
              PyByteArray_FromStringAndSize(nullptr, size * static_cast<Py_ssize_t>(sizeof(T))))) {}

    void set(Py_ssize_t row, T value) {
        std::memcpy(PyByteArray_AS_STRING(bytes_.ptr()) + row * sizeof(T), &value, sizeof value);
    }

    nb::object array() const { return state().numpy.frombuffer(bytes_, nb::arg("dtype") = dtype_); }

    // Rows [begin, end) as an array viewing the same memory.
    nb::object rows(Py_ssize_t begin, Py_ssize_t end) const {
        return state().numpy.frombuffer(bytes_, nb::arg("dtype") = dtype_, nb::arg("count") = end - begin,
                                        nb::arg("offset") = begin * static_cast<Py_ssize_t>(sizeof(T)));
    }

   private:
    const char* dtype_;
    nb::object bytes_;
};

// A one-dimensional array's values, read in place while the view lives.
class ArrayView {
   public:
    explicit ArrayView(nb::object array) : array_(std::move(array)) {
        bridge::check(PyObject_GetBuffer(array_.ptr(), &view_, PyBUF_STRIDES | PyBUF_FORMAT) == 0);
    }
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ~ArrayView() { PyBuffer_Release(&view_); }

    template <typename T>
    T at(Py_ssize_t row) const {
        T value;
        std::memcpy(&value, static_cast<const char*>(view_.buf) + row * view_.strides[0], sizeof value);
        return value;
    }

   private:
    nb::object array_;
    Py_buffer view_{};
};

}  // namespace kline::table
