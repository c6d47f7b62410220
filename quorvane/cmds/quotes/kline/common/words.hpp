// The command-word grammar shared by the gateway and fallback routes.
//
// Words are read by position; each optional word is tried once, in a fixed
// order, and words left over are ignored. Words are kept exactly as typed.
#pragma once

#include <nanobind/nanobind.h>

namespace kline::words {

namespace nb = nanobind;

// Refuses anything but a list proper (no subclass, no other sequence).
void require_list(nb::handle rest, const char* function);

// kline <symbol> [period] [count] [adj]
struct Latest {
    nb::object period;  // raw period word, default "day"
    nb::object count;   // a Python int: unbounded, possibly 0 or negative
    nb::object adjust;  // raw adjustment word, default "none"
};
Latest read_latest(nb::handle rest);

// kline <symbol> <start> [end] [period] [adj]
struct Range {
    nb::object start;  // datetime.date
    nb::object end;    // datetime.date, default today
    nb::object period;
    nb::object adjust;
};
Range read_range(nb::handle rest);

// Which of the three modes a word list asks for: "intraday" first (exact,
// case-sensitive), then a date word, otherwise latest candles.
enum class Mode { Intraday, History, Latest };
Mode choose_mode(nb::handle rest);

}  // namespace kline::words
