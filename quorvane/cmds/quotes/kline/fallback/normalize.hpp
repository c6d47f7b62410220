// yfinance's history frame, reshaped into the bar table's columns.
#pragma once

#include <nanobind/nanobind.h>

namespace kline::fallback {

namespace nb = nanobind;

nb::object normalize_yfinance_df(nb::handle hist);

}  // namespace kline::fallback
