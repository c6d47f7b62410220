// Bar tables and bar records, built column by column.
//
// The results equal the plain pandas pipeline
//     table = _strip_tz(pandas.DataFrame(bars).convert_dtypes())
//     records = table.to_dict(orient="records")
// (same columns, dtypes, values and value types), but skip its per-row
// object conversions, which dominate at thousands of bars. Input the fast
// paths do not recognise goes through the plain pipeline instead.
#pragma once

#include <nanobind/nanobind.h>

namespace kline::table {

namespace nb = nanobind;

struct BarTable {
    nb::object frame;    // the bar table, zone stripped
    nb::object records;  // frame.to_dict(orient="records")
};

// The bar table of a list of ib_async bar objects, and its records.
BarTable from_bars(nb::handle bars);

// `frame.to_dict(orient="records")`.
nb::object records(nb::handle frame);

}  // namespace kline::table
