// The `date` column of a bar table, read from the bars' date values.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>

#include "gateway/numpy_arrays.hpp"

namespace kline::bar_table {

namespace nb = nanobind;

// The dates as given, and as datetime64[us] values while they allow it.
// pandas keeps calendar dates as objects, and stores datetimes that share
// one zone as UTC instants, computed with each value's own utcoffset() (so
// a DST fold or gap resolves as the datetime itself resolves it).
class DateColumn {
public:
    explicit DateColumn(Py_ssize_t size);

    // Takes `value` into row `row`; false when the column has no fast form
    // (values of other types, zones pandas might treat otherwise).
    bool add(Py_ssize_t row, nb::object value);

    // The column data for the frame's constructor.
    nb::object column() const;

private:
    bool start(PyObject* date);
    bool add_instant(Py_ssize_t row, PyObject* date);

    nb::list objects_;
    PyTypeObject* first_type_ = nullptr;
    PyObject* zone_ = Py_None;  // kept alive by the first date in objects_
    std::optional<numpy_arrays::Builder<int64_t>> instants_;  // while every date is a datetime
};

}  // namespace kline::bar_table
