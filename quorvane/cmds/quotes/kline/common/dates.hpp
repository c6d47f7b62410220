// Date words ("today", "yesterday", YYYY-MM-DD), calendar dates, and the
// step that drops the time zone from a bar table's `date` column.
#pragma once

#include <nanobind/nanobind.h>

namespace kline::dates {

namespace nb = nanobind;

// Adds _is_date, _parse_date and _strip_tz to the module.
void define(nb::module_ module);

bool is_date(nb::handle word);           // `word` must be text
nb::object parse_date(nb::handle word);  // -> datetime.date; bad dates raise
nb::object today();                      // the local clock's date
nb::object add_days(nb::handle date, long days);
nb::object day_after(nb::handle date);  // the last date stays itself
nb::object strip_tz(nb::handle frame);  // returns `frame` itself
nb::object text(nb::handle date);       // YYYY-MM-DD

}  // namespace kline::dates
