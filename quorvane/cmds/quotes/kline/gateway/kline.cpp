// Latest candles from the gateway: kline <symbol> [period] [count] [adj]
#include "bridge/errors.hpp"
#include "front/globals.hpp"
#include "front/log.hpp"
#include "front/python.hpp"
#include "front/vocabulary.hpp"
#include "front/words.hpp"
#include "gateway/bar_table.hpp"
#include "gateway/cache.hpp"
#include "gateway/coroutines.hpp"
#include "gateway/records.hpp"
#include "gateway/request.hpp"

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
    nb::object day = less(bar_seconds, nb::int_(kDaySeconds))
                         ? global("regular_session_seconds")(contract)
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
    const bool adjusted = vocabulary::is_adjusting(asked.adjust);
    nb::str what(adjusted ? "ADJUSTED_LAST" : "TRADES");
    nb::object bar_size = global("PERIOD_MAP")[asked.period];
    nb::object bar_seconds = vocabulary::lookup("BAR_SECONDS", bar_size, nb::int_(86400));
    nb::object factor = vocabulary::lookup("DURATION_FACTOR", asked.period, nb::float_(1.0));
    nb::object duration =
        vocabulary::calc_duration(span_days(contract, asked.count, bar_seconds, factor));

    nb::object cache = bar_cache::get();
    nb::object key = bar_cache::key("count_key", symbol, asked.period, asked.adjust, asked.count);
    if (nb::object cached = cache.attr("get")(key); !cached.is_none()) {
        log::info("[{}] kline exact cache hit: {} {} {}", symbol, asked.period, asked.count, asked.adjust);
        co_return records::cached(records::latest(symbol, asked.period, asked.adjust, cached));
    }
    nb::object larger = cache.attr("try_larger_count")(symbol, asked.period, asked.adjust, asked.count);
    if (!larger.is_none()) {
        log::info("[{}] kline larger-cache hit: {} {} {}", symbol, asked.period, asked.count, asked.adjust);
        cache.attr("set")(key, larger);
        co_return records::cached(records::latest(symbol, asked.period, asked.adjust, larger));
    }

    log::info("[{}] kline: period={} ({}), count={}, duration={}, what={}", symbol, asked.period,
              bar_size, asked.count, duration, what);
    nb::object bars = co_await bridge::awaited(request_bars(self, contract, nb::str(""), duration, bar_size, what));
    if (!truthy(bars)) {
        log::error("[{}] No data returned", symbol);
        co_return records::no_data(symbol);
    }
    bars = last(bars, asked.count);
    auto [table, result_bars] = bar_table::from_bars(bars);
    nb::object title = nb::str("{} {} ({} bars){}").format(symbol, asked.period, length(bars),
                                                          adjusted ? " (adjusted)" : "");
    global("printFrame")(table, title);
    cache.attr("set")(key, result_bars);
    co_return records::latest(symbol, asked.period, asked.adjust, result_bars);
}

}  // namespace kline::gateway
