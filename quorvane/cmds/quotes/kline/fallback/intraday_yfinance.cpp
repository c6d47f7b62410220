// Today's one-minute curve via yfinance: kline <symbol> intraday
#include "common/log.hpp"
#include "common/python.hpp"
#include "fallback/modes.hpp"
#include "fallback/normalize.hpp"
#include "fallback/yf_history.hpp"
#include "modes/records.hpp"
#include "modes/requests.hpp"
#include "table/bar_table.hpp"

namespace kline::fallback {

bridge::Task intraday_yfinance(nb::object self) {
    nb::object symbol = self.attr("symbol");
    log::info("[{}] yfinance intraday", symbol);
    const modes::IntradayRequest curve(symbol);
    co_await bridge::awaited(curve.recall());
    if (auto hit = curve.cached("[{}] intraday cache hit (yfinance path)")) co_return std::move(*hit);

    nb::object hist = co_await bridge::awaited(self.attr("_yf_history")(
        nb::arg("period") = "1d", nb::arg("interval") = "1m", nb::arg("auto_adjust") = false));
    if (brought_nothing(hist)) co_return modes::no_intraday_data(symbol);

    nb::object frame = normalize_yfinance_df(hist);
    nb::object title = nb::str("{} Intraday [yfinance]").format(symbol);
    // Stored before printing: a failing printer leaves the entry cached.
    co_return curve.fetched(frame, table::records(frame), title, modes::Order::StoreThenPrint, "yfinance");
}

}  // namespace kline::fallback
