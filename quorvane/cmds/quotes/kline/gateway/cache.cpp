#include "gateway/cache.hpp"

namespace kline::bar_cache {
namespace {

// Lives in the module namespace rather than in C++, so it is visible to the
// host and released with the module.
nb::object get_or_create() {
    nb::object cache = global("_kline_cache");
    if (cache.is_none()) {
        cache = global("KlineCache")();
        set_global("_kline_cache", cache);
    }
    return cache;
}

}  // namespace

nb::object get() { return global("_get_cache")(); }

nb::object lookup(nb::handle cache, nb::handle key) {
    if (nb::hasattr(cache, "recall")) return cache.attr("recall")(key);
    nb::object found = cache.attr("get")(key);
    nb::object done = libraries().asyncio.attr("get_running_loop")().attr("create_future")();
    done.attr("set_result")(found);
    return done;
}

void define(nb::module_ module) {
    module.attr("_kline_cache") = nb::none();
    module.def("_get_cache", &get_or_create, "The process-wide bar cache, created on first use.");
}

}  // namespace kline::bar_cache
