// Date-range history from the gateway: kline <symbol> <start> [end] [period] [adj]
#include "bridge/errors.hpp"
#include "common/dates.hpp"
#include "common/log.hpp"
#include "common/python.hpp"
#include "common/vocabulary.hpp"
#include "common/words.hpp"
#include "gateway/bar_days.hpp"
#include "gateway/modes.hpp"
#include "gateway/request.hpp"
#include "modes/records.hpp"
#include "modes/requests.hpp"
#include "table/bar_table.hpp"

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
// A host connection that serves a continuous future's range itself (from the
// dated months) takes the range's end instead of years up to today.
bool needs_open_end(nb::handle ib, nb::handle contract, bool adjusted) {
    if (adjusted) return true;
    nb::object type = attr_or_none(contract, "secType");
    const bool continuous = !type.is_none() && truthy(steal_or_raise(PyObject_RichCompare(
                                                   type.ptr(), nb::str("CONTFUT").ptr(), Py_EQ)));
    return continuous && !truthy(attr_or_none(ib, "serves_continuous_ranges"));
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
        co_return modes::start_after_end(start_text, end_text);
    }

    const BarRequest request(asked.period, asked.adjust);
    const bool open_end = needs_open_end(self.attr("ib"), contract, request.adjusted);
    nb::object end_time = open_end ? nb::object(nb::str("")) : asked.end;
    nb::object duration = vocabulary::calc_duration(
        days_spanned(asked.start, open_end ? dates::today() : asked.end));
    log::info("[{}] history: {} → {}, period={} ({}), duration={}, what={}", symbol, asked.start, asked.end,
              asked.period, request.bar_size, duration, request.what);

    const modes::RangeRequest range(symbol, asked, start_text, end_text);
    co_await bridge::awaited(range.recall());
    if (auto hit = range.cached("[{}] history cache hit: {}~{} {} {}")) co_return std::move(*hit);

    nb::object bars = co_await bridge::awaited(request.send(self, contract, end_time, duration));
    // "N D" counts sessions back from the end, spans beyond a year go in
    // whole years, and an open-ended request runs past end: keep the range.
    if (truthy(bars)) bars = bars_dated_between(bars, asked.start, asked.end);
    if (!truthy(bars)) {
        log::error("[{}] No data in range {} → {}", symbol, asked.start, asked.end);
        co_return modes::no_data_in_range(symbol, start_text, end_text);
    }

    auto [frame, records] = table::from_bars(bars);
    nb::object title =
        nb::str("{} {} {} ~ {}{}").format(symbol, asked.period, start_text, end_text, request.title_suffix());
    co_return range.fetched(frame, records, title, modes::Order::PrintThenStore, modes::kSourceNamedByRun);
}

}  // namespace kline::gateway
