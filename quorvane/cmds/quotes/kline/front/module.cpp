// Module initialisation: the module state, imports by name (a failed import fails the load),
// the constant tables, the module functions, the empty cache slot, and the
// registered command class. Nothing else runs at load: no connection, no
// cache, no thread.
#include "bridge/coroutine.hpp"
#include "bridge/errors.hpp"
#include "bridge/method.hpp"
#include "common/dates.hpp"
#include "common/state.hpp"
#include "common/vocabulary.hpp"
#include "fallback/normalize.hpp"
#include "front/command.hpp"
#include "modes/cache.hpp"

namespace kline::front {
namespace {

// from <module> import <names...>
void import_names(nb::handle into, const char* module, std::initializer_list<const char*> names) {
    nb::module_ source = nb::module_::import_(module);
    for (const char* name : names) into.attr(name) = source.attr(name);
}

// from <module> import *
void import_public_names(nb::handle into, const char* module) {
    nb::module_ source = nb::module_::import_(module);
    const bool listed = nb::hasattr(source, "__all__");
    nb::object names = listed ? nb::object(source.attr("__all__"))
                              : nb::list(source.attr("__dict__").attr("keys")());
    for (nb::handle name : names) {
        if (!listed && nb::str(name).attr("startswith")("_").is(nb::handle(Py_True))) continue;
        bridge::check(PyObject_SetAttr(into.ptr(), name.ptr(), source.attr(name).ptr()) == 0);
    }
}

void import_dependencies(nb::handle module) {
    import_names(module, "quorvane.cmds.base", {"IOp", "command"});
    import_names(module, "quorvane.gateway.kline_cache", {"KlineCache"});
    import_names(module, "quorvane.sessions", {"regular_session_seconds"});
    import_names(module, "quorvane.symbols", {"yahoo_symbol"});
    import_public_names(module, "quorvane.helpers");
    import_names(module, "mutil.dispatch", {"DArg"});
    import_names(module, "mutil.frame", {"printFrame"});
    import_names(module, "loguru", {"logger"});
    import_names(module, "ib_async", {"Contract"});
    module.attr("datetime") = libraries().datetime;  // read as a global, so a test can pin the clock
}

}  // namespace
}  // namespace kline::front

NB_MODULE(kline, module) {
    using namespace kline;
    init_state(module);
    bridge::register_coroutine_type(module);
    bridge::register_method_type(module);
    front::import_dependencies(module);
    vocabulary::define(module);
    dates::define(module);
    modes::define_cache(module);
    module.def("_normalize_yfinance_df", &fallback::normalize_yfinance_df, nb::arg("hist").none(),
               "yfinance's history frame reshaped into the bar table's columns.");
    front::define_command(module);
}
