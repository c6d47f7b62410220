// The single entry into the public-data fallback.
#include <utility>

#include "common/log.hpp"
#include "common/words.hpp"
#include "fallback/modes.hpp"

namespace kline::fallback {

bridge::Task run_yfinance(nb::object self, nb::object rest) {
    log::info("[{}] yfinance fallback: rest={}", self.attr("symbol"), rest);
    nb::object chosen;
    switch (words::choose_mode(rest)) {
        case words::Mode::Intraday: chosen = self.attr("_intraday_yfinance")(); break;
        case words::Mode::History: chosen = self.attr("_history_yfinance")(rest); break;
        case words::Mode::Latest: chosen = self.attr("_kline_yfinance")(rest); break;
    }
    co_return co_await bridge::awaited(std::move(chosen));
}

}  // namespace kline::fallback
