#include "common/dates.hpp"

#include <string_view>

#include "bridge/errors.hpp"
#include "common/state.hpp"

namespace kline::dates {
namespace {

void require_text(nb::handle value, const char* function) {
    if (!PyUnicode_Check(value.ptr()))
        bridge::raise_format(PyExc_TypeError, "%s() argument must be str, not %.100s", function,
                             Py_TYPE(value.ptr())->tp_name);
}

// An ASCII-only view of `word`, or an empty view for any other text.
std::string_view ascii(nb::handle word) {
    if (!PyUnicode_IS_ASCII(word.ptr())) return {};
    return {static_cast<const char*>(PyUnicode_DATA(word.ptr())),
            static_cast<size_t>(PyUnicode_GET_LENGTH(word.ptr()))};
}

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Exactly YYYY-MM-DD: ASCII digits, nothing before or after (no trailing
// line feed either), whatever the values.
bool has_date_shape(std::string_view s) {
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!is_ascii_digit(s[i])) return false;
    return true;
}

// Read through the module global `datetime`, as Python code would, so the
// local clock can be pinned from outside.
nb::object datetime_module() { return global("datetime"); }
nb::object date_class() { return datetime_module().attr("date"); }

}  // namespace

bool is_date(nb::handle word) {
    require_text(word, "_is_date");
    std::string_view s = ascii(word);
    return s == "today" || s == "yesterday" || has_date_shape(s);
}

nb::object today() { return date_class().attr("today")(); }

nb::object add_days(nb::handle date, long days) {
    nb::object span = datetime_module().attr("timedelta")(nb::arg("days") = days);
    return bridge::steal_or_raise(PyNumber_Add(date.ptr(), span.ptr()));
}

nb::object day_after(nb::handle date) {
    nb::object last = date.attr("max");  // the calendar's last day has no day after
    return date.equal(last) ? last : add_days(date, 1);
}

nb::object parse_date(nb::handle word) {
    require_text(word, "_parse_date");
    std::string_view s = ascii(word);
    if (s == "today") return today();
    if (s == "yesterday") return add_days(today(), -1);
    return date_class().attr("fromisoformat")(word);
}

nb::object text(nb::handle date) { return nb::str(date); }

nb::object strip_tz(nb::handle frame) {
    try {
        nb::object naive = frame["date"].attr("dt").attr("tz_localize")(nb::none());
        frame["date"] = naive;
    } catch (nb::python_error& error) {
        if (!bridge::is_ordinary(error)) throw;
    }
    return nb::borrow(frame);
}

void define(nb::module_ module) {
    module.def("_is_date", &is_date, nb::arg("s").none(),
               "True for \"today\", \"yesterday\" and words shaped YYYY-MM-DD.");
    module.def("_parse_date", &parse_date, nb::arg("s").none(), "The calendar date a date word names.");
    module.def("_strip_tz", &strip_tz, nb::arg("df").none(),
               "Drops the time zone of the `date` column, keeping wall-clock times; returns `df`.");
}

}  // namespace kline::dates
