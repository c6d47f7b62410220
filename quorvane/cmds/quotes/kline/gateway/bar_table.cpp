// Bar tables from ib_async bar objects, read field by field into columns.
//
// pandas.DataFrame(bars) turns every bar into a dict (dataclasses.asdict,
// with a deep copy of each value) and then infers each column's type from
// Python objects; the `date` inference alone costs microseconds a bar. Here
// the fields go straight into typed arrays, and the dates into the
// datetime64 values pandas would infer for them.
#include "gateway/bar_table.hpp"

#include <array>
#include <optional>
#include <vector>

#include "bridge/errors.hpp"
#include "front/dates.hpp"
#include "front/globals.hpp"
#include "gateway/bar_dates.hpp"
#include "gateway/numpy_arrays.hpp"

namespace kline::bar_table {
namespace {

using bridge::steal_or_raise;

// The fields of ib_async's bar record, in its order: the table's columns.
constexpr std::array<const char*, 8> kFields = {
    "date", "open", "high", "low", "close", "volume", "average", "barCount"};
constexpr size_t kDate = 0, kFirstPrice = 1, kPrices = 6, kBarCount = 7;

struct Lookups {
    std::array<nb::object, kFields.size()> field_names;  // interned
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

struct BarColumns {
    explicit BarColumns(Py_ssize_t size) : dates(size), bar_counts(size, "int64") {
        prices.reserve(kPrices);
        for (size_t p = 0; p < kPrices; ++p) prices.emplace_back(size, "float64");
    }
    DateColumn dates;
    std::vector<numpy_arrays::Builder<double>> prices;
    numpy_arrays::Builder<int64_t> bar_counts;
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
        columns.prices[p].set(row, PyFloat_AS_DOUBLE(price));
    }
    if (!PyLong_CheckExact(values[kBarCount].ptr())) return false;
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(values[kBarCount].ptr(), &overflow);
    if (overflow != 0) return false;  // pandas widens to uint64 or object
    columns.bar_counts.set(row, count);
    return columns.dates.add(row, std::move(values[kDate]));
}

std::optional<BarColumns> extract_columns(nb::handle bars) {
    nb::object sequence = steal_or_raise(PySequence_Fast(bars.ptr(), "bars must be a sequence"));
    Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.ptr());
    PyObject** items = PySequence_Fast_ITEMS(sequence.ptr());
    if (size == 0 || !is_bar_type(Py_TYPE(items[0]))) return std::nullopt;

    BarColumns columns(size);
    for (Py_ssize_t row = 0; row < size; ++row) {
        if (Py_TYPE(items[row]) != Py_TYPE(items[0])) return std::nullopt;
        if (!append_bar(items[row], row, columns)) return std::nullopt;
    }
    return columns;
}

nb::object frame_from_columns(const BarColumns& columns) {
    nb::dict data;
    data[lookups->field_names[kDate]] = columns.dates.column();
    for (size_t p = 0; p < kPrices; ++p)
        data[lookups->field_names[kFirstPrice + p]] = columns.prices[p].array();
    data[lookups->field_names[kBarCount]] = columns.bar_counts.array();
    return libraries().pandas.attr("DataFrame")(data);
}

}  // namespace

void init() {
    lookups = new Lookups{};
    for (size_t f = 0; f < kFields.size(); ++f)
        lookups->field_names[f] = steal_or_raise(PyUnicode_InternFromString(kFields[f]));
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
