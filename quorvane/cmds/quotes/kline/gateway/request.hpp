// The one historical-data request each gateway mode sends.
#pragma once

#include <nanobind/nanobind.h>

#include "common/state.hpp"
#include "common/vocabulary.hpp"

namespace kline::gateway {

namespace nb = nanobind;

// self.ib.reqHistoricalDataAsync(contract, endDateTime=..., durationStr=...,
// barSizeSetting=..., whatToShow=..., useRTH=True, keepUpToDate=False,
// timeout=60): exactly these arguments, in this order.
inline nb::object request_bars(nb::handle self, nb::handle contract, nb::handle end, nb::handle duration,
                               nb::handle bar_size, nb::handle what) {
    return self.attr("ib").attr("reqHistoricalDataAsync")(
        contract, nb::arg("endDateTime") = end, nb::arg("durationStr") = duration,
        nb::arg("barSizeSetting") = bar_size, nb::arg("whatToShow") = what, nb::arg("useRTH") = true,
        nb::arg("keepUpToDate") = false, nb::arg("timeout") = 60);
}

// The bars a period word and an adjustment word ask the gateway for.
struct BarRequest {
    BarRequest(nb::handle period, nb::handle adjust);

    nb::object send(nb::handle self, nb::handle contract, nb::handle end, nb::handle duration) const {
        return request_bars(self, contract, end, duration, bar_size, what);
    }
    const char* title_suffix() const { return adjusted ? " (adjusted)" : ""; }

    bool adjusted;        // split-and-dividend adjusted prices
    nb::str what;         // "ADJUSTED_LAST" or "TRADES"
    nb::object bar_size;  // PERIOD_MAP[period]
};

inline BarRequest::BarRequest(nb::handle period, nb::handle adjust)
    : adjusted(vocabulary::is_adjusting(adjust)),
      what(adjusted ? "ADJUSTED_LAST" : "TRADES"),
      bar_size(global("PERIOD_MAP")[period]) {}

}  // namespace kline::gateway
