// Result records shared by a mode's gateway and fallback routes, with their
// keys in the order the host sees them.
#pragma once

#include <nanobind/nanobind.h>

#include "common/python.hpp"
#include "common/usage_errors.hpp"

namespace kline::modes {

namespace nb = nanobind;

// Latest candles: "count" is the number of records carried.
inline nb::dict latest_record(nb::handle symbol, nb::handle period, nb::handle adjust, nb::handle bars) {
    nb::dict record;
    record["symbol"] = symbol;
    record["period"] = period;
    record["count"] = length(bars);
    record["adjust"] = adjust;
    record["bars"] = bars;
    return record;
}

inline nb::dict range_record(nb::handle symbol, nb::handle period, nb::handle adjust, nb::handle start_text,
                             nb::handle end_text, nb::handle bars) {
    nb::dict record;
    record["symbol"] = symbol;
    record["period"] = period;
    record["start"] = start_text;
    record["end"] = end_text;
    record["adjust"] = adjust;
    record["bars"] = bars;
    return record;
}

// Intraday records always name their source (fetched() adds it).
inline nb::dict intraday_record(nb::handle symbol, nb::handle bars) {
    nb::dict record;
    record["symbol"] = symbol;
    record["type"] = "intraday";
    record["bars"] = bars;
    return record;
}

inline nb::dict cached(nb::dict record) {
    record["cached"] = true;
    return record;
}

inline nb::dict fetched(nb::dict record, const char* source) {
    record["source"] = source;
    return record;
}

inline nb::dict failure(const char* text, nb::handle symbol) {
    nb::dict record;
    record["error"] = text;
    record["symbol"] = symbol;
    return record;
}

inline nb::dict no_data(nb::handle symbol) { return failure("No data returned", symbol); }
inline nb::dict no_intraday_data(nb::handle symbol) { return failure("No intraday data", symbol); }

inline nb::dict no_data_in_range(nb::handle symbol, nb::handle start_text, nb::handle end_text) {
    nb::dict record = failure("No data in range", symbol);
    record["start"] = start_text;
    record["end"] = end_text;
    return record;
}

// No symbol: this record names only the range.
inline nb::dict start_after_end(nb::handle start_text, nb::handle end_text) {
    nb::dict record;
    record["error"] = usage_errors::start_after_end;
    record["start"] = start_text;
    record["end"] = end_text;
    return record;
}

}  // namespace kline::modes
