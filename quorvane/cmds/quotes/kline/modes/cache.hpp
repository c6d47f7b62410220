// The one bar cache of the process, shared by the gateway and fallback routes.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

#include "common/state.hpp"

namespace kline::modes {

namespace nb = nanobind;

// Adds `_kline_cache` (None until first use) and `_get_cache` to the module.
void define_cache(nb::module_ module);

// The process-wide KlineCache, created on first use. Goes through the module
// global `_get_cache`, so a host or test can substitute it.
nb::object bar_cache();

// What the cache holds under `key`, as an awaitable: `recall(key)` where the
// cache has it (it reads the lasting store off the event loop), else the
// answer of `get(key)` in a finished future.
nb::object lookup(nb::handle cache, nb::handle key);

// KlineCache.<builder>(...) called on the class, as the key builders expect.
template <typename... Parts>
nb::object cache_key(const char* builder, Parts&&... parts) {
    return global("KlineCache").attr(builder)(std::forward<Parts>(parts)...);
}

}  // namespace kline::modes
