// Latest candles via yfinance: kline <symbol> [period] [count] [adj]
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

bridge::Task kline_yfinance(nb::object self, nb::object rest) {
    const words::Latest asked = words::read_latest(rest);
    nb::object symbol = self.attr("symbol");
    const modes::LatestRequest latest(symbol, asked);
    co_await bridge::awaited(latest.recall());
    if (auto hit = latest.cached(modes::kUnlogged, modes::kUnlogged)) co_return std::move(*hit);

    nb::object period = yf_period(asked.period);
    nb::object interval = yf_interval(asked.period);
    nb::bool_ adjusted(vocabulary::is_adjusting(asked.adjust));
    log::info("[{}] yfinance kline: period={}, interval={}, count={}, adjust={}", symbol, period, interval,
              asked.count, adjusted);
    nb::object hist = co_await bridge::awaited(self.attr("_yf_history")(
        nb::arg("period") = period, nb::arg("interval") = interval, nb::arg("auto_adjust") = adjusted));
    if (brought_nothing(hist)) {
        log::error("[{}] yfinance returned no data", symbol);
        co_return modes::no_data(symbol);
    }

    nb::object kept = last(normalize_yfinance_df(hist).attr("iloc"), asked.count);
    nb::object records = table::records(kept);
    nb::object title = nb::str("{} {} ({} bars) [yfinance]").format(symbol, asked.period, length(records));
    co_return latest.fetched(kept, records, title, modes::Order::PrintThenStore, "yfinance");
}

}  // namespace kline::fallback
