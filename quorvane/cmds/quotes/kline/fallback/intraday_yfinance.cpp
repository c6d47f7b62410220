// Today's one-minute curve via yfinance: kline <symbol> intraday
#include "fallback/coroutines.hpp"
#include "front/globals.hpp"
#include "front/log.hpp"
#include "front/python.hpp"
#include "gateway/bar_table.hpp"
#include "gateway/cache.hpp"
#include "gateway/records.hpp"

namespace kline::fallback {

bridge::Task intraday_yfinance(nb::object self) {
    nb::object symbol = self.attr("symbol");
    log::info("[{}] yfinance intraday", symbol);
    nb::object cache = bar_cache::get();
    nb::object key = bar_cache::key("intraday_key", symbol);
    nb::object cached = co_await bridge::awaited(bar_cache::lookup(cache, key));
    if (!cached.is_none()) {
        log::info("[{}] intraday cache hit (yfinance path)", symbol);
        co_return records::intraday(symbol, cached, "cache");
    }

    nb::object hist = co_await bridge::awaited(self.attr("_yf_history")(
        nb::arg("period") = "1d", nb::arg("interval") = "1m", nb::arg("auto_adjust") = false));
    if (hist.is_none() || truthy(hist.attr("empty"))) co_return records::no_intraday_data(symbol);

    nb::object table = normalize_yfinance_df(hist);
    nb::object result_bars = bar_table::records(table);
    // Stored before printing: a failing printer leaves the entry cached.
    cache.attr("set")(key, result_bars);
    global("printFrame")(table, nb::str("{} Intraday [yfinance]").format(symbol));
    co_return records::intraday(symbol, result_bars, "yfinance");
}

}  // namespace kline::fallback
