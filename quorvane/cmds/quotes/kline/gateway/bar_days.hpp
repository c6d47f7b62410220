// Cutting a gateway answer by calendar day. A bar's day is its own date, or
// a time stamp's date in the stamp's own zone. The gateway delivers bars
// oldest first, so a cut only trims the two ends of the answer.
#pragma once

#include <nanobind/nanobind.h>

namespace kline::gateway {

namespace nb = nanobind;

// The bars dated from `first` to `last`, both included, in their order.
nb::object bars_dated_between(nb::handle bars, nb::handle first, nb::handle last);

// The bars dated on the day of the newest bar (the last one); `bars` must not be empty.
nb::object bars_of_newest_day(nb::handle bars);

}  // namespace kline::gateway
