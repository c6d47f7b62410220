// Date-range history via yfinance: kline <symbol> <start> [end] [period] [adj]
#include "common/dates.hpp"
#include "common/log.hpp"
#include "common/python.hpp"
#include "common/vocabulary.hpp"
#include "common/words.hpp"
#include "fallback/modes.hpp"
#include "fallback/normalize.hpp"
#include "fallback/tables.hpp"
#include "fallback/yf_history.hpp"
#include "modes/records.hpp"
#include "modes/requests.hpp"
#include "table/bar_table.hpp"

namespace kline::fallback {

bridge::Task history_yfinance(nb::object self, nb::object rest) {
    const words::Range asked = words::read_range(rest);
    nb::object start_text = dates::text(asked.start);
    nb::object end_text = dates::text(asked.end);
    if (less(asked.end, asked.start)) co_return modes::start_after_end(start_text, end_text);

    nb::object symbol = self.attr("symbol");
    const modes::RangeRequest range(symbol, asked, start_text, end_text);
    co_await bridge::awaited(range.recall());
    if (auto hit = range.cached(modes::kUnlogged)) co_return std::move(*hit);

    nb::object interval = yf_interval(asked.period);
    nb::bool_ adjusted(vocabulary::is_adjusting(asked.adjust));
    log::info("[{}] yfinance history: {} → {}, interval={}, adjust={}", symbol, start_text, end_text,
              interval, adjusted);
    // yfinance's end is exclusive; the range holds its end day, as the gateway's does.
    nb::object hist = co_await bridge::awaited(
        self.attr("_yf_history")(nb::arg("start") = asked.start, nb::arg("end") = dates::day_after(asked.end),
                                 nb::arg("interval") = interval, nb::arg("auto_adjust") = adjusted));
    if (brought_nothing(hist)) co_return modes::no_data_in_range(symbol, start_text, end_text);

    nb::object frame = normalize_yfinance_df(hist);
    nb::object title = nb::str("{} {} {} ~ {} [yfinance]").format(symbol, asked.period, start_text, end_text);
    co_return range.fetched(frame, table::records(frame), title, modes::Order::PrintThenStore, "yfinance");
}

}  // namespace kline::fallback
