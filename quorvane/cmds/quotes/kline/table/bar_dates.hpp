// The `date` column of a bar table, read from the bars' date values.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>

#include "table/numpy_arrays.hpp"
#include "table/zone_offsets.hpp"

namespace kline::table {

namespace nb = nanobind;

// pandas keeps calendar dates as objects. Datetimes that share one zone it
// stores as instants, found with each value's own utcoffset() (so a DST fold
// or gap resolves as the datetime itself resolves it); stripping the zone
// then reads each instant back as wall-clock time. This column holds the
// dates, or the stripped wall-clock times as datetime64[us] values.
class DateColumn {
   public:
    explicit DateColumn(Py_ssize_t size);

    // Takes row `row`'s date (borrowed); false when the column has no fast
    // form (values of other types, zones pandas might treat otherwise).
    bool add(Py_ssize_t row, PyObject* date);

    // Calendar dates: their records hold the very date objects.
    bool holds_calendar_dates() const { return !times_.has_value(); }

    // The column data for the frame's constructor: the list of calendar
    // dates, or a DatetimeArray of naive wall-clock times.
    nb::object column() const;

    // Times only: rows [begin, end) as Timestamp objects, in a list.
    nb::object time_stamps(Py_ssize_t begin, Py_ssize_t end) const;

   private:
    bool start(PyObject* date);
    bool add_time(Py_ssize_t row, PyObject* date);

    Py_ssize_t size_;
    nb::list calendar_dates_;
    PyTypeObject* first_type_ = nullptr;
    nb::object zone_ = nb::none();
    std::optional<ZoneOffsets> offsets_;
    std::optional<ArrayBuilder<int64_t>> times_;  // while every date is a datetime
};

}  // namespace kline::table
