// The command's vocabulary: period words, bar sizes, default counts, span
// factors, the public-data interval and look-back tables, and the gateway's
// duration text. The tables are plain Python dicts and a set, built once at
// import and never changed.
#pragma once

#include <nanobind/nanobind.h>

namespace kline::vocabulary {

namespace nb = nanobind;

// Adds PERIOD_MAP, ADJUST_KEYWORDS, BAR_SECONDS, PERIOD_DEFAULT_COUNT,
// DURATION_FACTOR, YF_PERIOD, YF_INTERVAL, _is_period and _calc_duration.
void define(nb::module_ module);

// True when `word` (which must be text) is a period word.
bool is_period(nb::handle word);

// True when `word` selects split-and-dividend adjusted prices.
bool is_adjusting(nb::handle word);

// The gateway's duration text for a span of `back_days` (a real number).
nb::object calc_duration(nb::handle back_days);

// `table[word]`, or `fallback` when the table has no such key.
nb::object lookup(const char* table, nb::handle word, nb::handle fallback);

}  // namespace kline::vocabulary
