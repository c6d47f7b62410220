#include "modes/cache.hpp"

namespace kline::modes {
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

nb::object bar_cache() { return global("_get_cache")(); }

void define_cache(nb::module_ module) {
    module.attr("_kline_cache") = nb::none();
    module.def("_get_cache", &get_or_create, "The process-wide bar cache, created on first use.");
}

}  // namespace kline::modes
