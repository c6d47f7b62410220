// Today's one-minute curve via yfinance: kline <symbol> intraday
#include "common/log.hpp"
#include "common/python.hpp"
#include "common/state.hpp"
#include "fallback/modes.hpp"
#include "fallback/normalize.hpp"
#include "modes/cache.hpp"
#include "modes/records.hpp"
#include "table/bar_table.hpp"

namespace kline::fallback {

bridge::Task intraday_yfinance(nb::object self) {
    nb::object symbol = self.attr("symbol");
    log::info("[{}] yfinance intraday", symbol);
    nb::object cache = modes::bar_cache();
    nb::object key = modes::cache_key("intraday_key", symbol);
    if (nb::object cached = cache.attr("get")(key); !cached.is_none()) {
        log::info("[{}] intraday cache hit (yfinance path)", symbol);
        co_return modes::intraday_record(symbol, cached, "cache");
    }

    nb::object hist = co_await bridge::awaited(self.attr("_yf_history")(
        nb::arg("period") = "1d", nb::arg("interval") = "1m", nb::arg("auto_adjust") = false));
    if (hist.is_none() || truthy(hist.attr("empty"))) co_return modes::no_intraday_data(symbol);

    nb::object table = normalize_yfinance_df(hist);
    nb::object result_bars = table::records(table);
    // Stored before printing: a failing printer leaves the entry cached.
    cache.attr("set")(key, result_bars);
    global("printFrame")(table, nb::str("{} Intraday [yfinance]").format(symbol));
    co_return modes::intraday_record(symbol, result_bars, "yfinance");
}

}  // namespace kline::fallback
