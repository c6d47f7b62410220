// IOpKline.run: refuses a missing symbol, chooses the source, resolves the
// symbol on the gateway, picks the mode, and falls back to public data
// whenever the gateway side cannot serve the request.
#pragma once

#include "bridge/task.hpp"

namespace kline::front {

namespace nb = nanobind;

bridge::Task run(nb::object self);

}  // namespace kline::front
