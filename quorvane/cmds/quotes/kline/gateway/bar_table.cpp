// Bar tables and their records, straight from ib_async bar objects.
//
// pandas.DataFrame(bars) turns every bar into a dict (dataclasses.asdict,
// with a deep copy of each value) and infers each column's type from Python
// objects; convert_dtypes infers it again and to_dict boxes every value
// anew. Here one pass reads each bar's fields once: into typed arrays for
// the table, and as the very objects into the records, so a record's price
// is the bar's own float. The arrays become the nullable arrays that
// convert_dtypes would make, and the dates the values pandas would infer.
#include "gateway/bar_table.hpp"

#include <array>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "bridge/errors.hpp"
#include "front/dates.hpp"
#include "front/globals.hpp"
#include "gateway/bar_dates.hpp"
#include "gateway/nullable_arrays.hpp"
#include "gateway/numeric_column.hpp"
#include "gateway/numpy_arrays.hpp"
#include "gateway/record_rows.hpp"

namespace kline::bar_table {
namespace {

using bridge::steal_or_raise;

// The fields of ib_async's bar record, in its order: the table's columns.
constexpr std::array<const char*, 8> kFields = {
    "date", "open", "high", "low", "close", "volume", "average", "barCount"};
constexpr size_t kDate = 0, kFirstPrice = 1, kPrices = 6, kBarCount = 7;

struct Lookups {
    std::array<nb::object, kFields.size()> field_names;  // interned
    nb::object keys;                                     // the field names as a list
    nb::object bar_type;  // last type confirmed to have exactly kFields
    nb::object data_frame;
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

class PriceColumn {
public:
    explicit PriceColumn(Py_ssize_t size) : values_(size, "float64") {}

    void set(Py_ssize_t row, double value) {
        values_.set(row, value);
        shape_.see(value);
    }

    // The records may hold the bars' own floats.
    bool keeps_floats() const { return shape_.stays_float(); }

    nb::object array() const {
        return keeps_floats() ? nullable_arrays::floats(values_.array()) : nullable_arrays::converted(values_.array());
    }

private:
    numpy_arrays::Builder<double> values_;
    nullable_arrays::FloatShape shape_;
};

struct BarColumns {
    explicit BarColumns(Py_ssize_t size) : dates(size), bar_counts(size, "int64") {
        prices.reserve(kPrices);
        for (size_t p = 0; p < kPrices; ++p) prices.emplace_back(size);
    }
    DateColumn dates;
    std::vector<PriceColumn> prices;
    numpy_arrays::Builder<int64_t> bar_counts;
};

// One bar's fields into the columns, and its values into its record; false
// when a value is not of the type the decoder produces (the plain pipeline
// then decides what it becomes).
bool read_bar(PyObject* bar, Py_ssize_t row, BarColumns& columns, nb::handle record) {
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
    if (!columns.dates.add(row, values[kDate].ptr())) return false;

    // Time stamps are boxed later, all at once.
    const size_t first = columns.dates.holds_calendar_dates() ? kDate : kFirstPrice;
    for (size_t f = first; f < kFields.size(); ++f)
        bridge::check(PyDict_SetItem(record.ptr(), lookups->field_names[f].ptr(), values[f].ptr()) == 0);
    return true;
}

struct TableArrays {
    nb::object dates;
    std::array<nb::object, kPrices> prices;
    nb::object bar_counts;
};

TableArrays arrays_of(const BarColumns& columns) {
    TableArrays arrays{columns.dates.column(), {}, nullable_arrays::integers(columns.bar_counts.array())};
    for (size_t p = 0; p < kPrices; ++p) arrays.prices[p] = columns.prices[p].array();
    return arrays;
}

nb::object frame_of(const TableArrays& arrays) {
    nb::dict data;
    data[lookups->field_names[kDate]] = arrays.dates;
    for (size_t p = 0; p < kPrices; ++p) data[lookups->field_names[kFirstPrice + p]] = arrays.prices[p];
    data[lookups->field_names[kBarCount]] = arrays.bar_counts;
    return lookups->data_frame(data, nb::arg("copy") = false);
}

// The values the first pass could not give: time stamps, and prices that
// convert_dtypes changed (whole numbers as int, NaN as None).
void complete_records(nb::handle records, const BarColumns& columns, const TableArrays& arrays) {
    std::vector<std::pair<PyObject*, std::unique_ptr<NumericColumn>>> converted;
    for (size_t p = 0; p < kPrices; ++p) {
        if (columns.prices[p].keeps_floats()) continue;
        nb::object array = arrays.prices[p];
        const char kind = static_cast<char>(PyUnicode_READ_CHAR(array.attr("dtype").attr("kind").ptr(), 0));
        converted.emplace_back(lookups->field_names[kFirstPrice + p].ptr(), NumericColumn::of_masked(array, kind));
    }
    nb::object stamps;
    if (!columns.dates.holds_calendar_dates()) stamps = steal_or_raise(PySequence_List(arrays.dates.ptr()));
    if (!stamps.is_valid() && converted.empty()) return;

    PyObject* date_key = lookups->field_names[kDate].ptr();
    for (Py_ssize_t row = 0, size = PyList_GET_SIZE(records.ptr()); row < size; ++row) {
        PyObject* record = PyList_GET_ITEM(records.ptr(), row);
        if (stamps.is_valid()) {
            PyObject* stamp = PyList_GET_ITEM(stamps.ptr(), row);
            untrack(stamp);
            bridge::check(PyDict_SetItem(record, date_key, stamp) == 0);
        }
        for (const auto& [key, column] : converted) {
            nb::object value = steal_or_raise(column->box(row));
            bridge::check(PyDict_SetItem(record, key, value.ptr()) == 0);
        }
        untrack(record);
    }
}

std::optional<BarTable> fast_table(nb::handle bars) {
    nb::object sequence = steal_or_raise(PySequence_Fast(bars.ptr(), "bars must be a sequence"));
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.ptr());
    PyObject** items = PySequence_Fast_ITEMS(sequence.ptr());
    if (size == 0 || !is_bar_type(Py_TYPE(items[0]))) return std::nullopt;

    BarColumns columns(size);
    const RecordTemplate blank(lookups->keys);
    nb::object records = steal_or_raise(PyList_New(size));
    for (Py_ssize_t row = 0; row < size; ++row) {
        if (Py_TYPE(items[row]) != Py_TYPE(items[0])) return std::nullopt;
        nb::object record = blank.make();
        if (!read_bar(items[row], row, columns, record)) return std::nullopt;
        PyList_SET_ITEM(records.ptr(), row, record.release().ptr());
    }
    const TableArrays arrays = arrays_of(columns);
    nb::object frame = frame_of(arrays);
    complete_records(records, columns, arrays);
    return BarTable{std::move(frame), std::move(records)};
}

}  // namespace

void init() {
    lookups = new Lookups{};
    nb::list keys;
    for (size_t f = 0; f < kFields.size(); ++f) {
        lookups->field_names[f] = steal_or_raise(PyUnicode_InternFromString(kFields[f]));
        keys.append(lookups->field_names[f]);
    }
    lookups->keys = keys;
    lookups->data_frame = libraries().pandas.attr("DataFrame");
}

BarTable from_bars(nb::handle bars) {
    CollectorPause pause;
    if (auto table = fast_table(bars)) return std::move(*table);
    nb::object frame = dates::strip_tz(lookups->data_frame(bars).attr("convert_dtypes")());
    return {frame, records(frame)};
}

}  // namespace kline::bar_table
