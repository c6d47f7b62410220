// The three modes served from the IBKR gateway: latest candles, date-range
// history and today's one-minute curve. Each reads the bar cache first, sends
// at most one historical-data request, prints and caches what comes back,
// and returns a result record. Empty answers become error records;
// exceptions are left to `run`, which falls back to public data.
#pragma once

#include "bridge/task.hpp"

namespace kline::gateway {

namespace nb = nanobind;

bridge::Task kline(nb::object self, nb::object contract, nb::object rest);
bridge::Task history(nb::object self, nb::object contract, nb::object rest);
bridge::Task intraday(nb::object self, nb::object contract);

}  // namespace kline::gateway
