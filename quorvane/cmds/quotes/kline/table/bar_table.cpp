// Bar tables and their records, straight from ib_async bar objects.
//
// pandas.DataFrame(bars) turns every bar into a dict (dataclasses.asdict,
// with a deep copy of each value) and infers each column's type from Python
// objects; convert_dtypes infers it again and to_dict boxes every value
// anew. Here one pass reads each bar's fields once: into typed arrays for
// the table, and into its record, which keeps the bar's own value objects
// where to_dict would give equal ones. The pass goes a block of bars at a
// time, boxing the block's time stamps at once, so each record is complete
// while it is still in the processor's cache. The arrays become the
// nullable arrays convert_dtypes would make, the dates the values pandas
// would infer.
#include "table/bar_table.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "bridge/errors.hpp"
#include "common/dates.hpp"
#include "common/state.hpp"
#include "table/bar_dates.hpp"
#include "table/nullable_arrays.hpp"
#include "table/numeric_column.hpp"
#include "table/numpy_arrays.hpp"
#include "table/record_rows.hpp"

namespace kline::table {
namespace {

using bridge::steal_or_raise;

// The fields of ib_async's bar record, in its order: the table's columns.
constexpr std::array<const char*, 8> kFields = {"date",  "open",   "high",    "low",
                                                "close", "volume", "average", "barCount"};
constexpr size_t kDate = 0, kFirstPrice = 1, kPrices = 6, kBarCount = 7;
constexpr Py_ssize_t kBlock = 8192;  // bars per block: their records stay in cache

// The field names, interned (so attribute reads and record keys find them
// by identity), and as a list.
struct FieldNames {
    FieldNames() {
        for (size_t f = 0; f < kFields.size(); ++f) {
            names[f] = steal_or_raise(PyUnicode_InternFromString(kFields[f]));
            keys.append(names[f]);
        }
    }
    std::array<nb::object, kFields.size()> names;
    nb::list keys;
};

// A dataclass whose fields are exactly the bar record's, in order.
bool is_bar_type(PyTypeObject* type) {
    nb::handle cls(reinterpret_cast<PyObject*>(type));
    PyObject* fields = PyObject_GetAttrString(cls.ptr(), "__dataclass_fields__");
    if (fields == nullptr) {
        PyErr_Clear();
        return false;
    }
    nb::object names = steal_or_raise(PySequence_List(nb::steal(fields).ptr()));
    if (PyList_GET_SIZE(names.ptr()) != static_cast<Py_ssize_t>(kFields.size())) return false;
    for (size_t i = 0; i < kFields.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(PyList_GET_ITEM(names.ptr(), i), kFields[i]) != 0) return false;
    }
    return true;
}

// A price column, and its value in each record. convert_dtypes makes a
// float column of whole numbers Int64, so while the values are whole the
// records get ints; once one is not, the records get the bars' floats, and
// those given ints before are mended when the column's type is known.
class PriceColumn {
   public:
    explicit PriceColumn(Py_ssize_t size) : values_(size, "float64") {}

    // The record's value for row `row`'s price (an exact float).
    nb::object take(Py_ssize_t row, PyObject* price) {
        const double value = PyFloat_AS_DOUBLE(price);
        values_.set(row, value);
        shape_.see(value);
        if (std::isnan(value)) return nb::none();
        if (first_not_whole_ == kAllWhole) {
            if (std::isfinite(value) && value == std::trunc(value))
                return steal_or_raise(PyLong_FromDouble(value));
            first_not_whole_ = row;
        }
        return nb::borrow(price);
    }

    nb::object array() const { return converted(values_.array(), shape_); }

    // The rows whose record values differ from the array's: the ints given
    // before the first fraction, or all rows of a column whose type
    // convert_dtypes chose itself (NaN as NA, huge whole numbers as floats).
    Py_ssize_t stale_rows(Py_ssize_t size) const {
        if (shape_.stays_float()) return first_not_whole_;
        return shape_.becomes_int() ? 0 : size;
    }

   private:
    static constexpr Py_ssize_t kAllWhole = PY_SSIZE_T_MAX;
    ArrayBuilder<double> values_;
    FloatShape shape_;
    Py_ssize_t first_not_whole_ = kAllWhole;
};

struct BarColumns {
    explicit BarColumns(Py_ssize_t size) : dates(size), bar_counts(size, "int64") {
        prices.reserve(kPrices);
        for (size_t p = 0; p < kPrices; ++p) prices.emplace_back(size);
    }
    const FieldNames fields;
    DateColumn dates;
    std::vector<PriceColumn> prices;
    ArrayBuilder<int64_t> bar_counts;
};

void set(const FieldNames& fields, nb::handle record, size_t field, nb::handle value) {
    bridge::check(PyDict_SetItem(record.ptr(), fields.names[field].ptr(), value.ptr()) == 0);
}

// One bar's fields into the columns and its record; false when a value is
// not of the type the decoder produces (the plain pipeline then decides
// what it becomes). Time stamps are set later, a block at a time.
bool read_bar(PyObject* bar, Py_ssize_t row, BarColumns& columns, nb::handle record) {
    // Attribute reads with interned names rather than the instance dict: a
    // dataclass instance keeps its values inline, and asking for its
    // __dict__ would build a dict for every bar.
    std::array<nb::object, kFields.size()> values;
    for (size_t f = 0; f < kFields.size(); ++f) {
        PyObject* value = PyObject_GetAttr(bar, columns.fields.names[f].ptr());
        if (value == nullptr) {
            PyErr_Clear();
            return false;
        }
        values[f] = nb::steal(value);
    }
    for (size_t p = 0; p < kPrices; ++p)
        if (!PyFloat_CheckExact(values[kFirstPrice + p].ptr())) return false;
    if (!PyLong_CheckExact(values[kBarCount].ptr())) return false;
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(values[kBarCount].ptr(), &overflow);
    if (overflow != 0) return false;  // pandas widens to uint64 or object
    if (!columns.dates.add(row, values[kDate].ptr())) return false;

    columns.bar_counts.set(row, count);
    set(columns.fields, record, kBarCount, values[kBarCount]);
    for (size_t p = 0; p < kPrices; ++p)
        set(columns.fields, record, kFirstPrice + p,
            columns.prices[p].take(row, values[kFirstPrice + p].ptr()));
    if (columns.dates.holds_calendar_dates()) set(columns.fields, record, kDate, values[kDate]);
    return true;
}

// Gives rows [begin, end) their time stamps, and leaves them to themselves.
void stamp(nb::handle records, const BarColumns& columns, Py_ssize_t begin, Py_ssize_t end) {
    nb::object stamps = columns.dates.time_stamps(begin, end);
    for (Py_ssize_t row = begin; row < end; ++row) {
        PyObject* record = PyList_GET_ITEM(records.ptr(), row);
        PyObject* stamp = PyList_GET_ITEM(stamps.ptr(), row - begin);
        untrack(stamp);
        set(columns.fields, record, kDate, stamp);
        untrack(record);
    }
}

struct TableArrays {
    nb::object dates;
    std::array<nb::object, kPrices> prices;
    nb::object bar_counts;
};

TableArrays arrays_of(const BarColumns& columns) {
    TableArrays arrays{columns.dates.column(), {}, nullable_integers(columns.bar_counts.array())};
    for (size_t p = 0; p < kPrices; ++p) arrays.prices[p] = columns.prices[p].array();
    return arrays;
}

nb::object frame_of(const FieldNames& fields, const TableArrays& arrays) {
    nb::dict data;
    data[fields.names[kDate]] = arrays.dates;
    for (size_t p = 0; p < kPrices; ++p) data[fields.names[kFirstPrice + p]] = arrays.prices[p];
    data[fields.names[kBarCount]] = arrays.bar_counts;
    return state().pandas.data_frame(data, nb::arg("copy") = false);
}

// Prices the records were given in another form than the table's.
void mend_prices(nb::handle records, const BarColumns& columns, const TableArrays& arrays) {
    const Py_ssize_t size = PyList_GET_SIZE(records.ptr());
    for (size_t p = 0; p < kPrices; ++p) {
        nb::handle array = arrays.prices[p];
        const Py_ssize_t stale = columns.prices[p].stale_rows(size);
        if (stale == 0) continue;
        const char kind = static_cast<char>(PyUnicode_READ_CHAR(array.attr("dtype").attr("kind").ptr(), 0));
        const auto values = NumericColumn::of_masked(array, kind);
        for (Py_ssize_t row = 0; row < stale; ++row)
            set(columns.fields, PyList_GET_ITEM(records.ptr(), row), kFirstPrice + p,
                steal_or_raise(values->box(row)));
    }
}

std::optional<BarTable> fast_table(nb::handle bars) {
    // A list of our own: attribute reads and the pandas calls between blocks
    // can run Python code, which could shrink the caller's list under `items`.
    nb::object own = steal_or_raise(PySequence_List(bars.ptr()));
    const Py_ssize_t size = PyList_GET_SIZE(own.ptr());
    PyObject** items = PySequence_Fast_ITEMS(own.ptr());
    if (size == 0 || !is_bar_type(Py_TYPE(items[0]))) return std::nullopt;

    BarColumns columns(size);
    const RecordTemplate blank(columns.fields.keys);
    nb::object records = steal_or_raise(PyList_New(size));
    for (Py_ssize_t begin = 0; begin < size; begin += kBlock) {
        const Py_ssize_t end = std::min(size, begin + kBlock);
        for (Py_ssize_t row = begin; row < end; ++row) {
            if (Py_TYPE(items[row]) != Py_TYPE(items[0])) return std::nullopt;
            nb::object record = blank.make();
            if (!read_bar(items[row], row, columns, record)) return std::nullopt;
            PyList_SET_ITEM(records.ptr(), row, record.release().ptr());
        }
        if (!columns.dates.holds_calendar_dates()) stamp(records, columns, begin, end);
    }
    const TableArrays arrays = arrays_of(columns);
    mend_prices(records, columns, arrays);
    return BarTable{frame_of(columns.fields, arrays), std::move(records)};
}

}  // namespace

BarTable from_bars(nb::handle bars) {
    CollectorPause pause;
    if (auto table = fast_table(bars)) return std::move(*table);
    nb::object frame = dates::strip_tz(state().pandas.data_frame(bars).attr("convert_dtypes")());
    return {frame, records(frame)};
}

}  // namespace kline::table
