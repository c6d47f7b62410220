// Date-range history via yfinance: kline <symbol> <start> [end] [period] [adj]
#include "fallback/coroutines.hpp"
#include "front/dates.hpp"
#include "front/globals.hpp"
#include "front/log.hpp"
#include "front/python.hpp"
#include "front/vocabulary.hpp"
#include "front/words.hpp"
#include "gateway/bar_table.hpp"
#include "gateway/cache.hpp"
#include "gateway/records.hpp"

namespace kline::fallback {

bridge::Task history_yfinance(nb::object self, nb::object rest) {
    const words::Range asked = words::read_range(rest);
    nb::object start_text = dates::text(asked.start);
    nb::object end_text = dates::text(asked.end);
    if (less(asked.end, asked.start)) co_return records::start_after_end(start_text, end_text);

    nb::object symbol = self.attr("symbol");
    nb::object cache = bar_cache::get();
    nb::object key = bar_cache::key("range_key", symbol, asked.period, asked.adjust, start_text, end_text);
    if (nb::object cached = cache.attr("get")(key); !cached.is_none())
        co_return records::cached(
            records::range(symbol, asked.period, asked.adjust, start_text, end_text, cached));

    nb::object interval = yf_interval(asked.period);
    nb::bool_ adjusted(vocabulary::is_adjusting(asked.adjust));
    log::info("[{}] yfinance history: {} → {}, interval={}, adjust={}", symbol, start_text, end_text,
              interval, adjusted);
    // yfinance's end is exclusive; the range holds its end day, as the gateway's does.
    nb::object hist = co_await bridge::awaited(self.attr("_yf_history")(
        nb::arg("start") = asked.start, nb::arg("end") = dates::day_after(asked.end),
        nb::arg("interval") = interval, nb::arg("auto_adjust") = adjusted));
    if (hist.is_none() || truthy(hist.attr("empty")))
        co_return records::no_data_in_range(symbol, start_text, end_text);

    nb::object table = normalize_yfinance_df(hist);
    nb::object result_bars = bar_table::records(table);
    nb::object title = nb::str("{} {} {} ~ {} [yfinance]").format(symbol, asked.period, start_text, end_text);
    global("printFrame")(table, title);
    cache.attr("set")(key, result_bars);
    co_return records::fetched(
        records::range(symbol, asked.period, asked.adjust, start_text, end_text, result_bars), "yfinance");
}

}  // namespace kline::fallback
