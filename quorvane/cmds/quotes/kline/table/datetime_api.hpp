// datetime.h keeps the datetime C API's table in a static variable of each
// file that includes it: each such file imports the table before using it.
#pragma once

#include <nanobind/nanobind.h>

#include <datetime.h>

namespace kline::table {

static inline void import_datetime_api() {
    if (PyDateTimeAPI != nullptr) return;
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) throw nanobind::python_error();
}

}  // namespace kline::table
