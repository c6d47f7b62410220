// Today's one-minute curve from the gateway: kline <symbol> intraday
#include "front/globals.hpp"
#include "front/log.hpp"
#include "front/python.hpp"
#include "gateway/bar_days.hpp"
#include "gateway/bar_table.hpp"
#include "gateway/cache.hpp"
#include "gateway/coroutines.hpp"
#include "gateway/request.hpp"
#include "gateway/records.hpp"

namespace kline::gateway {

bridge::Task intraday(nb::object self, nb::object contract) {
    nb::object symbol = self.attr("symbol");
    log::info("[{}] intraday", symbol);
    nb::object cache = bar_cache::get();
    nb::object key = bar_cache::key("intraday_key", symbol);
    nb::object cached = co_await bridge::awaited(bar_cache::lookup(cache, key));
    if (!cached.is_none()) {
        log::info("[{}] intraday cache hit", symbol);
        co_return records::intraday(symbol, cached, "cache");
    }

    nb::object bars = co_await bridge::awaited(request_bars(
        self, contract, nb::str(""), nb::str("1 D"), nb::str("1 min"), nb::str("TRADES")));
    if (!truthy(bars)) {
        log::error("[{}] No intraday data", symbol);
        co_return records::no_intraday_data(symbol);
    }
    // "1 D" is a session of trading time back from now, so in mid-session it
    // starts in the previous one: the curve is the newest session's alone.
    bars = bars_of_newest_day(bars);
    auto [table, result_bars] = bar_table::from_bars(bars);
    global("printFrame")(table, nb::str("{} Intraday").format(symbol));
    cache.attr("set")(key, result_bars);
    co_return records::intraday(symbol, result_bars, "ibkr");
}

}  // namespace kline::gateway
