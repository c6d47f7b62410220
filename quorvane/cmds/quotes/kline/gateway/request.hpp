// The one historical-data request each gateway mode sends.
#pragma once

#include <nanobind/nanobind.h>

namespace kline::gateway {

namespace nb = nanobind;

// self.ib.reqHistoricalDataAsync(contract, endDateTime=..., durationStr=...,
// barSizeSetting=..., whatToShow=..., useRTH=True, keepUpToDate=False,
// timeout=60): exactly these arguments, in this order.
inline nb::object request_bars(nb::handle self, nb::handle contract, nb::handle end,
                               nb::handle duration, nb::handle bar_size, nb::handle what) {
    return self.attr("ib").attr("reqHistoricalDataAsync")(
        contract, nb::arg("endDateTime") = end, nb::arg("durationStr") = duration,
        nb::arg("barSizeSetting") = bar_size, nb::arg("whatToShow") = what,
        nb::arg("useRTH") = true, nb::arg("keepUpToDate") = false, nb::arg("timeout") = 60);
}

}  // namespace kline::gateway
