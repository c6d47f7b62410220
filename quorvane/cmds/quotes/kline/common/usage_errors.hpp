// The error texts of records that say a command line's words were wrong, rather than that
// data could not be had. IOpKline carries them as `usage_errors`, and the host tells a
// usage error (exit 2) from a failed request (exit 1) by these very texts.
#pragma once

namespace kline::usage_errors {

inline constexpr const char* no_symbol = "No symbol provided";
inline constexpr const char* start_after_end = "Start must be before end";

}  // namespace kline::usage_errors
