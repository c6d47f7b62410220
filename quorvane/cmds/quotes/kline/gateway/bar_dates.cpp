// Bar dates into a datetime64 column without a Python object per value.
#include "gateway/bar_dates.hpp"

#include <datetime.h>

#include <chrono>
#include <cstdint>

#include "bridge/errors.hpp"
#include "front/globals.hpp"

namespace kline::bar_table {
namespace {

using bridge::steal_or_raise;

struct DateLookups {
    DateLookups() {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) throw nb::python_error();
        utcoffset = steal_or_raise(PyUnicode_InternFromString("utcoffset"));
        zone_types = nb::make_tuple(nb::module_::import_("zoneinfo").attr("ZoneInfo"),
                                    libraries().datetime.attr("timezone"));
    }
    nb::object utcoffset;   // interned method name
    nb::object zone_types;  // the tzinfo classes pandas converts exactly
};

// Looked up on first use; never released.
const DateLookups& lookups() {
    static const DateLookups* const instance = new DateLookups();
    return *instance;
}

int64_t micros(std::chrono::sys_days day) {
    return std::chrono::duration_cast<std::chrono::microseconds>(day.time_since_epoch()).count();
}

// A datetime's wall-clock time as microseconds since 1970-01-01.
int64_t wall_micros(PyObject* value) {
    using namespace std::chrono;
    const year_month_day day{year{PyDateTime_GET_YEAR(value)},
                             month{static_cast<unsigned>(PyDateTime_GET_MONTH(value))},
                             std::chrono::day{static_cast<unsigned>(PyDateTime_GET_DAY(value))}};
    return micros(sys_days{day}) +
           ((PyDateTime_DATE_GET_HOUR(value) * 60LL + PyDateTime_DATE_GET_MINUTE(value)) * 60LL +
            PyDateTime_DATE_GET_SECOND(value)) * 1'000'000LL +
           PyDateTime_DATE_GET_MICROSECOND(value);
}

int64_t delta_micros(PyObject* delta) {
    return (PyDateTime_DELTA_GET_DAYS(delta) * 86'400LL + PyDateTime_DELTA_GET_SECONDS(delta)) * 1'000'000LL +
           PyDateTime_DELTA_GET_MICROSECONDS(delta);
}

PyObject* zone_of(PyObject* datetime) {
    auto* fields = reinterpret_cast<PyDateTime_DateTime*>(datetime);
    return fields->hastzinfo ? fields->tzinfo : Py_None;
}

}  // namespace

DateColumn::DateColumn(Py_ssize_t size)
    : objects_(nb::steal<nb::list>(steal_or_raise(PyList_New(size)).release())) {
    lookups();  // the datetime C API, before any value is read with it
}

bool DateColumn::add(Py_ssize_t row, nb::object value) {
    PyObject* date = value.ptr();
    // An abandoned list may keep empty slots: lists release those fine.
    PyList_SET_ITEM(objects_.ptr(), row, value.release().ptr());
    if (row == 0) return start(date);
    if (Py_TYPE(date) != first_type_) return false;
    return !instants_ || (zone_of(date) == zone_ && add_instant(row, date));
}

nb::object DateColumn::column() const {
    if (!instants_) return objects_;
    nb::object values = instants_->array();
    if (zone_ == Py_None) return values;
    nb::object utc = libraries().pandas.attr("DatetimeIndex")(values).attr("tz_localize")("UTC");
    return utc.attr("tz_convert")(nb::handle(zone_)).attr("array");
}

bool DateColumn::start(PyObject* date) {
    first_type_ = Py_TYPE(date);
    if (first_type_ == PyDateTimeAPI->DateType) return true;  // calendar dates stay objects
    if (first_type_ != PyDateTimeAPI->DateTimeType) return false;
    zone_ = zone_of(date);
    if (zone_ != Py_None) {
        int known = PyObject_IsInstance(zone_, lookups().zone_types.ptr());
        bridge::check(known >= 0);
        if (known == 0) return false;
    }
    instants_.emplace(PyList_GET_SIZE(objects_.ptr()), "datetime64[us]");
    return add_instant(0, date);
}

bool DateColumn::add_instant(Py_ssize_t row, PyObject* date) {
    int64_t value = wall_micros(date);
    if (zone_ != Py_None) {
        nb::object offset = steal_or_raise(PyObject_CallMethodNoArgs(date, lookups().utcoffset.ptr()));
        if (!PyDelta_Check(offset.ptr())) return false;
        value -= delta_micros(offset.ptr());
    }
    instants_->set(row, value);
    return true;
}

}  // namespace kline::bar_table
