// The seam to the yfinance library: one blocking download on a worker thread.
#include "fallback/yf_history.hpp"

#include <utility>

#include "bridge/errors.hpp"
#include "common/log.hpp"
#include "common/python.hpp"
#include "common/state.hpp"

namespace kline::fallback {
namespace {

nb::object import_by_name(const char* name) { return bridge::steal_or_raise(PyImport_ImportModule(name)); }

// yfinance's proxy is a process-wide setting: once set it stays in force for
// later downloads, even after HTTPS_PROXY is gone.
void apply_proxy(nb::handle os, nb::handle yfinance) {
    nb::object proxy = os.attr("environ").attr("get")("HTTPS_PROXY");
    if (!truthy(proxy)) return;
    nb::dict setting;
    setting["https"] = proxy;
    setting["http"] = proxy;
    yfinance.attr("config").attr("network").attr("proxy") = setting;
}

// Runs on the worker thread. Both modules are imported here, at each
// download, so a missing yfinance shows only as a failed download.
nb::object fetch(nb::handle self, nb::handle kwargs) {
    try {
        nb::object os = import_by_name("os");
        nb::object yfinance = import_by_name("yfinance");
        apply_proxy(os, yfinance);
        // Public data names symbols its own way ("/ES" is "ES=F"): the host's table says how.
        nb::object ticker = yfinance.attr("Ticker")(global("yahoo_symbol")(self.attr("symbol")));
        nb::object arguments = bridge::steal_or_raise(PyDict_Copy(kwargs.ptr()));
        return ticker.attr("history")(**arguments);
    } catch (nb::python_error& error) {
        if (!bridge::is_ordinary(error)) throw;
        log::error("[{}] yfinance fetch failed: {}", attr_or_none(self, "symbol"), error.value());
        return nb::none();
    }
}

}  // namespace

bridge::Task yf_history(nb::object self, nb::dict kwargs) {
    // A parameterless job closing over the command and the keywords; a
    // partial, so the collector sees what it holds while the thread runs.
    nb::object fetch_function = nb::cpp_function(&fetch, nb::arg("command"), nb::arg("kwargs"),
                                                 nb::name("_fetch"));
    nb::object job = libraries().functools.attr("partial")(std::move(fetch_function), self, kwargs);
    co_return co_await bridge::awaited(libraries().asyncio.attr("to_thread")(std::move(job)));
}

}  // namespace kline::fallback
