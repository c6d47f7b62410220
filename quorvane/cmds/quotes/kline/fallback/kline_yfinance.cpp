// Latest candles via yfinance: kline <symbol> [period] [count] [adj]
#include "common/log.hpp"
#include "common/python.hpp"
#include "common/state.hpp"
#include "common/vocabulary.hpp"
#include "common/words.hpp"
#include "fallback/modes.hpp"
#include "fallback/normalize.hpp"
#include "fallback/tables.hpp"
#include "modes/cache.hpp"
#include "modes/records.hpp"
#include "table/bar_table.hpp"

namespace kline::fallback {

bridge::Task kline_yfinance(nb::object self, nb::object rest) {
    const words::Latest asked = words::read_latest(rest);
    nb::object symbol = self.attr("symbol");

    nb::object cache = modes::bar_cache();
    nb::object key = modes::cache_key("count_key", symbol, asked.period, asked.adjust, asked.count);
    if (nb::object cached = cache.attr("get")(key); !cached.is_none())
        co_return modes::cached(modes::latest_record(symbol, asked.period, asked.adjust, cached));
    nb::object larger = cache.attr("try_larger_count")(symbol, asked.period, asked.adjust, asked.count);
    if (!larger.is_none()) {
        cache.attr("set")(key, larger);
        co_return modes::cached(modes::latest_record(symbol, asked.period, asked.adjust, larger));
    }

    nb::object period = yf_period(asked.period);
    nb::object interval = yf_interval(asked.period);
    nb::bool_ adjusted(vocabulary::is_adjusting(asked.adjust));
    log::info("[{}] yfinance kline: period={}, interval={}, count={}, adjust={}", symbol, period,
              interval, asked.count, adjusted);
    nb::object hist = co_await bridge::awaited(self.attr("_yf_history")(
        nb::arg("period") = period, nb::arg("interval") = interval, nb::arg("auto_adjust") = adjusted));
    if (hist.is_none() || truthy(hist.attr("empty"))) {
        log::error("[{}] yfinance returned no data", symbol);
        co_return modes::no_data(symbol);
    }

    nb::object kept = last(normalize_yfinance_df(hist).attr("iloc"), asked.count);
    nb::object result_bars = table::records(kept);
    nb::object title = nb::str("{} {} ({} bars) [yfinance]").format(symbol, asked.period, length(result_bars));
    global("printFrame")(kept, title);
    cache.attr("set")(key, result_bars);
    co_return modes::fetched(modes::latest_record(symbol, asked.period, asked.adjust, result_bars), "yfinance");
}

}  // namespace kline::fallback
