// Bar tables from ib_async bar objects, read field by field into columns.
//
// pandas.DataFrame(bars) turns every bar into a dict (dataclasses.asdict,
// with a deep copy of each value) and then infers each column's type from
// Python objects; the `date` inference alone costs microseconds a bar. Here
// the fields go straight into typed arrays, and the dates into the
// datetime64 values pandas would infer for them.
#include "gateway/bar_table.hpp"

#include <datetime.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "bridge/errors.hpp"
#include "front/dates.hpp"
#include "front/globals.hpp"

namespace kline::bar_table {
namespace {

using bridge::steal_or_raise;

// The fields of ib_async's bar record, in its order: the table's columns.
constexpr std::array<const char*, 8> kFields = {
    "date", "open", "high", "low", "close", "volume", "average", "barCount"};
constexpr size_t kDate = 0, kFirstPrice = 1, kPrices = 6, kBarCount = 7;

struct Lookups {
    std::array<nb::object, kFields.size()> field_names;  // interned
    nb::object utcoffset;   // interned method name
    nb::object zone_types;  // tzinfo classes pandas converts exactly: (ZoneInfo, timezone)
    nb::object frombuffer;
    nb::object bar_type;  // last type confirmed to have exactly kFields
};
Lookups* lookups = nullptr;  // set up once, never released

// A dataclass whose fields are exactly the bar record's, in order.
bool is_bar_type(PyTypeObject* type) {
    if (lookups->bar_type.ptr() == reinterpret_cast<PyObject*>(type)) return true;
    nb::handle cls(reinterpret_cast<PyObject*>(type));
    PyObject* fields = PyObject_GetAttrString(cls.ptr(), "__dataclass_fields__");
    if (fields == nullptr) {
        PyErr_Clear();
        return false;
    }
    nb::object names = steal_or_raise(PySequence_List(nb::steal(fields).ptr()));
    if (PyList_GET_SIZE(names.ptr()) != static_cast<Py_ssize_t>(kFields.size())) return false;
    for (size_t i = 0; i < kFields.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(PyList_GET_ITEM(names.ptr(), i), kFields[i]) != 0)
            return false;
    }
    lookups->bar_type = nb::borrow(cls);
    return true;
}

// ---- the date column ------------------------------------------------------

int64_t micros(const std::chrono::sys_days day) {
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

// The dates as given, and as datetime64[us] values while they allow it.
// pandas keeps calendar dates as objects, and stores datetimes that share
// one zone as UTC instants, computed with each value's own utcoffset() (so
// a DST fold or gap resolves as the datetime itself resolves it).
class DateColumn {
public:
    explicit DateColumn(Py_ssize_t size)
        : objects_(nb::steal<nb::list>(steal_or_raise(PyList_New(size)).release())) {}

    // Takes `value` into row `row`; false when the column has no fast form.
    bool add(Py_ssize_t row, nb::object value) {
        PyObject* date = value.ptr();
        PyList_SET_ITEM(objects_.ptr(), row, value.release().ptr());
        if (row == 0) return start(date);
        if (Py_TYPE(date) != first_type_) return false;
        return !instants_ || (zone_of(date) == zone_ && add_instant(date));
    }

    // The column data for the frame's constructor.
    nb::object column() const {
        if (!instants_) return objects_;
        nb::object values = lookups->frombuffer(
            steal_or_raise(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(micros_.data()),
                                                         static_cast<Py_ssize_t>(micros_.size() * 8))),
            nb::arg("dtype") = "datetime64[us]");
        nb::object series = libraries().pandas.attr("Series")(values);
        if (zone_ == Py_None) return series;
        return series.attr("dt").attr("tz_localize")("UTC").attr("dt").attr("tz_convert")(nb::handle(zone_));
    }

private:
    static PyObject* zone_of(PyObject* datetime) {
        return reinterpret_cast<PyDateTime_DateTime*>(datetime)->hastzinfo
                   ? reinterpret_cast<PyDateTime_DateTime*>(datetime)->tzinfo
                   : Py_None;
    }

    bool start(PyObject* date) {
        first_type_ = Py_TYPE(date);
        if (first_type_ == PyDateTimeAPI->DateType) return true;  // calendar dates stay objects
        if (first_type_ != PyDateTimeAPI->DateTimeType) return false;
        zone_ = zone_of(date);
        if (zone_ != Py_None) {
            int known = PyObject_IsInstance(zone_, lookups->zone_types.ptr());
            bridge::check(known >= 0);
            if (known == 0) return false;
        }
        instants_ = true;
        micros_.reserve(static_cast<size_t>(PyList_GET_SIZE(objects_.ptr())));
        return add_instant(date);
    }

    bool add_instant(PyObject* date) {
        int64_t value = wall_micros(date);
        if (zone_ != Py_None) {
            nb::object offset = steal_or_raise(PyObject_CallMethodNoArgs(date, lookups->utcoffset.ptr()));
            if (!PyDelta_Check(offset.ptr())) return false;
            value -= (PyDateTime_DELTA_GET_DAYS(offset.ptr()) * 86'400LL +
                      PyDateTime_DELTA_GET_SECONDS(offset.ptr())) * 1'000'000LL +
                     PyDateTime_DELTA_GET_MICROSECONDS(offset.ptr());
        }
        micros_.push_back(value);
        return true;
    }

    nb::list objects_;
    PyTypeObject* first_type_ = nullptr;
    PyObject* zone_ = Py_None;  // kept alive by the first date in objects_
    bool instants_ = false;
    std::vector<int64_t> micros_;
};

// ---- bar objects to columns -----------------------------------------------

struct BarColumns {
    explicit BarColumns(Py_ssize_t size) : dates(size) {
        for (auto& column : prices) column.reserve(static_cast<size_t>(size));
        bar_counts.reserve(static_cast<size_t>(size));
    }
    DateColumn dates;
    std::array<std::vector<double>, kPrices> prices;
    std::vector<int64_t> bar_counts;
};

// One bar's fields into the columns; false when a value is not of the type
// the decoder produces (the plain pipeline then decides what it becomes).
bool append_bar(PyObject* bar, Py_ssize_t row, BarColumns& columns) {
    std::array<nb::object, kFields.size()> values;
    for (size_t f = 0; f < kFields.size(); ++f) {
        PyObject* value = PyObject_GetAttr(bar, lookups->field_names[f].ptr());
        if (value == nullptr) {
            PyErr_Clear();
            return false;
        }
        values[f] = nb::steal(value);
    }
    for (size_t p = 0; p < kPrices; ++p) {
        PyObject* price = values[kFirstPrice + p].ptr();
        if (!PyFloat_CheckExact(price)) return false;
        columns.prices[p].push_back(PyFloat_AS_DOUBLE(price));
    }
    if (!PyLong_CheckExact(values[kBarCount].ptr())) return false;
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(values[kBarCount].ptr(), &overflow);
    if (overflow != 0) return false;  // pandas widens to uint64 or object
    columns.bar_counts.push_back(count);
    return columns.dates.add(row, std::move(values[kDate]));
}

std::optional<BarColumns> extract_columns(nb::handle bars) {
    nb::object sequence = steal_or_raise(PySequence_Fast(bars.ptr(), "bars must be a sequence"));
    Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.ptr());
    PyObject** items = PySequence_Fast_ITEMS(sequence.ptr());
    if (size == 0 || !is_bar_type(Py_TYPE(items[0]))) return std::nullopt;

    // An abandoned date list may hold empty slots: lists release those fine.
    BarColumns columns(size);
    for (Py_ssize_t row = 0; row < size; ++row) {
        if (Py_TYPE(items[row]) != Py_TYPE(items[0])) return std::nullopt;
        if (!append_bar(items[row], row, columns)) return std::nullopt;
    }
    return columns;
}

// A numpy array holding a copy of `values`.
template <typename T>
nb::object numpy_array(const std::vector<T>& values, const char* dtype) {
    nb::object buffer = steal_or_raise(PyByteArray_FromStringAndSize(
        reinterpret_cast<const char*>(values.data()),
        static_cast<Py_ssize_t>(values.size() * sizeof(T))));
    return lookups->frombuffer(buffer, nb::arg("dtype") = dtype);
}

nb::object frame_from_columns(const BarColumns& columns) {
    nb::dict data;
    data[lookups->field_names[kDate]] = columns.dates.column();
    for (size_t p = 0; p < kPrices; ++p)
        data[lookups->field_names[kFirstPrice + p]] = numpy_array(columns.prices[p], "float64");
    data[lookups->field_names[kBarCount]] = numpy_array(columns.bar_counts, "int64");
    return libraries().pandas.attr("DataFrame")(data);
}

}  // namespace

void init() {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) throw nb::python_error();
    lookups = new Lookups{};
    for (size_t f = 0; f < kFields.size(); ++f)
        lookups->field_names[f] = steal_or_raise(PyUnicode_InternFromString(kFields[f]));
    lookups->utcoffset = steal_or_raise(PyUnicode_InternFromString("utcoffset"));
    lookups->zone_types = nb::make_tuple(nb::module_::import_("zoneinfo").attr("ZoneInfo"),
                                         libraries().datetime.attr("timezone"));
    lookups->frombuffer = nb::module_::import_("numpy").attr("frombuffer");
}

nb::object from_bars(nb::handle bars) {
    nb::object frame;
    if (auto columns = extract_columns(bars))
        frame = frame_from_columns(*columns);
    else
        frame = libraries().pandas.attr("DataFrame")(bars);
    return dates::strip_tz(frame.attr("convert_dtypes")());
}

}  // namespace kline::bar_table
