// The seam to the yfinance library.
#pragma once

#include "bridge/task.hpp"

namespace kline::fallback {

namespace nb = nanobind;

// Downloads one history frame for the command's symbol on a worker thread;
// None when the download failed (which is logged, never raised).
bridge::Task yf_history(nb::object self, nb::dict kwargs);

}  // namespace kline::fallback
