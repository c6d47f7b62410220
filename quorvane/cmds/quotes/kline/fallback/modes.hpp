// The public-data fallback: the same three modes served through yfinance,
// sharing the bar cache (and its keys) with the gateway route.
#pragma once

#include "bridge/task.hpp"

namespace kline::fallback {

namespace nb = nanobind;

// Chooses the fallback mode from the first word, as `run` does.
bridge::Task run_yfinance(nb::object self, nb::object rest);

bridge::Task kline_yfinance(nb::object self, nb::object rest);
bridge::Task history_yfinance(nb::object self, nb::object rest);
bridge::Task intraday_yfinance(nb::object self);

}  // namespace kline::fallback
