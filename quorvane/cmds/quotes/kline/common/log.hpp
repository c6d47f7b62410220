// Log lines go through the host's loguru `logger`: a brace format string
// followed by the values that fill it, exactly as the host's own code logs.
#pragma once

#include <utility>

#include "common/state.hpp"

namespace kline::log {

template <typename... Values>
void info(const char* format, Values&&... values) {
    global("logger").attr("info")(format, std::forward<Values>(values)...);
}

template <typename... Values>
void warning(const char* format, Values&&... values) {
    global("logger").attr("warning")(format, std::forward<Values>(values)...);
}

template <typename... Values>
void error(const char* format, Values&&... values) {
    global("logger").attr("error")(format, std::forward<Values>(values)...);
}

}  // namespace kline::log
