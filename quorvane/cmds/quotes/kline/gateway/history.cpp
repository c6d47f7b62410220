// Date-range history from the gateway: kline <symbol> <start> [end] [period] [adj]
#include "bridge/errors.hpp"
#include "front/dates.hpp"
#include "front/globals.hpp"
#include "front/log.hpp"
#include "front/python.hpp"
#include "front/vocabulary.hpp"
#include "front/words.hpp"
#include "gateway/bar_days.hpp"
#include "gateway/bar_table.hpp"
#include "gateway/cache.hpp"
#include "gateway/coroutines.hpp"
#include "gateway/records.hpp"
#include "gateway/request.hpp"

namespace kline::gateway {
namespace {

using bridge::steal_or_raise;

nb::object whole_days(nb::handle from, nb::handle to) {
    nb::object span = steal_or_raise(PyNumber_Subtract(to.ptr(), from.ptr()));
    return span.attr("days");
}

// The range holds its first and its last day, so it spans one day more
// than their difference; a gateway counts "N D" back in trading sessions,
// so N calendar days always cover the range's sessions.
nb::object days_spanned(nb::handle first, nb::handle last) {
    nb::object days = steal_or_raise(PyNumber_Add(whole_days(first, last).ptr(), nb::int_(1).ptr()));
    return less(days, nb::int_(1)) ? nb::int_(1) : days;
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

    // The end day is part of the range, so a start on the end day is that one day.
    if (less(asked.end, asked.start)) {
        log::error("Start must be before end: {} > {}", asked.start, asked.end);
        co_return records::start_after_end(start_text, end_text);
    }

    const bool adjusted = vocabulary::is_adjusting(asked.adjust);
    nb::str what(adjusted ? "ADJUSTED_LAST" : "TRADES");
    nb::object bar_size = global("PERIOD_MAP")[asked.period];
    const bool open_end = needs_open_end(contract, adjusted);
    nb::object end_time = open_end ? nb::object(nb::str("")) : asked.end;
    nb::object duration = vocabulary::calc_duration(
        days_spanned(asked.start, open_end ? dates::today() : asked.end));
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
    // "N D" counts sessions back from the end, spans beyond a year go in
    // whole years, and an open-ended request runs past end: keep the range.
    if (truthy(bars)) bars = bars_dated_between(bars, asked.start, asked.end);
    if (!truthy(bars)) {
        log::error("[{}] No data in range {} → {}", symbol, asked.start, asked.end);
        co_return records::no_data_in_range(symbol, start_text, end_text);
    }

    auto [table, result_bars] = bar_table::from_bars(bars);
    nb::object title = nb::str("{} {} {} ~ {}{}").format(symbol, asked.period, start_text,
                                                        end_text, adjusted ? " (adjusted)" : "");
    global("printFrame")(table, title);
    cache.attr("set")(key, result_bars);
    co_return records::range(symbol, asked.period, asked.adjust, start_text, end_text, result_bars);
}

}  // namespace kline::gateway
