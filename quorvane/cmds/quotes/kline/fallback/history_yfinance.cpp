// Date-range history via yfinance: kline <symbol> <start> [end] [period] [adj]
#include "common/dates.hpp"
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

bridge::Task history_yfinance(nb::object self, nb::object rest) {
    const words::Range asked = words::read_range(rest);
    nb::object start_text = dates::text(asked.start);
    nb::object end_text = dates::text(asked.end);
    if (less(asked.end, asked.start)) co_return modes::start_after_end(start_text, end_text);

    nb::object symbol = self.attr("symbol");
    nb::object cache = modes::bar_cache();
    nb::object key = modes::cache_key("range_key", symbol, asked.period, asked.adjust, start_text, end_text);
    if (nb::object cached = cache.attr("get")(key); !cached.is_none())
        co_return modes::cached(
            modes::range_record(symbol, asked.period, asked.adjust, start_text, end_text, cached));

    nb::object interval = yf_interval(asked.period);
    nb::bool_ adjusted(vocabulary::is_adjusting(asked.adjust));
    log::info("[{}] yfinance history: {} → {}, interval={}, adjust={}", symbol, start_text, end_text,
              interval, adjusted);
    // yfinance's end is exclusive; the range holds its end day, as the gateway's does.
    nb::object hist = co_await bridge::awaited(self.attr("_yf_history")(
        nb::arg("start") = asked.start, nb::arg("end") = dates::day_after(asked.end),
        nb::arg("interval") = interval, nb::arg("auto_adjust") = adjusted));
    if (hist.is_none() || truthy(hist.attr("empty")))
        co_return modes::no_data_in_range(symbol, start_text, end_text);

    nb::object table = normalize_yfinance_df(hist);
    nb::object result_bars = table::records(table);
    nb::object title = nb::str("{} {} {} ~ {} [yfinance]").format(symbol, asked.period, start_text, end_text);
    global("printFrame")(table, title);
    cache.attr("set")(key, result_bars);
    co_return modes::fetched(
        modes::range_record(symbol, asked.period, asked.adjust, start_text, end_text, result_bars), "yfinance");
}

}  // namespace kline::fallback
