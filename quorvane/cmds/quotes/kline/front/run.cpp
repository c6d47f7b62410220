#include "front/run.hpp"

#include <optional>
#include <utility>

#include "common/log.hpp"
#include "common/python.hpp"
#include "common/state.hpp"
#include "common/usage_errors.hpp"
#include "common/words.hpp"

namespace kline::front {
namespace {

using bridge::awaited;

nb::dict error_record(const char* text) {
    nb::dict record;
    record["error"] = text;
    return record;
}

// `resolved, contract = value`, with tuple unpacking's own errors.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    nb::object iterator = bridge::steal_or_raise(PyObject_GetIter(value.ptr()));
    nb::object items[2];
    int count = 0;
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
        if (count == 2) {
            Py_DECREF(item);
            bridge::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        }
        items[count++] = nb::steal(item);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    if (count < 2)
        bridge::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", count);
    return {std::move(items[0]), std::move(items[1])};
}

// Futures are requested as continuous futures, on a copy, so the host's
// contract object keeps its own security type.
nb::object prepare_contract(nb::object contract) {
    if (contract.is_none()) bridge::raise(PyExc_RuntimeError, "");
    if (!is_instance(contract, global("Future"))) return contract;
    nb::object copy = libraries().copy.attr("copy")(contract);
    copy.attr("secType") = "CONTFUT";
    return copy;
}

nb::object call_gateway(nb::handle self, nb::handle contract, nb::handle rest) {
    switch (words::choose_mode(rest)) {
        case words::Mode::Intraday: return self.attr("_intraday")(contract);
        case words::Mode::History: return self.attr("_history")(contract, rest);
        case words::Mode::Latest: break;
    }
    return self.attr("_kline")(contract, rest);
}

bool is_success(nb::handle result) { return truthy(result) && !contains(result, "error"); }

nb::object error_text(nb::handle result) {
    if (!PyDict_Check(result.ptr())) return nb::none();
    PyObject* text = PyDict_GetItemString(result.ptr(), "error");
    return text ? nb::borrow(text) : nb::none();
}

nb::object fallback(nb::handle self, nb::handle rest) { return self.attr("_run_yfinance")(rest); }

// Adopts the gateway's resolution of the symbol and starts the gateway
// coroutine for the mode; an invalid object when the symbol was not found.
nb::object start_gateway(nb::handle self, nb::handle resolution, nb::handle rest, nb::object& symbol) {
    auto [resolved, contract] = unpack_pair(resolution);
    if (!truthy(resolved)) return {};
    self.attr("symbol") = resolved;
    symbol = resolved;
    return call_gateway(self, prepare_contract(std::move(contract)), rest);
}

}  // namespace

bridge::Task run(nb::object self) {
    nb::object symbol = attr_or_none(self, "symbol");
    if (!truthy(symbol)) {
        log::error(usage_errors::no_symbol);
        co_return error_record(usage_errors::no_symbol);
    }
    nb::object rest = attr_or_none(self, "rest");
    if (!truthy(rest)) rest = nb::list();
    words::require_list(rest, "run");

    if (!truthy(self.attr("state").attr("connected"))) {
        log::info("[{}] No gateway, using yfinance fallback", symbol);
        co_return co_await awaited(fallback(self, rest));
    }

    std::optional<nb::python_error> failure;
    try {
        nb::object resolution = co_await awaited(
            self.attr("state").attr("positionalQuoteRepopulate")(symbol));
        nb::object gateway = start_gateway(self, resolution, rest, symbol);
        if (!gateway.is_valid()) {
            log::error("Symbol not found: {}", symbol);
            co_return co_await awaited(fallback(self, rest));
        }
        nb::object result = co_await awaited(std::move(gateway));
        if (is_success(result)) {
            result["source"] = "ibkr";
            co_return result;
        }
        log::warning("[{}] IBKR returned error ({}), falling back to yfinance", symbol, error_text(result));
    } catch (nb::python_error& error) {
        if (!bridge::is_ordinary(error)) throw;
        failure.emplace(std::move(error));
    }
    if (failure) log::warning("[{}] IBKR failed ({}), falling back to yfinance", symbol, failure->value());
    co_return co_await awaited(fallback(self, rest));
}

}  // namespace kline::front
