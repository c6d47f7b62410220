// The yfinance bar interval / look-back period for a period word; an alias
// is looked up through its canonical word.
#pragma once

#include <nanobind/nanobind.h>

namespace kline::fallback {

namespace nb = nanobind;

nb::object yf_interval(nb::handle period);
nb::object yf_period(nb::handle period);

}  // namespace kline::fallback
