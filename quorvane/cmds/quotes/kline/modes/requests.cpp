#include "modes/requests.hpp"

#include "common/log.hpp"
#include "modes/records.hpp"

namespace kline::modes {

nb::object CacheEntry::get() const { return cache_.attr("get")(key_); }

nb::object CacheEntry::recall() const {
    if (nb::hasattr(cache_, "recall")) return cache_.attr("recall")(key_);
    nb::object done = libraries().asyncio.attr("get_running_loop")().attr("create_future")();
    done.attr("set_result")(nb::none());
    return done;
}

void CacheEntry::set(nb::handle bars) const { cache_.attr("set")(key_, bars); }

void CacheEntry::keep(nb::handle frame, nb::handle records, nb::handle title, Order order) const {
    if (order == Order::StoreThenPrint) set(records);
    global("printFrame")(frame, title);
    if (order == Order::PrintThenStore) set(records);
}

nb::dict Request::fetched(nb::handle frame, nb::handle records, nb::handle title, Order order,
                          const char* source) const {
    entry_.keep(frame, records, title, order);
    nb::dict answer = record(records);
    return source ? modes::fetched(std::move(answer), source) : answer;
}

LatestRequest::LatestRequest(nb::handle symbol, const words::Latest& asked)
    : Request(symbol, "count_key", asked.period, asked.adjust, asked.count), asked_(asked) {}

std::optional<nb::dict> LatestRequest::cached(const char* exact_hit_line, const char* larger_hit_line) const {
    if (nb::object bars = entry_.get(); !bars.is_none()) {
        if (exact_hit_line) log::info(exact_hit_line, symbol_, asked_.period, asked_.count, asked_.adjust);
        return modes::cached(record(bars));
    }
    nb::object larger = entry_.cache().attr("try_larger_count")(symbol_, asked_.period, asked_.adjust,
                                                                asked_.count);
    if (larger.is_none()) return std::nullopt;
    if (larger_hit_line) log::info(larger_hit_line, symbol_, asked_.period, asked_.count, asked_.adjust);
    entry_.set(larger);
    return modes::cached(record(larger));
}

nb::dict LatestRequest::record(nb::handle bars) const {
    return latest_record(symbol_, asked_.period, asked_.adjust, bars);
}

RangeRequest::RangeRequest(nb::handle symbol, const words::Range& asked, nb::handle start_text,
                           nb::handle end_text)
    : Request(symbol, "range_key", asked.period, asked.adjust, start_text, end_text),
      asked_(asked),
      start_text_(start_text),
      end_text_(end_text) {}

std::optional<nb::dict> RangeRequest::cached(const char* hit_line) const {
    nb::object bars = entry_.get();
    if (bars.is_none()) return std::nullopt;
    if (hit_line) log::info(hit_line, symbol_, asked_.start, asked_.end, asked_.period, asked_.adjust);
    return modes::cached(record(bars));
}

nb::dict RangeRequest::record(nb::handle bars) const {
    return range_record(symbol_, asked_.period, asked_.adjust, start_text_, end_text_, bars);
}

IntradayRequest::IntradayRequest(nb::handle symbol) : Request(symbol, "intraday_key") {}

std::optional<nb::dict> IntradayRequest::cached(const char* hit_line) const {
    nb::object bars = entry_.get();
    if (bars.is_none()) return std::nullopt;
    if (hit_line) log::info(hit_line, symbol_);
    return modes::fetched(record(bars), "cache");
}

nb::dict IntradayRequest::record(nb::handle bars) const { return intraday_record(symbol_, bars); }

}  // namespace kline::modes
