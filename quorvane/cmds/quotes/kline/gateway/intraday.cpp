// Today's one-minute curve from the gateway: kline <symbol> intraday
#include "common/log.hpp"
#include "common/python.hpp"
#include "common/state.hpp"
#include "gateway/bar_days.hpp"
#include "gateway/modes.hpp"
#include "gateway/request.hpp"
#include "modes/cache.hpp"
#include "modes/records.hpp"
#include "table/bar_table.hpp"

namespace kline::gateway {

bridge::Task intraday(nb::object self, nb::object contract) {
    nb::object symbol = self.attr("symbol");
    log::info("[{}] intraday", symbol);
    nb::object cache = modes::bar_cache();
    nb::object key = modes::cache_key("intraday_key", symbol);
    if (nb::object cached = cache.attr("get")(key); !cached.is_none()) {
        log::info("[{}] intraday cache hit", symbol);
        co_return modes::intraday_record(symbol, cached, "cache");
    }

    nb::object bars = co_await bridge::awaited(request_bars(
        self, contract, nb::str(""), nb::str("1 D"), nb::str("1 min"), nb::str("TRADES")));
    if (!truthy(bars)) {
        log::error("[{}] No intraday data", symbol);
        co_return modes::no_intraday_data(symbol);
    }
    // "1 D" is a session of trading time back from now, so in mid-session it
    // starts in the previous one: the curve is the newest session's alone.
    bars = bars_of_newest_day(bars);
    auto [table, result_bars] = table::from_bars(bars);
    global("printFrame")(table, nb::str("{} Intraday").format(symbol));
    cache.attr("set")(key, result_bars);
    co_return modes::intraday_record(symbol, result_bars, "ibkr");
}

}  // namespace kline::gateway
