// Date-range history from the gateway: kline <symbol> <start> [end] [period] [adj]
#include <optional>

#include "bridge/errors.hpp"
#include "front/dates.hpp"
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

bool before(nb::handle a, nb::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    bridge::check(result >= 0);
    return result == 1;
}

nb::object whole_days(nb::handle from, nb::handle to) {
    nb::object span = steal_or_raise(PyNumber_Subtract(to.ptr(), from.ptr()));
    return span.attr("days");
}

// The calendar date of a bar: its own date, or a time stamp's date in the
// stamp's own zone.
nb::object bar_day(nb::handle bar) {
    nb::object stamp = bar.attr("date");
    if (is_instance(stamp, libraries().datetime.attr("datetime"))) return stamp.attr("date")();
    return stamp;
}

// The bars dated from `first` to `last` (either bound optional), in order.
nb::object bars_between(nb::handle bars, nb::handle first, nb::handle last) {
    nb::list kept;
    for (nb::handle bar : bars) {
        nb::object day = bar_day(bar);
        if (first.is_valid() && before(day, first)) continue;
        if (last.is_valid() && before(last, day)) continue;
        kept.append(bar);
    }
    return kept;
}

// The gateway refuses an end date for adjusted prices and for continuous
// futures; those requests run up to now and are cut to the range afterwards.
bool needs_open_end(nb::handle contract, bool adjusted) {
    if (adjusted) return true;
    nb::object type = attr_or_none(contract, "secType");
    return !type.is_none() && truthy(steal_or_raise(
        PyObject_RichCompare(type.ptr(), nb::str("CONTFUT").ptr(), Py_EQ)));
}

}  // namespace

bridge::Task history(nb::object self, nb::object contract, nb::object rest) {
    const words::Range asked = words::read_range(rest);
    nb::object start_text = dates::text(asked.start);
    nb::object end_text = dates::text(asked.end);
    nb::object symbol = self.attr("symbol");

    if (!before(asked.start, asked.end)) {
        log::error("Start must be before end: {} >= {}", asked.start, asked.end);
        co_return records::start_not_before_end(start_text, end_text);
    }

    const bool adjusted = vocabulary::is_adjusting(asked.adjust);
    nb::str what(adjusted ? "ADJUSTED_LAST" : "TRADES");
    nb::object bar_size = global("PERIOD_MAP")[asked.period];
    nb::object back_days = whole_days(asked.start, asked.end);
    const bool open_end = needs_open_end(contract, adjusted);
    nb::object end_time = asked.end;
    if (open_end) {
        // The span from start to today, at least one day.
        end_time = nb::str("");
        back_days = whole_days(asked.start, dates::today());
        if (nb::cast<long long>(back_days) < 1) back_days = nb::int_(1);
    }
    nb::object duration = vocabulary::calc_duration(back_days);
    log::info("[{}] history: {} → {}, period={} ({}), duration={}, what={}", symbol, asked.start,
              asked.end, asked.period, bar_size, duration, what);

    nb::object cache = bar_cache::get();
    nb::object key = bar_cache::key("range_key", symbol, asked.period, asked.adjust, start_text,
                                end_text);
    if (nb::object cached = cache.attr("get")(key); !cached.is_none()) {
        log::info("[{}] history cache hit: {}~{} {} {}", symbol, asked.start, asked.end, asked.period,
                  asked.adjust);
        co_return records::cached(records::range(symbol, asked.period, asked.adjust, start_text,
                                                 end_text, cached));
    }

    nb::object bars =
        co_await bridge::awaited(request_bars(self, contract, end_time, duration, bar_size, what));
    // A span beyond a year is asked for in whole years, so the answer can
    // reach back well before start; an open-ended request also runs past end.
    if (truthy(bars) && open_end)
        bars = bars_between(bars, asked.start, asked.end);
    else if (truthy(bars) && nb::cast<long long>(whole_days(asked.start, asked.end)) > 365)
        bars = bars_between(bars, asked.start, nb::handle());
    if (!truthy(bars)) {
        log::error("[{}] No data in range {} → {}", symbol, asked.start, asked.end);
        co_return records::no_data_in_range(symbol, start_text, end_text);
    }

    nb::object table = bar_table::from_bars(bars);
    nb::object title = nb::str("{} {} {} ~ {}{}").format(symbol, asked.period, start_text,
                                                        end_text, adjusted ? " (adjusted)" : "");
    global("printFrame")(table, title);
    nb::object result_bars = bar_table::records(table);
    cache.attr("set")(key, result_bars);
    co_return records::range(symbol, asked.period, asked.adjust, start_text, end_text, result_bars);
}

}  // namespace kline::gateway
