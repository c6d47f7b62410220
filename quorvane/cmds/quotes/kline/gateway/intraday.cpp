// Today's one-minute curve from the gateway: kline <symbol> intraday
#include "common/log.hpp"
#include "common/python.hpp"
#include "gateway/bar_days.hpp"
#include "gateway/modes.hpp"
#include "gateway/request.hpp"
#include "modes/records.hpp"
#include "modes/requests.hpp"
#include "table/bar_table.hpp"

namespace kline::gateway {

bridge::Task intraday(nb::object self, nb::object contract) {
    nb::object symbol = self.attr("symbol");
    log::info("[{}] intraday", symbol);
    const modes::IntradayRequest curve(symbol);
    co_await bridge::awaited(curve.recall());
    if (auto hit = curve.cached("[{}] intraday cache hit")) co_return std::move(*hit);

    nb::object bars = co_await bridge::awaited(
        request_bars(self, contract, nb::str(""), nb::str("1 D"), nb::str("1 min"), nb::str("TRADES")));
    if (!truthy(bars)) {
        log::error("[{}] No intraday data", symbol);
        co_return modes::no_intraday_data(symbol);
    }
    // "1 D" is a session of trading time back from now, so in mid-session it
    // starts in the previous one: the curve is the newest session's alone.
    bars = bars_of_newest_day(bars);
    auto [frame, records] = table::from_bars(bars);
    co_return curve.fetched(frame, records, nb::str("{} Intraday").format(symbol),
                            modes::Order::PrintThenStore, "ibkr");
}

}  // namespace kline::gateway
