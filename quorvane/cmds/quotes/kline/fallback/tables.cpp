// yfinance's interval and look-back for a period word.
#include <string_view>

#include "common/vocabulary.hpp"
#include "fallback/tables.hpp"

namespace kline::fallback {
namespace {

// The canonical word behind each alias. The yfinance tables are keyed by
// canonical words only; without this, "w" or "minute" would fetch daily bars
// and the shared cache would then serve them to the gateway route too.
nb::object canonical(nb::handle period) {
    static constexpr std::pair<std::string_view, const char*> aliases[] = {
        {"minute", "1m"}, {"hour", "1h"}, {"d", "day"},     {"1d", "day"},
        {"w", "week"},    {"m", "month"}, {"1mo", "month"}, {"y", "year"},
    };
    if (PyUnicode_CheckExact(period.ptr())) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(period.ptr(), &size);
        if (text == nullptr) throw nb::python_error();
        std::string_view word(text, static_cast<size_t>(size));
        for (const auto& [alias, word_for] : aliases)
            if (word == alias) return nb::str(word_for);
    }
    return nb::borrow(period);
}

}  // namespace

nb::object yf_interval(nb::handle period) {
    return vocabulary::lookup("YF_INTERVAL", canonical(period), nb::str("1d"));
}

nb::object yf_period(nb::handle period) {
    return vocabulary::lookup("YF_PERIOD", canonical(period), nb::str("1y"));
}

}  // namespace kline::fallback
