// Latest candles via yfinance: kline <symbol> [period] [count] [adj]
#include "fallback/coroutines.hpp"
#include "front/globals.hpp"
#include "front/log.hpp"
#include "front/python.hpp"
#include "front/vocabulary.hpp"
#include "front/words.hpp"
#include "gateway/bar_table.hpp"
#include "gateway/cache.hpp"
#include "gateway/records.hpp"

namespace kline::fallback {

bridge::Task kline_yfinance(nb::object self, nb::object rest) {
    const words::Latest asked = words::read_latest(rest);
    nb::object symbol = self.attr("symbol");

    nb::object cache = bar_cache::get();
    nb::object key = bar_cache::key("count_key", symbol, asked.period, asked.adjust, asked.count);
    nb::object cached = co_await bridge::awaited(bar_cache::lookup(cache, key));
    if (!cached.is_none())
        co_return records::cached(records::latest(symbol, asked.period, asked.adjust, cached));
    nb::object larger = cache.attr("try_larger_count")(symbol, asked.period, asked.adjust, asked.count);
    if (!larger.is_none()) {
        cache.attr("set")(key, larger);
        co_return records::cached(records::latest(symbol, asked.period, asked.adjust, larger));
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
        co_return records::no_data(symbol);
    }

    nb::object kept = last(normalize_yfinance_df(hist).attr("iloc"), asked.count);
    nb::object result_bars = bar_table::records(kept);
    nb::object title = nb::str("{} {} ({} bars) [yfinance]").format(symbol, asked.period, length(result_bars));
    global("printFrame")(kept, title);
    cache.attr("set")(key, result_bars);
    co_return records::fetched(records::latest(symbol, asked.period, asked.adjust, result_bars), "yfinance");
}

}  // namespace kline::fallback
