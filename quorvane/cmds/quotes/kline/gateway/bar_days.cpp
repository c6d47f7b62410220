#include "gateway/bar_days.hpp"

#include "bridge/errors.hpp"
#include "common/python.hpp"
#include "common/state.hpp"

namespace kline::gateway {
namespace {

using bridge::steal_or_raise;

nb::object bar_day(nb::handle bars, Py_ssize_t index) {
    nb::object bar = steal_or_raise(PySequence_GetItem(bars.ptr(), index));
    nb::object stamp = bar.attr("date");
    if (is_instance(stamp, libraries().datetime.attr("datetime"))) return stamp.attr("date")();
    return stamp;
}

Py_ssize_t size_of(nb::handle bars) {
    Py_ssize_t size = PySequence_Size(bars.ptr());
    bridge::check(size >= 0);
    return size;
}

// bars[begin:end], or `bars` itself when nothing is cut.
nb::object cut(nb::handle bars, Py_ssize_t begin, Py_ssize_t end, Py_ssize_t size) {
    if (begin == 0 && end == size) return nb::borrow(bars);
    return steal_or_raise(PySequence_GetSlice(bars.ptr(), begin, end));
}

}  // namespace

nb::object bars_dated_between(nb::handle bars, nb::handle first, nb::handle last) {
    const Py_ssize_t size = size_of(bars);
    Py_ssize_t begin = 0;
    while (begin < size && less(bar_day(bars, begin), first)) ++begin;
    Py_ssize_t end = size;
    while (end > begin && less(last, bar_day(bars, end - 1))) --end;
    return cut(bars, begin, end, size);
}

nb::object bars_of_newest_day(nb::handle bars) {
    const Py_ssize_t size = size_of(bars);
    nb::object newest = bar_day(bars, size - 1);
    Py_ssize_t begin = size - 1;
    while (begin > 0 && !less(bar_day(bars, begin - 1), newest)) --begin;
    return cut(bars, begin, size, size);
}

}  // namespace kline::gateway
