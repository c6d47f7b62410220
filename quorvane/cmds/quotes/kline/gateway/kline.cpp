// Latest candles from the gateway: kline <symbol> [period] [count] [adj]
#include "bridge/errors.hpp"
#include "common/log.hpp"
#include "common/python.hpp"
#include "common/state.hpp"
#include "common/vocabulary.hpp"
#include "common/words.hpp"
#include "gateway/modes.hpp"
#include "gateway/request.hpp"
#include "modes/records.hpp"
#include "modes/requests.hpp"
#include "table/bar_table.hpp"

namespace kline::gateway {
namespace {

using bridge::steal_or_raise;

constexpr long kDaySeconds = 86400;

// ceil(count * bar_sec * factor / day) in Python's own arithmetic: the
// count is unbounded, so huge values raise what the interpreter raises.
// A gateway counts "N D" of bars under a day as N regular sessions of
// trading time, so for them a day is the contract's own regular session
// (the host knows its length: 6.5 hours for stocks, less for most futures).
nb::object span_days(nb::handle contract, nb::handle count, nb::handle bar_seconds, nb::handle factor) {
    nb::object day = less(bar_seconds, nb::int_(kDaySeconds)) ? global("regular_session_seconds")(contract)
                                                              : nb::object(nb::int_(kDaySeconds));
    nb::object seconds = steal_or_raise(PyNumber_Multiply(count.ptr(), bar_seconds.ptr()));
    nb::object stretched = steal_or_raise(PyNumber_Multiply(seconds.ptr(), factor.ptr()));
    nb::object days = steal_or_raise(PyNumber_TrueDivide(stretched.ptr(), day.ptr()));
    return libraries().math.attr("ceil")(days);
}

}  // namespace

bridge::Task kline(nb::object self, nb::object contract, nb::object rest) {
    const words::Latest asked = words::read_latest(rest);
    nb::object symbol = self.attr("symbol");
    const BarRequest request(asked.period, asked.adjust);
    nb::object bar_seconds = vocabulary::lookup("BAR_SECONDS", request.bar_size, nb::int_(86400));
    nb::object factor = vocabulary::lookup("DURATION_FACTOR", asked.period, nb::float_(1.0));
    nb::object duration = vocabulary::calc_duration(span_days(contract, asked.count, bar_seconds, factor));

    const modes::LatestRequest latest(symbol, asked);
    co_await bridge::awaited(latest.recall());
    if (auto hit = latest.cached("[{}] kline exact cache hit: {} {} {}",
                                 "[{}] kline larger-cache hit: {} {} {}"))
        co_return std::move(*hit);

    log::info("[{}] kline: period={} ({}), count={}, duration={}, what={}", symbol, asked.period,
              request.bar_size, asked.count, duration, request.what);
    nb::object bars = co_await bridge::awaited(request.send(self, contract, nb::str(""), duration));
    if (!truthy(bars)) {
        log::error("[{}] No data returned", symbol);
        co_return modes::no_data(symbol);
    }
    bars = last(bars, asked.count);
    auto [frame, records] = table::from_bars(bars);
    nb::object title =
        nb::str("{} {} ({} bars){}").format(symbol, asked.period, length(bars), request.title_suffix());
    co_return latest.fetched(frame, records, title, modes::Order::PrintThenStore, modes::kSourceNamedByRun);
}

}  // namespace kline::gateway
