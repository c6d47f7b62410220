// The seam to the yfinance library.
#pragma once

#include "bridge/task.hpp"
#include "common/python.hpp"

namespace kline::fallback {

namespace nb = nanobind;

// Downloads one history frame for the command's symbol on a worker thread;
// None when the download failed (which is logged, never raised).
bridge::Task yf_history(nb::object self, nb::dict kwargs);

// True when a download brought no bars: it failed, or its frame is empty.
inline bool brought_nothing(nb::handle hist) { return hist.is_none() || truthy(hist.attr("empty")); }

}  // namespace kline::fallback
