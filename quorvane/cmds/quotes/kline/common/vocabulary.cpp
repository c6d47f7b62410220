#include "common/vocabulary.hpp"

#include <initializer_list>
#include <utility>

#include "bridge/errors.hpp"
#include "common/state.hpp"

namespace kline::vocabulary {
namespace {

using bridge::raise_format;
using bridge::steal_or_raise;

template <typename Value>
nb::dict table(std::initializer_list<std::pair<const char*, Value>> entries) {
    nb::dict result;
    for (const auto& [key, value] : entries) result[key] = value;
    return result;
}

void require_text(nb::handle value, const char* function) {
    if (!PyUnicode_Check(value.ptr()))
        raise_format(PyExc_TypeError, "%s() argument must be str, not %.100s", function,
                     Py_TYPE(value.ptr())->tp_name);
}

}  // namespace

nb::object lookup(const char* table_name, nb::handle word, nb::handle fallback) {
    nb::object table = global(table_name);
    PyObject* value = PyDict_GetItemWithError(table.ptr(), word.ptr());
    if (value == nullptr) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(fallback);
    }
    return nb::borrow(value);
}

bool is_period(nb::handle word) {
    require_text(word, "_is_period");
    int found = PyDict_Contains(global("PERIOD_MAP").ptr(), word.ptr());
    bridge::check(found >= 0);
    return found == 1;
}

bool is_adjusting(nb::handle word) {
    int found = PySequence_Contains(global("ADJUST_KEYWORDS").ptr(), word.ptr());
    bridge::check(found >= 0);
    return found == 1;
}

nb::object calc_duration(nb::handle back_days) {
    PyObject* value = back_days.ptr();
    if (!PyNumber_Check(value) || PyComplex_Check(value))
        raise_format(PyExc_TypeError, "_calc_duration() argument must be a real number, not %.100s",
                     Py_TYPE(value)->tp_name);
    // Python's own arithmetic throughout: huge counts stay exact and
    // non-finite values raise what int() and ceil() raise.
    nb::object days = libraries().math.attr("trunc")(back_days);
    nb::int_ year(365);
    if (steal_or_raise(PyObject_RichCompare(days.ptr(), year.ptr(), Py_LE)).is(nb::handle(Py_True)))
        return steal_or_raise(PyUnicode_FromFormat("%S D", days.ptr()));
    nb::object years = steal_or_raise(PyNumber_TrueDivide(days.ptr(), year.ptr()));
    nb::object whole = libraries().math.attr("ceil")(years);
    return steal_or_raise(PyUnicode_FromFormat("%S Y", whole.ptr()));
}

void define(nb::module_ module) {
    module.attr("PERIOD_MAP") = table<const char*>({
        {"1m", "1 min"},
        {"5m", "5 mins"},
        {"15m", "15 mins"},
        {"30m", "30 mins"},
        {"1h", "1 hour"},
        {"day", "1 day"},
        {"week", "1 week"},
        {"month", "1 month"},
        {"year", "1 month"},
        {"minute", "1 min"},
        {"hour", "1 hour"},
        {"d", "1 day"},
        {"w", "1 week"},
        {"m", "1 month"},
        {"y", "1 month"},
        {"1d", "1 day"},
        {"1mo", "1 month"},
    });
    nb::set adjust;
    adjust.add("adj");
    adjust.add("forward");
    module.attr("ADJUST_KEYWORDS") = adjust;
    module.attr("BAR_SECONDS") = table<int>({
        {"1 secs", 1},
        {"1 min", 60},
        {"5 mins", 300},
        {"15 mins", 900},
        {"30 mins", 1800},
        {"1 hour", 3600},
        {"1 day", 86400},
        {"1 week", 604800},
        {"1 month", 2592000},
    });
    module.attr("PERIOD_DEFAULT_COUNT") = table<int>({
        {"1m", 120},
        {"5m", 78},
        {"15m", 130},
        {"30m", 130},
        {"1h", 130},
        {"day", 250},
        {"week", 156},
        {"month", 60},
        {"year", 120},
    });
    module.attr("DURATION_FACTOR") = table<double>({{"day", 1.4}, {"week", 1.02}});
    module.attr("YF_PERIOD") = table<const char*>({
        {"1m", "5d"},
        {"5m", "5d"},
        {"15m", "1mo"},
        {"30m", "1mo"},
        {"1h", "6mo"},
        {"day", "5y"},
        {"week", "max"},
        {"month", "max"},
        {"year", "max"},
    });
    module.attr("YF_INTERVAL") = table<const char*>({
        {"1m", "1m"},
        {"5m", "5m"},
        {"15m", "15m"},
        {"30m", "30m"},
        {"1h", "60m"},
        {"day", "1d"},
        {"week", "1wk"},
        {"month", "1mo"},
        {"year", "1mo"},
    });

    module.def("_is_period", &is_period, nb::arg("s").none(),
               "True when `s` is a period word (a key of PERIOD_MAP).");
    module.def("_calc_duration", &calc_duration, nb::arg("back_days").none(),
               "The IBKR duration text for a span of `back_days` days.");
}

}  // namespace kline::vocabulary
