// The command class IOpKline and its registration with the host.
#pragma once

#include <nanobind/nanobind.h>

namespace kline::front {

namespace nb = nanobind;

// Builds IOpKline on the host's IOp, makes it a data class and registers it
// under "kline" with the host's `command` decorator.
void define_command(nb::handle module);

}  // namespace kline::front
