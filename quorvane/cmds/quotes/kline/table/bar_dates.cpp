// Bar dates into a datetime64 column without a Python object per value.
#include "table/bar_dates.hpp"

#include <chrono>
#include <cstdint>

#include "bridge/errors.hpp"
#include "common/state.hpp"
#include "table/datetime_api.hpp"

namespace kline::table {
namespace {

using bridge::steal_or_raise;

// The zones pandas converts through their utcoffset() and fromutc() alone.
bool is_plain_zone(PyObject* zone) {
    PyTypeObject* type = Py_TYPE(zone);
    return type == Py_TYPE(PyDateTimeAPI->TimeZone_UTC) ||
           reinterpret_cast<PyObject*>(type) == state().zones.zone_info.ptr();
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
            PyDateTime_DATE_GET_SECOND(value)) *
               1'000'000LL +
           PyDateTime_DATE_GET_MICROSECOND(value);
}

PyObject* zone_of(PyObject* datetime) {
    auto* fields = reinterpret_cast<PyDateTime_DateTime*>(datetime);
    return fields->hastzinfo ? fields->tzinfo : Py_None;
}

}  // namespace

DateColumn::DateColumn(Py_ssize_t size) : size_(size) {
    import_datetime_api();  // before any value is read with it
}

bool DateColumn::add(Py_ssize_t row, PyObject* date) {
    if (row == 0) return start(date);
    if (Py_TYPE(date) != first_type_) return false;
    if (times_) return zone_of(date) == zone_.ptr() && add_time(row, date);
    // An abandoned list may keep empty slots: lists release those fine.
    PyList_SET_ITEM(calendar_dates_.ptr(), row, Py_NewRef(date));
    return true;
}

nb::object DateColumn::column() const {
    if (!times_) return calendar_dates_;
    return state().pandas.datetime_index(times_->array(), nb::arg("copy") = false).attr("array");
}

nb::object DateColumn::time_stamps(Py_ssize_t begin, Py_ssize_t end) const {
    nb::object times =
        state().pandas.datetime_index(times_->rows(begin, end), nb::arg("copy") = false).attr("array");
    return steal_or_raise(PySequence_List(times.ptr()));
}

bool DateColumn::start(PyObject* date) {
    first_type_ = Py_TYPE(date);
    if (first_type_ == PyDateTimeAPI->DateType) {
        calendar_dates_ = nb::steal<nb::list>(steal_or_raise(PyList_New(size_)).release());
        PyList_SET_ITEM(calendar_dates_.ptr(), 0, Py_NewRef(date));
        return true;
    }
    if (first_type_ != PyDateTimeAPI->DateTimeType) return false;
    zone_ = nb::borrow(zone_of(date));
    if (!zone_.is_none()) {
        if (!is_plain_zone(zone_.ptr())) return false;
        offsets_.emplace(zone_);
    }
    times_.emplace(size_, "datetime64[us]");
    return add_time(0, date);
}

// A zoned time becomes its instant and is read back as the wall-clock time
// the stripped column holds: the same time, except inside a DST gap.
bool DateColumn::add_time(Py_ssize_t row, PyObject* date) {
    int64_t value = wall_micros(date);
    if (offsets_) {
        auto instant = offsets_->instant(date, value);
        auto wall = instant ? offsets_->wall_time(*instant) : std::nullopt;
        if (!wall) return false;
        value = *wall;
    }
    times_->set(row, value);
    return true;
}

}  // namespace kline::table
