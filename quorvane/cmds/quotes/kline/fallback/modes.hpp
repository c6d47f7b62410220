// The public-data fallback: the same three modes served through yfinance,
// sharing the bar cache (and its keys) with the gateway route.
#pragma once

#include "bridge/task.hpp"

namespace kline::fallback {

namespace nb = nanobind;

// Downloads one history frame for the command's symbol on a worker thread;
// None when the download failed (which is logged, never raised).
bridge::Task yf_history(nb::object self, nb::dict kwargs);

// Chooses the fallback mode from the first word, as `run` does.
bridge::Task run_yfinance(nb::object self, nb::object rest);

bridge::Task kline_yfinance(nb::object self, nb::object rest);
bridge::Task history_yfinance(nb::object self, nb::object rest);
bridge::Task intraday_yfinance(nb::object self);

// Reshapes yfinance's history frame into the bar table's columns.
nb::object normalize_yfinance_df(nb::handle hist);

// The yfinance bar interval / look-back period for a period word; an alias
// is looked up through its canonical word.
nb::object yf_interval(nb::handle period);
nb::object yf_period(nb::handle period);

}  // namespace kline::fallback
